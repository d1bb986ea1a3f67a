#include "FuseLibrary.h"

// volkit mount: the handle family's volume as a FUSE file system (libfuse 3).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "MountedVolume.h"
#include "Session.h"
#include "VolumeFacts.h"

namespace volcore::tool {
namespace {

// The engine serves one call at a time: one worker in it, one with the next
// request waiting for the lock, and one for the release that a removal
// waiting for an unlinked file's last close needs. More idle workers cost
// more than they give (measured with small-file creates and deletes).
constexpr unsigned kWorkerThreads = 3;

CMountedVolume& Volume() { return *static_cast<CMountedVolume*>(Fuse().context()->private_data); }

SCaller CallerOf() { return SCaller{Fuse().context()->uid == 0}; }

SOpenFile* FileOf(struct fuse_file_info* info) {
    return info ? reinterpret_cast<SOpenFile*>(static_cast<uintptr_t>(info->fh)) : nullptr;
}

void* Init(struct fuse_conn_info*, struct fuse_config* config) {
    // Calls on open files may come after their name is gone (unlink while open).
    config->nullpath_ok = 1;
    // An unlinked open file stays reachable: libfuse renames it to a hidden
    // name, which goes at the file's last release.
    config->hard_remove = 0;
    config->use_ino = 0;
    return Fuse().context()->private_data;
}

int GetAttributes(const char* path, struct stat* facts, struct fuse_file_info* info) {
    return Volume().GetAttributes(path, FileOf(info), *facts);
}

// An open directory keeps its path: libfuse hands none to readdir when it
// need not (nullpath_ok).
int OpenDirectory(const char* path, struct fuse_file_info* info) {
    info->fh = reinterpret_cast<uintptr_t>(new std::string(path));
    return 0;
}

int ReleaseDirectory(const char*, struct fuse_file_info* info) {
    delete reinterpret_cast<std::string*>(static_cast<uintptr_t>(info->fh));
    return 0;
}

int ReadDirectory(const char*, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info* info,
                  enum fuse_readdir_flags) {
    return Volume().ReadDirectory(
        reinterpret_cast<std::string*>(static_cast<uintptr_t>(info->fh))->c_str(), [&](const char* name, const struct stat& facts) { fill(buffer, name, &facts, 0, static_cast<fuse_fill_dir_flags>(0)); });
}

int MakeDirectory(const char* path, mode_t) { return Volume().MakeDirectory(path); }
int RemoveDirectory(const char* path) { return Volume().RemoveDirectory(path); }
int Unlink(const char* path) { return Volume().Unlink(path); }

int Create(const char* path, mode_t mode, struct fuse_file_info* info) {
    SOpenFile* file = nullptr;
    const int result = Volume().Create(path, mode, file);
    if (result == 0) info->fh = reinterpret_cast<uintptr_t>(file);
    return result;
}

int Open(const char* path, struct fuse_file_info* info) {
    SOpenFile* file = nullptr;
    const int result = Volume().Open(path, info->flags, CallerOf(), file);
    if (result == 0) info->fh = reinterpret_cast<uintptr_t>(file);
    return result;
}

int Read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* info) {
    return Volume().Read(*FileOf(info), buffer, size, offset);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* info) {
    return Volume().Write(*FileOf(info), buffer, size, offset);
}

int Truncate(const char* path, off_t size, struct fuse_file_info* info) {
    return Volume().Truncate(path, FileOf(info), size, CallerOf());
}

int Access(const char* path, int mask) { return Volume().Access(path, mask, CallerOf()); }

int Allocate(const char*, int mode, off_t offset, off_t length, struct fuse_file_info* info) {
    return Volume().Allocate(*FileOf(info), mode, offset, length);
}

off_t Seek(const char*, off_t offset, int whence, struct fuse_file_info* info) {
    return Volume().Seek(*FileOf(info), offset, whence);
}

int Sync(const char*, int, struct fuse_file_info* info) { return Volume().Sync(*FileOf(info)); }

// The last release writes the object back. There is no flush: it would have
// nothing of its own to do, and unanswered once the kernel stops sending one
// with every close(2).
int Release(const char*, struct fuse_file_info* info) { return Volume().Release(*FileOf(info)); }

int SetTimes(const char* path, const struct timespec times[2], struct fuse_file_info* info) {
    return Volume().SetTimes(path, FileOf(info), times);
}

int SetMode(const char* path, mode_t mode, struct fuse_file_info* info) {
    return Volume().SetMode(path, FileOf(info), mode);
}

int SetOwner(const char*, uid_t owner, gid_t group, struct fuse_file_info*) { return Volume().SetOwner(owner, group); }

int FileSystemFacts(const char*, struct statvfs* facts) { return Volume().FileSystemFacts(*facts); }

int Rename(const char* from, const char* to, unsigned int flags) { return Volume().Rename(from, to, flags); }
int Link(const char* from, const char* to) { return Volume().Link(from, to); }

int GetExtendedAttribute(const char* path, const char* name, char* value, size_t size) {
    return Volume().GetExtendedAttribute(path, name, value, size);
}
int SetExtendedAttribute(const char* path, const char* name, const char* value, size_t size, int flags) {
    return Volume().SetExtendedAttribute(path, name, value, size, flags);
}
int ListExtendedAttributes(const char* path, char* list, size_t size) {
    return Volume().ListExtendedAttributes(path, list, size);
}
int RemoveExtendedAttribute(const char* path, const char* name) { return Volume().RemoveExtendedAttribute(path, name); }

int Symlink(const char* target, const char* path) { return Volume().MakeSymlink(target, path); }
// As readlink(2) wants it: cut to the buffer, always terminated.
int ReadLink(const char* path, char* buffer, size_t size) {
    std::string target;
    const int result = Volume().ReadLink(path, target);
    if (result != 0 || size == 0) return result;
    const size_t length = std::min(target.size(), size - 1);
    std::memcpy(buffer, target.data(), length);
    buffer[length] = '\0';
    return 0;
}

struct fuse_operations Operations() {
    struct fuse_operations ops {};
    ops.init = &Init;
    ops.getattr = &GetAttributes;
    ops.opendir = &OpenDirectory;
    ops.readdir = &ReadDirectory;
    ops.releasedir = &ReleaseDirectory;
    ops.mkdir = &MakeDirectory;
    ops.rmdir = &RemoveDirectory;
    ops.unlink = &Unlink;
    ops.create = &Create;
    ops.open = &Open;
    ops.read = &Read;
    ops.write = &Write;
    ops.truncate = &Truncate;
    ops.fallocate = &Allocate;
    ops.lseek = &Seek;
    ops.fsync = &Sync;
    ops.release = &Release;
    ops.utimens = &SetTimes;
    ops.chmod = &SetMode;
    ops.chown = &SetOwner;
    ops.statfs = &FileSystemFacts;
    ops.access = &Access;
    ops.rename = &Rename;
    ops.link = &Link;
    ops.getxattr = &GetExtendedAttribute;
    ops.setxattr = &SetExtendedAttribute;
    ops.listxattr = &ListExtendedAttributes;
    ops.removexattr = &RemoveExtendedAttribute;
    ops.symlink = &Symlink;
    ops.readlink = &ReadLink;
    return ops;
}

// A FUSE option value keeps commas and backslashes only escaped.
std::string OptionValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == ',' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Serves the volume at the mount point until it is unmounted or the process
// gets SIGTERM, SIGINT or SIGHUP. Without `foreground` the process goes to
// the background once the mount is in place.
bool Serve(CMountedVolume& volume, const std::string& image, const std::string& mountPoint, bool readOnly,
           bool foreground) {
    // No default_permissions: the volume keeps no owners or modes to check,
    // and with it the kernel asks for a directory's attributes again before
    // each call after a change in it.
    std::string options = "fsname=" + OptionValue(image) + ",subtype=volkit";
    if (readOnly) options += ",ro";
    struct fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    if (Fuse().optAddArg(&args, "volkit") != 0 || Fuse().optAddArg(&args, "-o") != 0 ||
        Fuse().optAddArg(&args, options.c_str()) != 0)
        return false;
    if (std::getenv("VOLKIT_FUSE_DEBUG") && Fuse().optAddArg(&args, "-d") != 0) return false;
    const struct fuse_operations ops = Operations();
    struct fuse* fuse = Fuse().create(&args, &ops, sizeof ops, &volume);
    Fuse().optFreeArgs(&args);
    if (!fuse) return false;
    bool ok = Fuse().mount(fuse, mountPoint.c_str()) == 0;
    if (ok) {
        struct fuse_session* session = Fuse().session(fuse);
        // Idle workers stay (otherwise a thread, with its own /dev/fuse
        // descriptor, is started for nearly every request).
        struct fuse_loop_config* loop = Fuse().loopConfigCreate();
        if (loop) {
            Fuse().loopConfigSetCloneFd(loop, 0);
            Fuse().loopConfigSetMaxThreads(loop, kWorkerThreads);
            Fuse().loopConfigSetIdleThreads(loop, kWorkerThreads);
        }
        ok = loop && Fuse().setSignalHandlers(session) == 0 && Fuse().daemonize(foreground ? 1 : 0) == 0;
        // The loop ends with an unmount, or with the signal that ended it
        // (its number, negated); both close the volume cleanly.
        ok = ok && Fuse().loopMultiThreaded(fuse, loop) != -1;
        if (loop) Fuse().loopConfigDestroy(loop);
        Fuse().removeSignalHandlers(session);
        Fuse().unmount(fuse);
    }
    Fuse().destroy(fuse);
    return ok;
}

// Why the volume must be mounted for reading only, from the engine's
// warnings at open ("" when it may be written).
std::string ReadOnlyReason(const std::string& warnings) {
    if (const size_t at = warnings.find("open for reading only: "); at != std::string::npos) {
        const std::string rest = warnings.substr(at + 23);
        return rest.substr(0, rest.find('\n'));
    }
    if (warnings.find("marked dirty") != std::string::npos)
        return "the volume is marked dirty (a consistency check is pending)";
    return "";
}

}  // namespace

int RunFuseMount(const SCommandLine& line) {
    if (line.global.engine == EEngineChoice::Ntfs3g) {
        ReportFailure("mount", "the mount is served by the native engine only (ntfs-3g mounts with libntfs-3g itself)");
        return kExitUsage;
    }
    std::string why;
    if (!LoadFuse(why)) {
        ReportFailure("mount", "libfuse cannot be loaded: " + why);
        return kExitFailed;
    }
    const std::string image = line.operands[0];
    // libfuse leaves the working directory (for /) before it unmounts.
    std::error_code error;
    const std::string mountPoint = HostText(std::filesystem::absolute(HostPath(line.operands[1]), error));
    bool readOnly = line.Has("--read-only");
    std::string reason;
    if (!readOnly && ::access(HostPath(image).c_str(), W_OK) != 0 && errno != ENOENT) {
        readOnly = true;
        reason = "the image cannot be written (" + platform::LastErrorText() + ")";
    }
    CSession session;
    if (!session.OpenDevice(line, readOnly ? platform::EAccess::Read : platform::EAccess::Write)) return kExitFailed;
    SBootSectorFacts boot;
    if (!session.CheckBootSector(line, boot)) return kExitFailed;
    CDiagnostics::Clear();
    volkit::api::NtfsVolumeHandle handle;
    if (!volkit::api::NtfsOpenVolume(session.Device().HandleFamilyDevice(), handle)) {
        ReportFailure("mount " + image);
        return kExitFailed;
    }
    if (const std::string engineReason = ReadOnlyReason(CDiagnostics::Warnings()); !readOnly && !engineReason.empty())
        readOnly = true, reason = engineReason;
    if (!reason.empty()) std::fprintf(stderr, "volkit: mount %s: mounted read-only: %s\n", image.c_str(), reason.c_str());
    SMountFacts facts;
    facts.readOnly = readOnly;
    facts.owner = ::getuid();
    facts.group = ::getgid();
    facts.clusterSize = boot.clusterSize;
    facts.totalClusters = boot.totalSectors * boot.bytesPerSector / boot.clusterSize;
    CImageDevice& device = session.Device();
    facts.syncDevice = [&device] { return device.Flush(); };
    CMountedVolume volume(handle, std::move(facts));
    const bool served = Serve(volume, image, mountPoint, readOnly, line.Has("-f"));
    if (!served) ReportFailure("mount " + mountPoint, "cannot mount the volume there (see the lines above)");
    CDiagnostics::Clear();
    bool closed = volume.Close();
    if (!closed) ReportFailure("mount " + image, "the volume was not written back cleanly: " + CDiagnostics::LastFailure());
    closed = session.Close() && closed;
    return served && closed ? kExitDone : kExitFailed;
}

}  // namespace volcore::tool
