#include "ntfs3g/InodeFields.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"

namespace volcore::fsfamily {
namespace {

using volcore::CByteReader;
using volcore::CByteWriter;
namespace FileNameValue = volcore::FileNameValue;
namespace IndexEntry = volcore::IndexEntry;
namespace FileRecord = volcore::FileRecord;


uint64_t TimeValue(ntfs_time time) { return sle64_to_cpu(time); }

uint32_t ReparseTag(ntfs_inode* inode) {
    const std::vector<uint8_t> value = ReparseValueOf(inode);
    return value.size() < 4 ? 0 : CByteReader(value).U32(0);
}

void CopyInto(const CByteWriter& key, const ntfs_inode* inode, uint32_t reparseTag) {
    const bool isDirectory = IsDirectoryRecord(inode);
    key.U64(FileNameValue::CreationTime, TimeValue(inode->creation_time));
    key.U64(FileNameValue::ModificationTime, TimeValue(inode->last_data_change_time));
    key.U64(FileNameValue::MftChangeTime, TimeValue(inode->last_mft_change_time));
    key.U64(FileNameValue::AccessTime, TimeValue(inode->last_access_time));
    key.U64(FileNameValue::AllocatedSize, isDirectory ? 0 : static_cast<uint64_t>(inode->allocated_size));
    key.U64(FileNameValue::DataSize, isDirectory ? 0 : static_cast<uint64_t>(inode->data_size));
    const uint32_t indexed = key.Reader().U32(FileNameValue::FileAttributes) & kFileAttributeDirectoryIndex;
    key.U32(FileNameValue::FileAttributes, indexed | (InodeFlags(inode) & ~kFileAttributeDirectoryIndex));
    if (reparseTag != 0) key.U32(FileNameValue::EaSizeOrReparseTag, reparseTag);
}

}  // namespace

std::vector<uint8_t> ReparseValueOf(ntfs_inode* inode) {
    if (!(InodeFlags(inode) & kFileAttributeReparsePoint)) return {};
    s64 size = 0;
    void* value = ntfs_attr_readall(inode, AT_REPARSE_POINT, AT_UNNAMED, 0, &size);
    if (value == nullptr) return {};
    const auto* bytes = static_cast<const uint8_t*>(value);
    std::vector<uint8_t> copy(bytes, bytes + (size > 0 ? size : 0));
    std::free(value);
    return copy;
}

std::vector<std::vector<uint8_t>> NamesIn(ntfs_inode* inode, const ntfs_inode* directory) {
    std::vector<std::vector<uint8_t>> names;
    ntfs_attr_search_ctx* search = ntfs_attr_get_search_ctx(inode, nullptr);
    if (search == nullptr) return names;
    try {
        while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, search) == 0) {
            const ATTR_RECORD* attribute = search->attr;
            const CByteReader name(reinterpret_cast<const uint8_t*>(attribute) + le16_to_cpu(attribute->value_offset),
                                   le32_to_cpu(attribute->value_length));
            if (MREF(name.U64(FileNameValue::ParentReference)) == directory->mft_no)
                names.push_back(name.Bytes(0, name.Size()));
        }
    } catch (...) {
        names.clear();
    }
    ntfs_attr_put_search_ctx(search);
    return names;
}

namespace {

// The entry of one name, found by that name's $FILE_NAME value as its key.
bool UpdateEntry(const CByteReader& name, ntfs_inode* inode, ntfs_inode* directory, uint32_t reparseTag) {
    ntfs_index_context* index = ntfs_index_ctx_get(directory, NTFS_INDEX_I30, 4);
    if (index == nullptr) return false;
    const bool found = ntfs_index_lookup(name.Data(), static_cast<int>(name.Size()), index) == 0;
    if (found) {
        auto* entry = reinterpret_cast<uint8_t*>(index->entry);
        const CByteWriter whole(entry, CByteReader(entry, IndexEntry::Key).U16(IndexEntry::Length));
        CopyInto(whole.Sub(IndexEntry::Key, whole.Reader().U16(IndexEntry::KeyLength)), inode, reparseTag);
        ntfs_index_entry_mark_dirty(index);
    }
    ntfs_index_ctx_put(index);
    return found;
}

}  // namespace

static_assert(sizeof(ntfs_inode::flags) == sizeof(uint32_t), "inode flags are 32 bits");

uint32_t InodeFlags(const ntfs_inode* inode) {
    le32 stored;
    std::memcpy(&stored, &inode->flags, sizeof(stored));
    return le32_to_cpu(stored);
}

void SetInodeFlags(ntfs_inode* inode, uint32_t flags) {
    const le32 stored = cpu_to_le32(flags);
    std::memcpy(&inode->flags, &stored, sizeof(stored));
}

bool IsDirectoryRecord(const ntfs_inode* inode) {
    return inode->mrec != nullptr && (le16_to_cpu(inode->mrec->flags) & 0x0002) != 0;
}

bool UpdateEntries(ntfs_inode* inode, ntfs_inode* directory) {
    const uint32_t reparseTag = ReparseTag(inode);
    const std::vector<std::vector<uint8_t>> names = NamesIn(inode, directory);
    bool updated = !names.empty();
    for (const std::vector<uint8_t>& name : names) updated = UpdateEntry(CByteReader(name), inode, directory, reparseTag) && updated;
    return updated;
}

void RemoveEntriesOfUnwritten(ntfs_inode* inode, ntfs_inode* directory) noexcept {
    try {
        std::vector<uint8_t> record(inode->vol->mft_record_size);
        if (ntfs_mft_records_read(inode->vol, inode->mft_no, 1, reinterpret_cast<MFT_RECORD*>(record.data())) != 0)
            return;
        if (CByteReader(record).U16(FileRecord::Flags) & FileRecord::FlagInUse) return;
        for (const std::vector<uint8_t>& name : NamesIn(inode, directory))
            ntfs_index_remove(directory, inode, name.data(), static_cast<int>(name.size()));
    } catch (...) {
        // Nothing more can be done about the entry than what the check reports.
    }
}

volkit::file::attributes AttributesOf(const ntfs_inode* inode, const ntfs_attr* data) {
    volkit::file::attributes result;
    result.fileAttributes = InodeFlags(inode) | (IsDirectoryRecord(inode) ? kFileAttributeDirectory : 0);
    result.creationTime = TimeValue(inode->creation_time);
    result.lastAccessTime = TimeValue(inode->last_access_time);
    result.lastWriteTime = TimeValue(inode->last_data_change_time);
    const s64 size = data != nullptr ? data->data_size : inode->data_size;
    result.size = size > 0 ? static_cast<uint64_t>(size) : 0;
    return result;
}

}  // namespace volcore::fsfamily
