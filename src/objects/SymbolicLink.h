#pragma once
// Making symbolic links, and what a delete owes the volume's list of
// reparse points.
#include <cstdint>
#include <string_view>

namespace volcore {

class CVolume;
class CFileEntry;

// Creates `path` as a symbolic link to `target` (see BuildSymlinkReparse): a
// file, or a directory when `directory` is set, carrying the reparse point,
// the reparse-point attribute in $STANDARD_INFORMATION and its name, and an
// entry in $Extend\$Reparse. The object is made and linked as any other new
// one first; a link that cannot be completed is deleted again.
void CreateSymbolicLink(CVolume& volume, std::u16string_view path, std::u16string_view target, bool directory);

// Before an object with a reparse point is deleted: its entry in
// $Extend\$Reparse goes first. A failure there is a warning, not a reason to
// keep the object.
void ForgetReparsePoint(CVolume& volume, const CFileEntry& entry);

}  // namespace volcore
