// The file operations that go through a parent directory: open and create.
#include "entries/File.h"

#include "api/Exception.h"
#include "entries/RecordFormat.h"
#include "index/Directory.h"
#include "index/NewChild.h"
#include "volume/Volume.h"

namespace volcore {

std::shared_ptr<CFile> CFile::Open(CVolume& volume, FileReference reference) {
    // Every handle on one record shares one object, and a directory opened as
    // a file shares the directory's entry: two copies of one record would each
    // rebuild it from their own view when saved, and the last one would win.
    if (auto file = volume.FindOpenFile(reference)) return file;
    auto file = std::make_shared<CFile>(volume.OpenEntry(reference), volume);
    volume.RememberOpenFile(file);
    return file;
}

std::shared_ptr<CFile> CFile::OpenByPath(CVolume& volume, std::u16string_view path) {
    return Open(volume, volume.ResolvePath(path));
}

std::shared_ptr<CFile> CFile::Create(CVolume& volume, FileReference parentReference, const std::u16string& name) {
    auto parent = CDirectory::Open(volume, parentReference);
    SNewChild child = CreateChildEntry(*parent, name, FileRecord::FlagInUse, kFileAttributeNormal);
    // The object is built after the link: until then nothing would undo the
    // flush its destructor does. Every file has its (empty) contents from the start.
    try {
        child.entry->CreateAttribute(AttrType::Data, u"", true);
        LinkChild(*parent, name, child);
    } catch (...) {
        DiscardChildEntry(*child.entry);
        throw;
    }
    try {
        auto file = std::make_shared<CFile>(child.entry, volume);
        volume.RememberOpenFile(file);
        return file;
    } catch (...) {
        parent->RemoveEntry(name);
        DiscardChildEntry(*child.entry);
        throw;
    }
}

std::shared_ptr<CFile> CFile::CreateByPath(CVolume& volume, std::u16string_view path) {
    SParentAndName target = SplitLastComponent(path);
    return Create(volume, volume.ResolvePath(target.parentPath), target.name);
}

}  // namespace volcore
