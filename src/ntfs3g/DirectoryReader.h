#pragma once
// Our directory reader over libntfs-3g: either libntfs-3g's own filldir walk
// (mode 0), or extended records straight from the $I30 index entries
// (mode 1): names exactly as stored, no "." or "..", and a separately stored
// DOS 8.3 name as an entry of its own.
#include <cstdint>

#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {

// The fields of directory::dirEntry, in the same order and widths.
struct SDirEntryEx {
    uint32_t fileAttributes = 0;  // as in the index key (0x10000000: has a directory index)
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint64_t size = 0;            // the index entry's copy of the data length; 0 for directories
    char16_t name[260] = {};      // NUL-terminated
    uint8_t nameSpace = 0;        // as in the index key
};

// Gets the entry's MFT reference too. Non-zero ends the walk.
using ExtendedFiller = int (*)(void* context, uint64_t reference, const SDirEntryEx& entry);

enum class EFillerMode : int { Plain = 0, Extended = 1 };

struct SDirFiller {
    int mode = 0;                      // an EFillerMode value
    ntfs_filldir_t plain = nullptr;    // used by mode 0
    ExtendedFiller extended = nullptr; // used by mode 1
};

// Walks the directory from `*position` (0 = the start) and leaves in it where
// to continue. Returns 0, or -1 with errno set: EINVAL for a missing argument
// or an unknown mode, ENOTDIR for a non-directory, EIO for a damaged index,
// and -1 as it stands when the filler ends the walk.
int ReadDirectoryEx(ntfs_inode* directory, s64* position, void* context, const SDirFiller* filler);

// The extended walk over a directory whose inode the filler may have closed
// and opened again (a removal inside it does): `directory` is where the
// current inode is kept, read again before each index node, and nothing of
// the directory stays open while the filler runs. A directory that is gone
// (null) ends the walk with EIO.
int ReadHeldDirectory(ntfs_inode* const& directory, s64* position, void* context, ExtendedFiller filler);

}  // namespace volcore::fsfamily
