#pragma once
// Preparing the caller's UTF-8 paths before libntfs-3g sees them.
#include <string>
#include <vector>

#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {

struct SParentAndName {
    std::string name;        // the last element
    std::string parentPath;  // "/a/b" for a/b/name; empty for the root
};

// A copy of `path` with every backslash turned into a forward slash. Fails
// with "cannot normalize empty path" for a null pointer.
std::string NormalizePath(const char* path);

// Splits into the last element and the path of its parent, dropping empty and
// "." elements and resolving "..". Fails with "path contains no elements" or
// "relative path points outside of the given path".
SParentAndName SplitParentAndName(const std::string& path);

// A path whose last element names a named stream of a file, as Windows
// spells it: "dir/file:name", "dir/file:name:$DATA", and "dir/file::$DATA"
// for the file's own (unnamed) data.
struct SNamedStreamPath {
    bool named = false;    // the last element has a ':'
    std::string filePath;  // the path up to the ':', or the whole path
    std::string stream;    // empty: the unnamed data
};

// Whether the last element of a normalized path has a ':'.
bool HasStreamPart(const std::string& normalized);

// Splits a normalized path at the first ':' of its last element. Fails with "invalid stream name" for an empty
// name ("file:") and with "invalid stream type" for a type other than $DATA.
SNamedStreamPath SplitAtStream(const std::string& normalized);

// The elements of a path as they are, only empty ones dropped.
std::vector<std::string> PathElements(const std::string& path);

// The name of a new object in UTF-16, as libntfs-3g's create call takes it.
// Fails with "failed to convert path" for anything but well-formed UTF-8
// (encoded surrogates included), and with the reason the name rule gives
// for a name no reader could use ("name is too long" beyond the 255 units
// that the call's 8-bit length carries, a shortened name being another name).
std::vector<ntfschar> ConvertNewName(const std::string& name);

// An existing name in UTF-16 for looking it up or deleting it, decoded as
// leniently as libntfs-3g decodes paths, so that names other systems wrote
// stay reachable. Empty when it cannot be converted or is too long.
std::vector<ntfschar> ConvertExistingName(const std::string& name);

}  // namespace volcore::fsfamily
