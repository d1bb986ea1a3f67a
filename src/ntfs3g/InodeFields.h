#pragma once
// The flag and time fields of a libntfs-3g inode as plain numbers. The flags
// are an enumeration in libntfs-3g's headers, but a volume may carry any bit
// pattern in them, so they are copied, never read as the enumeration.
#include <cstdint>

#include "ntfs3g/Ntfs3g.h"

namespace volkit::fsfamily {

uint32_t InodeFlags(const ntfs_inode* inode);
void SetInodeFlags(ntfs_inode* inode, uint32_t flags);
bool IsDirectoryRecord(const ntfs_inode* inode);

}  // namespace volkit::fsfamily
