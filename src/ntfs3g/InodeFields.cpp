#include "ntfs3g/InodeFields.h"

namespace volkit::fsfamily {

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

}  // namespace volkit::fsfamily
