#pragma once
// The names of an object beyond the one it is created with: another name for
// a file (a hard link), a name moved to another name or directory (a rename),
// and one name of several removed.
//
// Every change adds before it takes away: the record gets the new $FILE_NAME,
// then the new directory its entry, then the old entry leaves its directory,
// then the old $FILE_NAME its record. A failure in between leaves an object
// with one name too many, never an entry pointing at a record that lacks it.
#include <cstddef>
#include <string>

#include "disk/Types.h"

namespace volcore {

class CDirectory;
class CFsObject;

// Names a file may have, as Windows allows (a DOS alias does not count).
inline constexpr size_t kMaxLinks = 1024;

// Adds `name` in `parent` as a further name of the file `object`.
void AddLink(CFsObject& object, CDirectory& parent, const std::u16string& name);

// Moves the object's own name (see CFsObject::GetName) to `name` in `parent`.
// An existing file of that name is removed first when `replaceExisting` is
// set (an existing empty directory when the object is a directory too);
// moving a directory into its own subtree is refused. A DOS alias of the old
// name goes with it: the new name has none.
void MoveName(CFsObject& object, CDirectory& parent, const std::u16string& name, bool replaceExisting);

// Removes the object's own name and its DOS alias when the object has other
// names, and returns true; returns false, changing nothing, when it is the
// last one (the caller deletes the object).
bool RemoveSharedName(CFsObject& object);

// Names of the object that are not DOS aliases of another.
size_t CountLinks(const CFsObject& object);

}  // namespace volcore
