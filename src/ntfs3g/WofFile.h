#pragma once
// Files Windows keeps with its system compression, as the filesystem family
// meets them: libntfs-3g hands out their unnamed data, which is sparse and
// reads as zeros, so the family reads WofCompressedData itself through the
// engine's reader and refuses to change the file.
#include <cstdint>
#include <memory>
#include <vector>

#include "entries/SystemCompressed.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {

// Whether the inode carries the WOF reparse tag.
bool IsSystemCompressed(ntfs_inode* inode);

// Fails unless the named stream `name` (as stored, little-endian units) of
// `inode` may change: the WofCompressedData of a system-compressed file holds
// the file's data, so writing, resizing or deleting it loses that data.
void CheckStreamChangeable(ntfs_inode* inode, const std::vector<ntfschar>& name);

// The reader of such an inode's data, `size` bytes uncompressed. It holds the
// stream open: it goes before the inode is closed.
std::unique_ptr<CSystemCompressedData> OpenSystemCompressed(ntfs_inode* inode, uint64_t size);

}  // namespace volcore::fsfamily
