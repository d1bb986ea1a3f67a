#pragma once
// Preparing the caller's UTF-8 paths before libntfs-3g sees them.
#include <string>
#include <vector>

#include "ntfs3g/Ntfs3g.h"

namespace volkit::fsfamily {

struct splitResult {
    std::string name;        // the last element
    std::string parentPath;  // "/a/b" for a/b/name; empty for the root
};

// A copy of `path` with every backslash turned into a forward slash. Fails
// with "cannot normalize empty path" for a null pointer.
std::string normalizePath(const char* path);

// Splits into the last element and the path of its parent, dropping empty and
// "." elements and resolving "..". Fails with "path contains no elements" or
// "relative path points outside of the given path".
splitResult splitPath(const std::string& path);

// One element in UTF-16, as libntfs-3g's create and delete calls take it.
// Fails with "failed to convert path" for invalid UTF-8, and with "name is too
// long" beyond the 255 units that those calls' 8-bit length can carry (a
// shortened name would create or delete the wrong entry).
std::vector<ntfschar> convertName(const std::string& name);

}  // namespace volkit::fsfamily
