#pragma once
#include <cstdint>

#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {

// libntfs-3g's reparse setter in the form that sets or replaces, never
// refusing because a reparse point is or is not already there. libntfs-3g
// validates the buffer against `size`. Returns its result: 0 or -1 with errno.
int SetReparseAlways(ntfs_inode* inode, const void* data, uint32_t size);

}  // namespace volcore::fsfamily
