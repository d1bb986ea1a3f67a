#pragma once
// The record behind a file::handle and the one routine that opens, creates or
// removes by path.
#include <memory>

#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volkit::fsfamily {

struct openFile {
    ntfs_inode* inode = nullptr;
    ntfs_attr* data = nullptr;  // unnamed $DATA, opened on first use
};

enum class openDisposition : int { createNew = 0, openExisting = 1, removeExisting = 3 };

// libntfs-3g's ntfs_create type argument.
enum class objectType : mode_t { file = S_IFREG, directory = S_IFDIR };

// Closes an inode that is still ours when a failure unwinds.
struct InodeCloser {
    void operator()(ntfs_inode* inode) const { ntfs_inode_close(inode); }
};
using InodeRef = std::unique_ptr<ntfs_inode, InodeCloser>;

// Frees a record whose inode and attribute are still open when a failure
// unwinds.
struct OpenFileDiscarder {
    void operator()(openFile* file) const;
};
using OpenFileRef = std::unique_ptr<openFile, OpenFileDiscarder>;

// The opened or created object, or null after a removal.
OpenFileRef openOrCreate(const char* path, openDisposition disposition, objectType type,
                         filesystem::handle volume);

// The record behind a handle; fails with "invalid file handle" for zero.
openFile& OpenFileOf(file::handle handle);

// Closes the attribute and the inode and frees the record; fails with
// "failed to close inode", leaving the record to the caller, when libntfs-3g
// cannot write the inode back.
void CloseOpenFile(openFile* file);

// An inode by path (empty for the root), or null when there is none.
InodeRef LookUpInode(ntfs_volume* volume, const std::string& path);

}  // namespace volkit::fsfamily
