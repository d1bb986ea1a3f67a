#pragma once
// The volume's list of its reparse points: $Extend\$Reparse's index $R, one
// entry (tag, file reference) per object that has a $REPARSE_POINT, as
// Windows keeps it and as libntfs-3g and checkers expect it.
#include <cstdint>

#include "disk/Types.h"

namespace volcore {

class CVolume;

// Adds the entry and writes the node that holds it. Where the index has no
// room in the node the entry belongs to (a root that fills its record, a full
// block) nothing is written and "The volume's list of reparse points ..." is
// raised, as it is on a volume without $Extend\$Reparse.
void AddReparseIndexEntry(CVolume& volume, uint32_t tag, FileReference reference);

// Removes the entry when there is one. An entry this engine cannot take out
// without reshaping the tree (in an inner node, or the last of a block) is
// left, with a warning: a stale entry names a record that no longer has the
// reparse point, which Windows' chkdsk drops.
void RemoveReparseIndexEntry(CVolume& volume, uint32_t tag, FileReference reference);

}  // namespace volcore
