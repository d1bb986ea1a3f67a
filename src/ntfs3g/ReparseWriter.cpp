#include "ntfs3g/ReparseWriter.h"

namespace volcore::fsfamily {

int SetReparseAlways(ntfs_inode* inode, const void* data, uint32_t size) {
    if (inode == nullptr || data == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Neither "create only" nor "replace only".
    constexpr int kSetOrReplace = 0;
    return ntfs_set_ntfs_reparse_data(inode, static_cast<const char*>(data), size, kSetOrReplace);
}

}  // namespace volcore::fsfamily
