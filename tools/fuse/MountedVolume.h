#pragma once
// A volume served to the kernel through FUSE: the handle family's volume
// behind one lock, the files the kernel holds open, and POSIX answers (errno
// values, struct stat) for what the handle family says.
//
// FUSE calls arrive on several threads. The handle family wants a volume and
// its handles used by one thread at a time, so every call below takes the
// volume's one lock for its whole length; none of them calls another while
// holding it, and the only callback the engine makes under it (a directory
// walk's) only fills the kernel's buffer, so nothing re-enters the lock.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "volkit/api.h"

namespace volcore::tool {

struct SMountFacts {
    bool readOnly = false;
    uid_t owner = 0;  // every object shows the mounting user's ids
    gid_t group = 0;
    uint32_t clusterSize = 4096;
    uint64_t totalClusters = 0;
    std::function<bool()> syncDevice;  // makes what was written to the image durable
};

// Who asks. The kernel leaves permissions to the volume (checking them itself
// would cost a request for the directory's attributes before nearly every
// call): only the read-only attribute refuses anything, and not to root.
struct SCaller {
    bool overridesPermissions = false;
};

// One file the kernel holds open: every open of the same name shares it and
// its one engine handle, so the last release writes the object once. Renames
// keep it under its new name.
struct SOpenFile {
    std::wstring key;  // the path folded to capitals, as names compare
    std::wstring path;
    volkit::api::NtfsFileHandle handle;
    int opens = 0;
    // Unlinked while open: it went on under a hidden name, left out of
    // listings, which goes at the last release.
    bool unlinked = false;
};

class CMountedVolume {
public:
    CMountedVolume(volkit::api::NtfsVolumeHandle volume, SMountFacts facts);
    ~CMountedVolume();
    CMountedVolume(const CMountedVolume&) = delete;
    CMountedVolume& operator=(const CMountedVolume&) = delete;

    using DirectoryVisitor = std::function<void(const char* name, const struct stat& facts)>;

    // Each returns 0 or a negative errno, as FUSE takes them; Read and Write
    // return the bytes transferred. A null `file` means "by path"; a null
    // path with a file is an open file whose name may be gone.
    int GetAttributes(const char* path, SOpenFile* file, struct stat& facts);
    int ReadDirectory(const char* path, const DirectoryVisitor& visit);
    int MakeDirectory(const char* path);
    int RemoveDirectory(const char* path);
    int Unlink(const char* path);
    // `flags` as renameat2 takes them: RENAME_NOREPLACE only. libfuse keeps
    // an unlinked open file reachable by renaming it to a hidden name
    // (.fuse_hidden...); such a file goes at its last release.
    int Rename(const char* from, const char* to, unsigned int flags);
    int Link(const char* from, const char* to);
    int Create(const char* path, mode_t mode, SOpenFile*& file);
    // `flags` as open(2) takes them: O_TRUNC, which the kernel leaves to the
    // open, and the access mode.
    int Open(const char* path, int flags, const SCaller& caller, SOpenFile*& file);
    int Read(SOpenFile& file, char* buffer, size_t size, off_t offset);
    int Write(SOpenFile& file, const char* buffer, size_t size, off_t offset);
    int Truncate(const char* path, SOpenFile* file, off_t size, const SCaller& caller);
    // access(2): only writing can be refused (a read-only file); X_OK follows the mode shown.
    int Access(const char* path, int mask, const SCaller& caller);
    // fallocate(2): a range made to hold clusters (holes inside a sparse
    // file filled with zeros), the file grown unless KEEP_SIZE; holes
    // punched; zeros over a range.
    int Allocate(SOpenFile& file, int mode, off_t offset, off_t length);
    // lseek(2)'s SEEK_DATA and SEEK_HOLE, from the volume's holes; the kernel answers the others.
    off_t Seek(SOpenFile& file, off_t offset, int whence);
    int Sync(SOpenFile& file);
    int Release(SOpenFile& file);
    int SetTimes(const char* path, SOpenFile* file, const struct timespec times[2]);
    int SetMode(const char* path, SOpenFile* file, mode_t mode);
    int SetOwner(uid_t owner, gid_t group);
    int FileSystemFacts(struct statvfs& facts);
    // Symbolic links over the handle family's links: the target with
    // slashes; a new link to a directory of the volume is a directory link.
    int ReadLink(const char* path, std::string& target);
    int MakeSymlink(const char* target, const char* path);

    // Extended attributes user.NAME are the object's named streams; the
    // other name spaces are not kept (ENOTSUP). Get and List return the
    // bytes that are (or would be, when `size` is 0) stored.
    int GetExtendedAttribute(const char* path, const char* name, char* value, size_t size);
    int SetExtendedAttribute(const char* path, const char* name, const char* value, size_t size, int flags);
    int ListExtendedAttributes(const char* path, char* list, size_t size);
    int RemoveExtendedAttribute(const char* path, const char* name);

    // Ends what the kernel left open (deleting unlinked files) and closes the
    // volume. False when something could not be written.
    bool Close();

private:
    class CObject;

    int FillFacts(CObject& object, struct stat& facts);
    int LinkTargetOf(const std::wstring& path, std::string& target);
    int UnlinkDirectoryLink(const std::wstring& path);
    int Find(const char* path, SOpenFile* file, CObject& object);
    int Failure() const;
    SOpenFile* OpenAt(const std::wstring& key) const;
    int WriteBack(SOpenFile& file);
    int ReleaseAfterFailure(SOpenFile& file);
    bool EndOpenFile(SOpenFile& file);
    int Hide(SOpenFile& file);
    void Rekey(const std::wstring& fromKey, const std::wstring& from, const std::wstring& toKey, const std::wstring& to);
    bool AwaitUnlinkedGone(std::unique_lock<std::mutex>& hold, const std::wstring& prefix);
    int Touch(volkit::api::NtfsFileHandle handle);
    int Zero(SOpenFile& file, off_t offset, off_t length, bool punch);
    bool FillHoles(volkit::api::NtfsFileHandle handle, unsigned long long from, unsigned long long to) const;
    // Grows the file to `size`, sparse first when `unwritten` bytes of the growth stay unwritten.
    bool Grow(volkit::api::NtfsFileHandle handle, unsigned long long size, unsigned long long unwritten) const;
    int StreamPath(const char* path, const char* name, std::wstring& stream);
    uint64_t FreeClusters();

    std::mutex m_lock;
    std::condition_variable m_released;  // an unlinked file's last release
    volkit::api::NtfsVolumeHandle m_volume;
    SMountFacts m_facts;
    std::map<std::wstring, std::unique_ptr<SOpenFile>> m_open;  // by key
    size_t m_unlinked = 0;                                     // how many of them are unlinked
    uint64_t m_hiddenNames = 0;                                // hidden names the volume made up
};

}  // namespace volcore::tool
