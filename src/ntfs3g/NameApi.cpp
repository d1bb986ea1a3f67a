// file::rename, directory::rename and file::link over libntfs-3g's link and
// delete calls: the new name is added first, then the old one removed, so a
// failure part-way leaves the object with both names rather than none.
#include <algorithm>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/PathRules.h"

namespace volcore::fsfamily {
namespace {

// Names a file may have, as Windows allows (DOS aliases not counted).
constexpr uint32_t kMostLinks = 1024;

uint32_t CountNames(ntfs_inode* inode) {
    uint32_t names = 0;
    ntfs_attr_search_ctx* context = ntfs_attr_get_search_ctx(inode, nullptr);
    if (context == nullptr) Fail("failed to read file names");
    while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, context) == 0) {
        const ATTR_RECORD* attribute = context->attr;
        const uint32_t offset = le16_to_cpu(attribute->value_offset);
        if (attribute->non_resident || offset + sizeof(FILE_NAME_ATTR) > le32_to_cpu(attribute->length)) continue;
        const auto* name = reinterpret_cast<const FILE_NAME_ATTR*>(reinterpret_cast<const u8*>(attribute) + offset);
        if (name->file_name_type != FILE_NAME_DOS) ++names;
    }
    ntfs_attr_put_search_ctx(context);
    return names;
}

// The directory a new name goes into, reached as create reaches it.
SReachedObject TargetDirectory(CInodeTable& table, const SParentAndName& target) {
    SReachedObject parent = WalkPath(table, PathElements(target.parentPath));
    if (!parent.inode) Fail("failed to open directory");
    if (!IsDirectoryRecord(parent.inode.Get())) Fail("not a directory");
    if (parent.system) Fail("cannot change a system file");
    return parent;
}

// The object that `source` names, which must be changeable.
SReachedObject ChangeableObject(CInodeTable& table, const SParentAndName& source) {
    std::vector<std::string> elements = PathElements(source.parentPath);
    elements.push_back(source.name);
    SReachedObject object = WalkPath(table, elements);
    if (!object.inode) Fail("file not found");
    if (object.system) Fail("cannot change a system file");
    return object;
}

// Takes the $FILE_NAME whose value is `key` out of the inode's record.
void RemoveNameAttribute(ntfs_inode* inode, const std::vector<uint8_t>& key) {
    ntfs_attr_search_ctx* context = ntfs_attr_get_search_ctx(inode, nullptr);
    if (context == nullptr) return;
    if (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, const_cast<uint8_t*>(key.data()),
                         static_cast<u32>(key.size()), context) == 0 &&
        ntfs_attr_record_rm(context) == 0) {
        inode->mrec->link_count = cpu_to_le16(le16_to_cpu(inode->mrec->link_count) - 1);
        ntfs_inode_mark_dirty(inode);
    }
    ntfs_attr_put_search_ctx(context);
}

// libntfs-3g writes a new name's index entry before the record that carries
// the name, and looks names up on the disk. When a write failed on the way,
// the two may disagree there: the name leaves whichever of them has it.
void UndoName(CInodeTable& table, const SParentAndName& target, uint64_t number, const std::vector<uint8_t>& key) noexcept {
    try {
        SReachedObject parent = WalkPath(table, PathElements(target.parentPath));
        CInodeUse object = parent.inode ? table.Use(number, parent.inode.Number()) : CInodeUse();
        if (!object) return;
        if (LookUpName(parent.inode.Get(), target.name))
            ntfs_index_remove(parent.inode.Get(), object.Get(), key.data(), static_cast<int>(key.size()));
        const std::vector<std::vector<uint8_t>> names = NamesIn(object.Get(), parent.inode.Get());
        if (std::find(names.begin(), names.end(), key) != names.end()) RemoveNameAttribute(object.Get(), key);
        object.Close("failed to close inode");
        parent.inode.Close("failed to close directory");
    } catch (...) {
        // What is left is for the check to report; the caller reports the failure.
    }
}

void AddName(CInodeTable& table, SReachedObject& object, SReachedObject& parent, const SParentAndName& target) {
    const std::vector<ntfschar> units = ConvertNewName(target.name);
    PrepareChange(table.Volume());
    const CTransferWatch transfers;
    const int result = ntfs_link(object.inode.Get(), parent.inode.Get(), const_cast<ntfschar*>(units.data()),
                                 static_cast<u8>(units.size()));
    if (result != 0 && !transfers.Failed()) Fail("failed to link file");
    // The new name's $FILE_NAME value, the key of its index entry.
    std::vector<uint8_t> key;
    for (std::vector<uint8_t>& name : NamesIn(object.inode.Get(), parent.inode.Get())) {
        const CByteReader value(name);
        const size_t length = value.U8(FileNameValue::NameLength);
        std::vector<ntfschar> units(length);
        for (size_t i = 0; i < length; ++i) units[i] = cpu_to_le16(value.U16(FileNameValue::Name + 2 * i));
        if (units == ConvertExistingName(target.name)) key = name;
    }
    if (SHeldInode* held = object.inode.Held()) held->parent = parent.inode.Number();
    const uint64_t number = object.inode.Number();
    // Both copies are written (or dropped) before anything looks at the disk again.
    bool closed = true;
    for (auto* use : {&object.inode, &parent.inode}) {
        try {
            use->Close("failed to close inode");
        } catch (...) {
            closed = false;
        }
    }
    if (!transfers.Failed() && closed) return;
    if (!key.empty()) UndoName(table, target, number, key);
    Fail("failed to link file");
}

void CheckNotInside(CInodeTable& table, uint64_t moved, const std::string& parentPath) {
    std::vector<std::string> prefix;
    for (const std::string& element : PathElements(parentPath)) {
        prefix.push_back(element);
        const SReachedObject step = WalkPath(table, prefix);
        if (step.inode && step.inode.Number() == moved) Fail("cannot move a directory into itself");
    }
}

// What stands at the new name goes first, when the caller said so.
void RemoveExisting(CInodeTable& table, const std::string& target, uint64_t existing, bool directory,
                    volkit::filesystem::handle volume) {
    {
        CInodeUse there = table.Use(existing, FILE_root);
        if (!there) Fail("failed to open file");
        if (IsDirectoryRecord(there.Get()) != directory) Fail(directory ? "not a directory" : "is a directory");
    }
    OpenOrCreate(target.c_str(), EOpenDisposition::RemoveExisting, EObjectType::File, volume);
}

void Rename(const char* from, const char* to, bool replace, bool directory, volkit::filesystem::handle volume) {
    CInodeTable& table = MountOf(volume).inodes;
    const SParentAndName source = SplitParentAndName(NormalizePath(from));
    const SParentAndName target = SplitParentAndName(NormalizePath(to));
    const std::string targetPath = target.parentPath + "/" + target.name;
    uint64_t number = 0;
    uint64_t sourceDirectory = 0;
    {
        SReachedObject object = ChangeableObject(table, source);
        if (IsDirectoryRecord(object.inode.Get()) != directory) Fail(directory ? "not a directory" : "is a directory");
        number = object.inode.Number();
        sourceDirectory = object.parent;
        object.inode.Close("failed to close inode");
    }
    // Before the new directory is opened: it may be the object itself.
    if (directory) CheckNotInside(table, number, target.parentPath);
    {
        SReachedObject parent = TargetDirectory(table, target);
        const std::optional<uint64_t> existing = LookUpName(parent.inode.Get(), target.name);
        const bool sameDirectory = parent.inode.Number() == sourceDirectory;
        if (existing && MREF(*existing) == number) {
            // Another name of the object itself: only a change of case is left to make.
            if (!sameDirectory || ConvertExistingName(target.name) == ConvertExistingName(source.name)) return;
            const std::vector<ntfschar> wanted = ConvertExistingName(target.name);
            if (!ntfs_names_are_equal(wanted.data(), wanted.size(), ConvertExistingName(source.name).data(),
                                      ConvertExistingName(source.name).size(), IGNORE_CASE, table.Volume()->upcase,
                                      table.Volume()->upcase_len))
                return;
        } else if (existing && !replace) {
            Fail("already exists");
        } else if (existing) {
            parent.inode.Close("failed to close directory");
            RemoveExisting(table, targetPath, *existing, directory, volume);
        }
    }
    SReachedObject object = ChangeableObject(table, source);
    SReachedObject parent = TargetDirectory(table, target);
    AddName(table, object, parent, target);
    const std::string sourcePath = source.parentPath + "/" + source.name;
    OpenOrCreate(sourcePath.c_str(), EOpenDisposition::RemoveExisting, EObjectType::File, volume);
}

}  // namespace
}  // namespace volcore::fsfamily

namespace volkit {

using namespace volcore::fsfamily;

bool file::rename(const char* from, const char* to, bool replaceExisting, filesystem::handle volume) {
    return RunReported([&] { Rename(from, to, replaceExisting, false, volume); });
}

bool directory::rename(const char* from, const char* to, bool replaceExisting, filesystem::handle volume) {
    return RunReported([&] { Rename(from, to, replaceExisting, true, volume); });
}

bool file::link(const char* existing, const char* newPath, filesystem::handle volume) {
    return RunReported([&] {
        CInodeTable& table = MountOf(volume).inodes;
        const SParentAndName target = SplitParentAndName(NormalizePath(newPath));
        SReachedObject object = ChangeableObject(table, SplitParentAndName(NormalizePath(existing)));
        if (IsDirectoryRecord(object.inode.Get())) Fail("cannot link a directory");
        if (CountNames(object.inode.Get()) >= kMostLinks) Fail("too many links");
        SReachedObject parent = TargetDirectory(table, target);
        if (LookUpName(parent.inode.Get(), target.name)) Fail("already exists");
        AddName(table, object, parent, target);
    });
}

bool file::getLinkCount(handle h, uint32_t& count) {
    return RunReported([&] { count = CountNames(LiveInode(OpenFileOf(h))); });
}

}  // namespace volkit
