#include "ntfs3g/OpenFile.h"

#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/PathRules.h"

namespace volkit::fsfamily {
namespace {

void CloseDataAttribute(openFile& file) {
    if (file.data == nullptr) return;
    ntfs_attr_close(file.data);
    file.data = nullptr;
}

OpenFileRef CreateObject(ntfs_volume* volume, OpenFileRef file, const splitResult& parts, objectType type) {
    if (file->inode != nullptr) {
        ntfs_inode_close(file->inode);
        file->inode = nullptr;
        Fail("already exists");
    }
    InodeRef parent = LookUpInode(volume, parts.parentPath);
    if (!parent) Fail("failed to open directory");
    const std::vector<ntfschar> name = convertName(parts.name);
    ntfs_inode* created = ntfs_create(parent.get(), 0, name.data(),
                                      static_cast<u8>(name.size()), static_cast<mode_t>(type));
    const bool parentClosed = ntfs_inode_close(parent.release()) == 0;
    if (created == nullptr) Fail("failed to create file");
    file->inode = created;
    if (!parentClosed) Fail("failed to close directory");
    return file;
}

void RemoveObject(ntfs_volume* volume, OpenFileRef file, const splitResult& parts) {
    if (file->inode == nullptr) Fail("file not found");
    InodeRef parent = LookUpInode(volume, parts.parentPath);
    if (!parent) Fail("failed to open parent directory");
    const std::vector<ntfschar> name = convertName(parts.name);
    // ntfs_delete closes both inodes whatever its result.
    ntfs_inode* target = file->inode;
    file->inode = nullptr;
    const int result = ntfs_delete(volume, nullptr, target, parent.release(), name.data(),
                                   static_cast<u8>(name.size()));
    if (result != 0) Fail("failed to delete file");
}

}  // namespace

void OpenFileDiscarder::operator()(openFile* file) const {
    CloseDataAttribute(*file);
    if (file->inode != nullptr) ntfs_inode_close(file->inode);
    delete file;
}

InodeRef LookUpInode(ntfs_volume* volume, const std::string& path) {
    return InodeRef(ntfs_pathname_to_inode(volume, nullptr, path.c_str()));
}

OpenFileRef openOrCreate(const char* path, openDisposition disposition, objectType type,
                         filesystem::handle volume) {
    const std::string normalized = normalizePath(path);
    const splitResult parts = splitPath(normalized);
    ntfs_volume* mounted = VolumeOf(volume);
    OpenFileRef file(new openFile);
    file->inode = LookUpInode(mounted, normalized).release();
    switch (disposition) {
        case openDisposition::createNew:
            return CreateObject(mounted, std::move(file), parts, type);
        case openDisposition::openExisting:
            if (file->inode == nullptr) Fail("file not found");
            return file;
        case openDisposition::removeExisting:
            RemoveObject(mounted, std::move(file), parts);
            return nullptr;
    }
    Fail("unknown disposition");
}

openFile& OpenFileOf(file::handle handle) {
    if (handle.ptr == nullptr) Fail("invalid file handle");
    return *static_cast<openFile*>(handle.ptr);
}

void CloseOpenFile(openFile* file) {
    CloseDataAttribute(*file);
    if (file->inode != nullptr) {
        if (ntfs_inode_close(file->inode) != 0) Fail("failed to close inode");
        file->inode = nullptr;
    }
    delete file;
}

}  // namespace volkit::fsfamily
