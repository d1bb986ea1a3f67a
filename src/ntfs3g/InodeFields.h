#pragma once
// The flag and time fields of a libntfs-3g inode as plain numbers. The flags
// are an enumeration in libntfs-3g's headers, but a volume may carry any bit
// pattern in them, so they are copied, never read as the enumeration.
#include <cstdint>
#include <vector>

#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volcore::fsfamily {

uint32_t InodeFlags(const ntfs_inode* inode);
void SetInodeFlags(ntfs_inode* inode, uint32_t flags);
bool IsDirectoryRecord(const ntfs_inode* inode);
// The value of the inode's reparse point; empty when it has none or it cannot be read.
std::vector<uint8_t> ReparseValueOf(ntfs_inode* inode);

// Flags (0x10 added for a directory), times and the unnamed $DATA length of
// an open inode; `data` is its open $DATA, if any, which knows the length
// best once writes have gone through it.
volkit::file::attributes AttributesOf(const ntfs_inode* inode, const ntfs_attr* data);

// Brings the copies of flags, times, sizes and reparse tag that `directory`
// keeps in the index entries of the inode's names up to date, as libntfs-3g
// does when it writes a dirty inode, but through the directory copy given
// here. False when an entry is missing or cannot be read.
bool UpdateEntries(ntfs_inode* inode, ntfs_inode* directory);

// The $FILE_NAME values of the inode's names in `directory`; none when they
// cannot be read.
std::vector<std::vector<uint8_t>> NamesIn(ntfs_inode* inode, const ntfs_inode* directory);

// Takes the inode's names out of `directory` again when its record is not in
// use on disk (a new object whose first write failed), so that no entry is
// left pointing at nothing.
void RemoveEntriesOfUnwritten(ntfs_inode* inode, ntfs_inode* directory) noexcept;

}  // namespace volcore::fsfamily
