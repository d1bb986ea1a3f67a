#pragma once
// Reaching objects by path, and the held objects behind file handles.
#include <optional>
#include <string>
#include <vector>

#include "ntfs3g/InodeTable.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volcore::fsfamily {

enum class EOpenDisposition : int { CreateNew = 0, OpenExisting = 1, RemoveExisting = 3 };

// libntfs-3g's ntfs_create type argument.
enum class EObjectType : mode_t { File = S_IFREG, Directory = S_IFDIR };

// What a walk down a path found.
struct SReachedObject {
    CInodeUse inode;       // empty when an element is missing
    uint64_t parent = 0;   // the directory holding the last element
    bool system = false;   // metadata, which no call may change or remove
};

// Walks `elements` from the root, each looked up in the directory before it
// with letter case ignored, through the held copies where handles hold them.
SReachedObject WalkPath(CInodeTable& table, const std::vector<std::string>& elements);

// The object a whole normalized path names, element by element as stored:
// "." and ".." are not resolved here.
SReachedObject ReachPath(CInodeTable& table, const std::string& normalized);

// The full reference (with sequence number) that `name` has in `directory`.
std::optional<uint64_t> LookUpName(ntfs_inode* directory, const std::string& name);

// The object for a new handle (open, create), or null (remove, and a created
// directory, which is closed at once).
SHeldInode* OpenOrCreate(const char* path, EOpenDisposition disposition, EObjectType type,
                        volkit::filesystem::handle volume);

// The handle value for one more handle on `opened`, an object of `volume`
// whose held object (and stream) already count it; on failure that count is
// given back.
void* RegisterHandle(volkit::filesystem::handle volume, const SHandleTarget& opened);

// What a handle stands for; fails with "invalid file handle" for zero and for
// a handle that was closed, alone or with its volume.
SHandleTarget OpenHandleOf(volkit::file::handle handle);
SHeldInode& OpenFileOf(volkit::file::handle handle);

// The inode of a held object; fails with "file has been removed" once the
// object is gone.
ntfs_inode* LiveInode(SHeldInode& held);
// The same for a change; also fails with "cannot change a system file".
ntfs_inode* ChangeableInode(SHeldInode& held);

// Releases the handle; the last one writes the inode back. Fails with
// "failed to close inode" when that is impossible: the handle stays valid for
// another try unless the record itself was written.
void CloseOpenFile(volkit::file::handle handle);

}  // namespace volcore::fsfamily
