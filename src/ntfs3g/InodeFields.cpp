#include "ntfs3g/InodeFields.h"

namespace volkit::fsfamily {
namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;

uint64_t TimeValue(ntfs_time time) { return sle64_to_cpu(time); }

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

file::attributes AttributesOf(const ntfs_inode* inode, const ntfs_attr* data) {
    file::attributes result;
    result.fileAttributes = InodeFlags(inode) | (IsDirectoryRecord(inode) ? kDirectoryAttribute : 0);
    result.creationTime = TimeValue(inode->creation_time);
    result.lastAccessTime = TimeValue(inode->last_access_time);
    result.lastWriteTime = TimeValue(inode->last_data_change_time);
    const s64 size = data != nullptr ? data->data_size : inode->data_size;
    result.size = size > 0 ? static_cast<uint64_t>(size) : 0;
    return result;
}

}  // namespace volkit::fsfamily
