#pragma once
// The volume's list of its reparse points: $Extend\$Reparse's index $R, one
// entry (tag, file reference) per object that has a $REPARSE_POINT, as
// Windows keeps it and as libntfs-3g and checkers expect it.
#include <cstdint>
#include <memory>

#include "disk/Types.h"

namespace volcore {

class CFileEntry;

// Where the list lives, relative to the root.
inline constexpr char16_t kReparseListPath[] = u"$Extend\\$Reparse";

// `list` is the entry of $Extend\$Reparse, or null on a volume without one.
// Adds the entry and writes the node that holds it. Where the index has no
// room in the node the entry belongs to (a root that fills its record, a full
// block) nothing is written and "The volume's list of reparse points ..." is
// raised, as it is on a volume without $Extend\$Reparse.
void AddReparseIndexEntry(const std::shared_ptr<CFileEntry>& list, uint32_t tag, FileReference reference);

// Removes the entry when there is one. An entry this engine cannot take out
// without reshaping the tree (in an inner node, or the last of a block) is
// left, with a warning: a stale entry names a record that no longer has the
// reparse point, which Windows' chkdsk drops.
void RemoveReparseIndexEntry(const std::shared_ptr<CFileEntry>& list, uint32_t tag, FileReference reference);

}  // namespace volcore
