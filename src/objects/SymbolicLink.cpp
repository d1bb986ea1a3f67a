#include "objects/SymbolicLink.h"

#include <exception>
#include <memory>
#include <vector>

#include "base/Log.h"
#include "base/NumericCast.h"
#include "objects/File.h"
#include "entries/LinkTarget.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "index/ReparseIndex.h"
#include "objects/Volume.h"

namespace volcore {
namespace {

// Gives a freshly made object its reparse point and the attribute that
// announces it, in the record and in every copy of its name.
void MakeReparsePoint(CFsObject& object, const std::vector<uint8_t>& value, uint32_t tag) {
    CFileEntry& entry = object.GetEntry();
    AttributePtr reparse = entry.CreateAttribute(AttrType::ReparsePoint, u"", true);
    reparse->SetSize(value.size());
    reparse->WriteData(0, value.data(), NumericCast<uint32_t>(value.size()));
    uint8_t tagBytes[4];
    CByteWriter(tagBytes, sizeof(tagBytes)).U32(0, tag);
    for (const AttributePtr& name : entry.FindAttributes(AttrType::FileName))
        name->WriteData(FileNameValue::EaSizeOrReparseTag, tagBytes, sizeof(tagBytes));
    StandardInformation info = object.GetAttributesAndTime();
    CByteWriter fields(info.data(), info.size());
    // A file's "normal" attribute only stands alone.
    const uint32_t attributes = fields.Reader().U32(StdInfo::FileAttributes) & ~kFileAttributeNormal;
    fields.U32(StdInfo::FileAttributes,
               attributes | kFileAttributeReparsePoint | (object.IsDirectory() ? 0 : kFileAttributeArchive));
    object.SetAttributesAndTime(info);
    // The record, then the parent's copy of the attributes.
    object.SaveEntryAndNames();
    CDirectory::Open(object.GetVolume(), object.GetParentReference())->Flush();
}

// The entry of the volume's list of reparse points, or null when it has none.
FileEntryPtr OpenReparseList(CVolume& volume) {
    FileReference reference = 0;
    try {
        reference = volume.ResolvePath(kReparseListPath);
    } catch (const CException&) {
        return nullptr;
    }
    return volume.OpenEntry(reference);
}

template <typename Object>
void Complete(const std::shared_ptr<Object>& object, const std::vector<uint8_t>& value, uint32_t tag) {
    try {
        MakeReparsePoint(*object, value, tag);
        AddReparseIndexEntry(OpenReparseList(object->GetVolume()), tag, object->GetReference());
    } catch (...) {
        // What was made goes again; the first failure is the one to report.
        try {
            object->Delete();
        } catch (const std::exception& e) {
            LogWarning(FormatText("Symbolic link %1 was left half made: %2", object->GetName(), e.what()));
        }
        throw;
    }
}

}  // namespace

void CreateSymbolicLink(CVolume& volume, std::u16string_view path, std::u16string_view target, bool directory) {
    const std::vector<uint8_t> value = BuildSymlinkReparse(target);
    const uint32_t tag = ReparseValue::TagSymlink;
    SParentAndName place = SplitLastComponent(path);
    const FileReference parent = volume.ResolvePath(place.parentPath);
    if (directory) Complete(CDirectory::Create(volume, parent, place.name), value, tag);
    else Complete(CFile::Create(volume, parent, place.name), value, tag);
}

void ForgetReparsePoint(CVolume& volume, const CFileEntry& entry) {
    AttributePtr reparse = entry.FindAttribute(AttrType::ReparsePoint);
    if (!reparse || reparse->GetSize() < ReparseValue::DataLength) return;
    try {
        uint8_t tag[4];
        reparse->ReadData(ReparseValue::Tag, tag, sizeof(tag));
        RemoveReparseIndexEntry(OpenReparseList(volume), CByteReader(tag, sizeof(tag)).U32(0), entry.GetReference());
    } catch (const std::exception& e) {
        LogWarning(FormatText("Record %1: its entry in the list of reparse points was not removed: %2",
                              RecordNumber(entry.GetReference()), e.what()));
    }
}

}  // namespace volcore
