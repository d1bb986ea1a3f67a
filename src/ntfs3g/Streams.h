#pragma once
// Named streams (alternate data streams): "file:name" paths for the file
// calls, the held streams behind handles on them, and a file's stream list.
#include "ntfs3g/OpenFile.h"

namespace volcore::fsfamily {

// The object, and the stream of it, that a file call's path names, counted
// for a new handle. A last element with a ':' names a stream unless an
// existing object carries that whole name (other systems write such names).
// Creating a stream of a missing file creates the file first.
SHandleTarget OpenFileOrStream(const char* path, EOpenDisposition disposition, volkit::filesystem::handle volume);

// Removes the file, or only the stream, that the path names.
void RemoveFileOrStream(const char* path, volkit::filesystem::handle volume);

// The stream a handle was opened on, opened on first use. Fails with "file
// has been removed" or "stream has been removed" once either is gone.
ntfs_attr& StreamData(SHeldInode& held, SHeldStream& stream);

// One handle fewer on a stream of `held`; the last one closes it. The
// object's own count is the caller's.
void ReleaseStream(SHeldInode& held, SHeldStream& stream) noexcept;

}  // namespace volcore::fsfamily
