#pragma once
// Reaching objects by path, and the held objects behind file handles.
#include <optional>
#include <string>
#include <vector>

#include "ntfs3g/InodeTable.h"
#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volcore::fsfamily {

enum class openDisposition : int { createNew = 0, openExisting = 1, removeExisting = 3 };

// libntfs-3g's ntfs_create type argument.
enum class objectType : mode_t { file = S_IFREG, directory = S_IFDIR };

// What a walk down a path found.
struct reachedObject {
    inodeUse inode;        // empty when an element is missing
    uint64_t parent = 0;   // the directory holding the last element
    bool system = false;   // metadata, which no call may change or remove
};

// Walks `elements` from the root, each looked up in the directory before it
// with letter case ignored, through the held copies where handles hold them.
reachedObject WalkPath(inodeTable& table, const std::vector<std::string>& elements);

// The object a whole normalized path names, element by element as stored:
// "." and ".." are not resolved here.
reachedObject ReachPath(inodeTable& table, const std::string& normalized);

// The full reference (with sequence number) that `name` has in `directory`.
std::optional<uint64_t> LookUpName(ntfs_inode* directory, const std::string& name);

// The object for a new handle (open, create), or null (remove, and a created
// directory, which is closed at once).
heldInode* openOrCreate(const char* path, openDisposition disposition, objectType type,
                        volkit::filesystem::handle volume);

// What a file handle stands for: a held object, and the named stream of it
// the handle was opened on (null: its unnamed data).
struct openHandle {
    heldInode* held = nullptr;
    heldStream* stream = nullptr;
};

// The handle value for one more handle on `opened`, whose held object (and
// stream) already count it; on failure that count is given back.
void* RegisterHandle(const openHandle& opened);

// What a handle stands for; fails with "invalid file handle" for zero and for
// a handle that was closed, alone or with its volume.
openHandle OpenHandleOf(volkit::file::handle handle);
heldInode& OpenFileOf(volkit::file::handle handle);

// The inode of a held object; fails with "file has been removed" once the
// object is gone.
ntfs_inode* LiveInode(heldInode& held);
// The same for a change; also fails with "cannot change a system file".
ntfs_inode* ChangeableInode(heldInode& held);

// Releases the handle; the last one writes the inode back. Fails with
// "failed to close inode" when that is impossible: the handle stays valid for
// another try unless the record itself was written.
void CloseOpenFile(volkit::file::handle handle);

// Invalidates the handles on a volume's objects, before it is closed.
void ForgetHandles(const inodeTable& table);

}  // namespace volcore::fsfamily
