#include "MountedVolume.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "Diagnostics.h"
#include "Platform.h"
#include "Text.h"

namespace volcore::tool {
namespace {

using namespace volkit::api;
using platform::TicksOf;
using platform::TimespecOf;

// A failed delete leaves its handle open: it is closed, and the delete's
// failure is what the caller hears of.
bool DeleteOrClose(NtfsFileHandle& file) {
    if (NtfsDeleteFile(file)) return true;
    NtfsCloseFile(file);
    return false;
}

bool DeleteOrClose(NtfsDirHandle& dir) {
    if (NtfsDeleteDir(dir)) return true;
    NtfsCloseDir(dir);
    return false;
}

constexpr uint32_t kReadOnly = 0x1;
constexpr uint32_t kHasFileNameIndex = 0x10000000;
constexpr uint32_t kSparse = 0x200;
constexpr uint32_t kCompressed = 0x800;
constexpr uint8_t kDosNameSpace = 2;
constexpr uint64_t kFirstUserRecord = 24;  // records below are the volume's own files
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;

// The engine's failure lines in POSIX terms; anything else is an I/O error.
int ErrnoOf(const std::string& failure) {
    static const std::pair<const char*, int> kMeanings[] = {
        {"doesn't exist", ENOENT},        {"is already exist", EEXIST},  {"is not empty", ENOTEMPTY},
        {"is a directory", EISDIR},       {"Cannot delete directory", EISDIR},
        {"not a directory", ENOTDIR},     {"name is too long", ENAMETOOLONG}, {"Invalid name", EINVAL},
        {"Invalid path", EINVAL},         {"Invalid stream", EINVAL},    {"reading only", EROFS},
        {"the volume is full", ENOSPC},   {"system entry", EPERM},       {"is deleted", ENOENT},
        {"into itself", EINVAL},          {"hard link to directory", EPERM},
        {"the most a file may have", EMLINK},
    };
    for (const auto& [phrase, error] : kMeanings)
        if (failure.find(phrase) != std::string::npos) return error;
    return EIO;
}


uint64_t Now() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return TicksOf(now);
}

// "/a/b" as the handle family's "\a\b"; a name holding a backslash cannot be
// told from two names there, so it names nothing.
bool WidePath(const char* path, std::wstring& wide) {
    if (path == nullptr || std::strchr(path, '\\') != nullptr) return false;
    auto converted = Utf8ToWide(path);
    if (!converted) return false;
    wide = std::move(*converted);
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    return true;
}

// A path for a new name: to the handle family a colon in it would name a
// stream of a file, not a file.
bool NewPath(const char* path, std::wstring& wide) {
    const char* name = path ? std::strrchr(path, '/') : nullptr;
    return name && std::strchr(name, ':') == nullptr && WidePath(path, wide);
}

std::wstring KeyOf(const std::wstring& path) {
    return FoldCase(WideToUtf8(path));
}

}  // namespace

// A file or directory opened by path for one call; closed at the end of it
// unless Close() was called to see whether writing it back worked.
class CMountedVolume::CObject {
public:
    ~CObject() { Close(); }
    bool Open(const std::wstring& path, NtfsVolumeHandle volume) {
        // The root is no file to the handle family.
        if (path.find_first_not_of(L'\\') == std::wstring::npos) return OpenDirectory(path, volume);
        if (!NtfsOpenFile(path.c_str(), m_file, volume) || !GetFileAttributesAndTime(m_values, m_file) ||
            !NtfsGetFileSize(m_size, m_file))
            return false;
        // A directory opens as a file without contents; its standard
        // information need not say that it is one (the root's does not). So
        // an empty object is asked for as a directory, which for a file fails
        // without the engine raising. (A read of nothing tells nothing: the
        // engine refuses it for an empty file too, and raises doing so.)
        if ((m_values.attributes & kHasFileNameIndex) == 0 && m_size != 0) return true;
        bool isDirectory;
        {
            CDiagnostics::CQuiet quiet;
            isDirectory = NtfsOpenDir(path.c_str(), m_dir, volume);
        }
        CDiagnostics::Clear();
        if (!isDirectory) return true;
        NtfsCloseFile(m_file);
        return GetDirAttributesAndTime(m_values, m_dir);
    }
    bool OpenDirectory(const std::wstring& path, NtfsVolumeHandle volume) {
        return NtfsOpenDir(path.c_str(), m_dir, volume) && GetDirAttributesAndTime(m_values, m_dir);
    }
    bool OpenFile(NtfsFileHandle file) {
        m_borrowed = file;
        return GetFileAttributesAndTime(m_values, file) && NtfsGetFileSize(m_size, file);
    }
    bool IsDirectory() const { return m_dir.ptr != nullptr; }
    NtfsDirHandle Dir() const { return m_dir; }
    NtfsFileHandle File() const { return m_borrowed.ptr ? m_borrowed : m_file; }
    NtfsAttributesAndTime& Values() { return m_values; }
    unsigned long long Size() const { return m_size; }
    bool Store() {
        return m_dir.ptr ? SetDirAttributesAndTime(m_values, m_dir) : SetFileAttributesAndTime(m_values, File());
    }
    bool Close() {
        bool ok = true;
        if (m_file.ptr) ok = NtfsCloseFile(m_file) && ok;
        if (m_dir.ptr) ok = NtfsCloseDir(m_dir) && ok;
        return ok;
    }

private:
    NtfsFileHandle m_file, m_borrowed;
    NtfsDirHandle m_dir;
    NtfsAttributesAndTime m_values;
    unsigned long long m_size = 0;
};

CMountedVolume::CMountedVolume(NtfsVolumeHandle volume, SMountFacts facts) : m_volume(volume), m_facts(std::move(facts)) {}

CMountedVolume::~CMountedVolume() { Close(); }

int CMountedVolume::Failure() const { return -ErrnoOf(CDiagnostics::LastFailure()); }

int CMountedVolume::FillFacts(CObject& object, struct stat& facts) {
    facts = {};
    const NtfsAttributesAndTime& values = object.Values();
    const bool readOnly = (values.attributes & kReadOnly) != 0;
    // Permissions are not kept: everything is its owner's, executable as
    // ntfs-3g shows it, and a read-only file loses its write bits.
    facts.st_mode = object.IsDirectory() ? S_IFDIR | 0755 : S_IFREG | (readOnly ? 0555 : 0755);
    // A directory shows one link: find and others then never take its link
    // count for its number of subdirectories.
    unsigned int links = 1;
    if (!object.IsDirectory() && !NtfsGetLinkCount(links, object.File())) return Failure();
    facts.st_nlink = links;
    facts.st_uid = m_facts.owner;
    facts.st_gid = m_facts.group;
    facts.st_size = static_cast<off_t>(object.Size());
    facts.st_blksize = static_cast<blksize_t>(m_facts.clusterSize);
    // Holes take no blocks; contents kept in the record count as their size.
    unsigned long long stored = object.Size();
    if (!object.IsDirectory() && !NtfsGetFileAllocatedSize(stored, object.File())) return Failure();
    if (stored == 0 && (values.attributes & kSparse) == 0) stored = object.Size();
    facts.st_blocks = static_cast<blkcnt_t>((stored + 511) / 512);
    facts.st_atim = TimespecOf(values.lastAccessTime);
    facts.st_mtim = TimespecOf(values.lastWriteTime);
    facts.st_ctim = facts.st_mtim;
    return 0;
}

int CMountedVolume::GetAttributes(const char* path, SOpenFile* file, struct stat& facts) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    CObject object;
    if (const int found = Find(path, file, object); found != 0) return found;
    if (const int filled = FillFacts(object, facts); filled != 0) return filled;
    // The hidden name of an unlinked file is no link of it.
    std::wstring wide;
    if (!file && m_unlinked != 0 && WidePath(path, wide)) file = OpenAt(KeyOf(wide));
    if (file && file->unlinked && facts.st_nlink > 0) --facts.st_nlink;
    std::string target;
    // Only reparse points and system files can be links.
    if ((object.Values().attributes & 0x404) && WidePath(path, wide) && LinkTargetOf(wide, target) == 0 &&
        !target.empty()) {
        facts.st_mode = S_IFLNK | 0777;
        facts.st_size = static_cast<off_t>(target.size());
    }
    return 0;
}

int CMountedVolume::LinkTargetOf(const std::wstring& path, std::string& target) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path.c_str(), file, m_volume)) return Failure();
    target.clear();
    auto keep = [](const NtfsLinkTarget& link, void* context) {
        std::string& text = *static_cast<std::string*>(context);
        text = WideToUtf8(link.printName);
        for (char& c : text)
            if (c == '\\') c = '/';
    };
    const bool ok = NtfsReadLinkTarget(file, keep, &target);
    return NtfsCloseFile(file) && ok ? 0 : Failure();
}

int CMountedVolume::ReadLink(const char* path, std::string& target) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    if (const int result = LinkTargetOf(wide, target); result != 0) return result;
    return target.empty() ? -EINVAL : 0;
}

int CMountedVolume::MakeSymlink(const char* target, const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    const auto to = Utf8ToWide(target);
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide) || !to) return -EINVAL;
    // Windows follows a link to a directory only when the link is one too.
    const std::filesystem::path where =
        (std::filesystem::path(path).parent_path() / target).lexically_normal();
    std::wstring resolved;
    NtfsDirHandle directory;
    bool isDirectory = false;
    if (target[0] != '/' && WidePath(where.c_str(), resolved)) {
        CDiagnostics::CQuiet quiet;
        isDirectory = NtfsOpenDir(resolved.c_str(), directory, m_volume) && NtfsCloseDir(directory);
    }
    CDiagnostics::Clear();
    NtfsFileHandle link;
    if (!NtfsCreateSymlink(wide.c_str(), to->c_str(), isDirectory, m_volume) || !NtfsOpenFile(wide.c_str(), link, m_volume))
        return Failure();
    // A new object gets the current time, as a new file does.
    NtfsAttributesAndTime values;
    bool ok = GetFileAttributesAndTime(values, link);
    values.creationTime = values.lastWriteTime = values.lastAccessTime = Now();
    ok = ok && SetFileAttributesAndTime(values, link);
    return NtfsCloseFile(link) && ok ? 0 : Failure();
}

SOpenFile* CMountedVolume::OpenAt(const std::wstring& key) const {
    auto found = m_open.find(key);
    return found == m_open.end() ? nullptr : found->second.get();
}

namespace {

struct SWalkContext {
    const CMountedVolume::DirectoryVisitor* visit;
    const std::wstring* prefix;  // the directory's key and a backslash
    const std::map<std::wstring, std::unique_ptr<SOpenFile>>* open;
    bool anyUnlinked;
    bool isRoot;
};

bool OnEntry(const NtfsDirEntry& entry, void* context) {
    const auto& walk = *static_cast<SWalkContext*>(context);
    // DOS aliases repeat a long name; the root's own files stay out of sight
    // (they are still found by name).
    if (entry.nameSpace == kDosNameSpace) return true;
    if (walk.isRoot && (entry.fileReference & kRecordMask) < kFirstUserRecord) return true;
    const std::string name = WideToUtf8(entry.name);
    if (walk.anyUnlinked) {
        auto open = walk.open->find(*walk.prefix + FoldCase(name));
        if (open != walk.open->end() && open->second->unlinked) return true;
    }
    struct stat facts {};
    facts.st_mode = entry.isDirectory ? S_IFDIR : S_IFREG;
    (*walk.visit)(name.c_str(), facts);
    return true;
}

}  // namespace

int CMountedVolume::ReadDirectory(const char* path, const DirectoryVisitor& visit) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    NtfsDirHandle directory;
    if (!NtfsOpenDir(wide.c_str(), directory, m_volume)) return Failure();
    struct stat facts {};
    facts.st_mode = S_IFDIR;
    visit(".", facts);
    visit("..", facts);
    std::wstring key = KeyOf(wide);
    if (key.empty() || key.back() != L'\\') key += L'\\';
    SWalkContext walk{&visit, &key, &m_open, m_unlinked != 0, key == L"\\"};
    bool ok = NtfsEnumDir(directory, &OnEntry, &walk);
    ok = NtfsCloseDir(directory) && ok;
    return ok ? 0 : Failure();
}

int CMountedVolume::MakeDirectory(const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!NewPath(path, wide)) return -EINVAL;
    NtfsDirHandle directory;
    if (!NtfsCreateDir(wide.c_str(), directory, m_volume)) return Failure();
    NtfsAttributesAndTime values;
    bool ok = GetDirAttributesAndTime(values, directory);
    values.creationTime = values.lastWriteTime = values.lastAccessTime = Now();
    ok = ok && SetDirAttributesAndTime(values, directory);
    ok = NtfsCloseDir(directory) && ok;
    return ok ? 0 : Failure();
}

int CMountedVolume::RemoveDirectory(const char* path) {
    std::unique_lock<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -ENOENT;
    if (!AwaitUnlinkedGone(hold, KeyOf(wide) + L"\\")) return -ENOTEMPTY;
    NtfsDirHandle directory;
    if (!NtfsOpenDir(wide.c_str(), directory, m_volume) || !DeleteOrClose(directory)) return Failure();
    return 0;
}

// The handle family cannot keep a deleted object readable, so a name that
// the kernel still holds open moves to a hidden name; the object goes when
// its last open is released. libfuse does that itself for the files it knows
// to be open; this is for those it does not (opened under another case).
int CMountedVolume::Unlink(const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -ENOENT;
    // A hidden name given up again goes at the last release all the same.
    if (SOpenFile* open = m_open.empty() ? nullptr : OpenAt(KeyOf(wide))) return open->unlinked ? 0 : Hide(*open);
    if (const int linked = UnlinkDirectoryLink(wide); linked <= 0) return linked;
    NtfsFileHandle file;
    if (!NtfsOpenFile(wide.c_str(), file, m_volume) || !DeleteOrClose(file)) return Failure();
    return 0;
}

// Moves an open file to a name of its directory that no one uses. Through a
// handle opened by its path: of a file with several names, that is the name
// the handle family moves.
int CMountedVolume::Hide(SOpenFile& file) {
    const std::wstring directory = file.path.substr(0, file.path.find_last_of(L'\\') + 1);
    NtfsFileHandle named;
    if (!NtfsOpenFile(file.path.c_str(), named, m_volume)) return Failure();
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[40];
        std::swprintf(name, 40, L".fuse_hidden%016llx", static_cast<unsigned long long>(++m_hiddenNames) | 0x766b00000000ull);
        const std::wstring hidden = directory + name;
        CDiagnostics::Clear();
        if (NtfsMoveFile(hidden.c_str(), false, named)) {
            NtfsCloseFile(named);
            Rekey(file.key, file.path, KeyOf(hidden), hidden);
            file.unlinked = true;
            ++m_unlinked;
            return 0;
        }
        if (Failure() != -EEXIST) break;
    }
    const int failure = Failure();
    NtfsCloseFile(named);
    return failure;
}

// Open files follow a rename: the one renamed and, for a directory, those
// below it. A name that is open already stays where it is (the two were names
// of one file, and nothing moved).
void CMountedVolume::Rekey(const std::wstring& fromKey, const std::wstring& from, const std::wstring& toKey,
                          const std::wstring& to) {
    std::vector<std::unique_ptr<SOpenFile>> moved;
    for (auto it = m_open.lower_bound(fromKey); it != m_open.end() && it->first.compare(0, fromKey.size(), fromKey) == 0;) {
        const std::wstring& key = it->first;
        const std::wstring newKey = toKey + key.substr(fromKey.size());
        if ((key.size() != fromKey.size() && key[fromKey.size()] != L'\\') || (newKey != key && m_open.count(newKey))) {
            ++it;
            continue;
        }
        SOpenFile& file = *it->second;
        file.key = newKey;
        file.path = to + file.path.substr(std::min(from.size(), file.path.size()));
        moved.push_back(std::move(it->second));
        it = m_open.erase(it);
    }
    for (auto& file : moved) m_open[file->key] = std::move(file);
}

namespace {

// The names libfuse hides an unlinked open file under: ".fuse_hidden" and
// sixteen hexadecimal digits.
bool IsLibfuseHiddenName(const char* path) {
    const char* name = std::strrchr(path, '/');
    return name && std::strncmp(name + 1, ".fuse_hidden", 12) == 0 && std::strlen(name + 13) == 16 &&
           std::strspn(name + 13, "0123456789abcdef") == 16;
}

}  // namespace

int CMountedVolume::Rename(const char* from, const char* to, unsigned int flags) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if ((flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) != 0) return -EINVAL;
    std::wstring source, target;
    if (!WidePath(from, source)) return -ENOENT;
    if (!NewPath(to, target)) return -EINVAL;
    const std::wstring sourceKey = KeyOf(source), targetKey = KeyOf(target);
    const bool replace = (flags & RENAME_NOREPLACE) == 0;
    CObject object;
    if (!object.Open(source, m_volume)) return Failure();
    // Replacing deletes what was at the target: a file still open there goes
    // on under a hidden name instead, as libfuse does with those it knows to
    // be open. The source is opened again after it, as its name may be one of
    // that same file's.
    if (SOpenFile* open = OpenAt(targetKey); replace && open && !open->unlinked && targetKey != sourceKey) {
        object.Close();
        if (const int hidden = Hide(*open); hidden != 0) return hidden;
        if (!object.Open(source, m_volume)) return Failure();
    }
    const bool moved = object.IsDirectory() ? NtfsMoveDir(target.c_str(), replace, object.Dir())
                                            : NtfsMoveFile(target.c_str(), replace, object.File());
    if (!moved) return Failure();
    SOpenFile* open = OpenAt(sourceKey);
    Rekey(sourceKey, source, targetKey, target);
    if (open && !open->unlinked && IsLibfuseHiddenName(to)) {
        open->unlinked = true;
        ++m_unlinked;
    }
    return object.Close() ? 0 : Failure();
}

int CMountedVolume::Link(const char* from, const char* to) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    std::wstring source, target;
    if (!WidePath(from, source)) return -ENOENT;
    if (!NewPath(to, target)) return -EINVAL;
    NtfsFileHandle file;
    if (!NtfsOpenFile(source.c_str(), file, m_volume)) return Failure();
    if (!NtfsCreateHardLink(target.c_str(), file)) {
        const int failure = Failure();
        NtfsCloseFile(file);
        return failure;
    }
    return NtfsCloseFile(file) ? 0 : Failure();
}

// A link to a directory is an (empty) directory on the volume, which the
// kernel, seeing a link, unlinks. 1 when `path` is no such link.
int CMountedVolume::UnlinkDirectoryLink(const std::wstring& path) {
    NtfsDirHandle directory;
    {
        CDiagnostics::CQuiet quiet;
        if (!NtfsOpenDir(path.c_str(), directory, m_volume)) return 1;
    }
    CDiagnostics::Clear();
    NtfsAttributesAndTime values;
    if (!GetDirAttributesAndTime(values, directory) || !(values.attributes & 0x400)) {
        NtfsCloseDir(directory);
        return 1;
    }
    if (NtfsDeleteDir(directory)) return 0;
    NtfsCloseDir(directory);
    return Failure();
}

int CMountedVolume::Create(const char* path, mode_t mode, SOpenFile*& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!NewPath(path, wide)) return -EINVAL;
    const std::wstring key = KeyOf(wide);
    auto created = std::make_unique<SOpenFile>();
    if (!NtfsCreateFile(wide.c_str(), created->handle, m_volume)) return Failure();
    // A new object's three times are now; a mode without the owner's write
    // bit makes it read-only.
    NtfsAttributesAndTime values;
    if (GetFileAttributesAndTime(values, created->handle)) {
        values.creationTime = values.lastWriteTime = values.lastAccessTime = Now();
        if ((mode & S_IWUSR) == 0) values.attributes |= kReadOnly;
        SetFileAttributesAndTime(values, created->handle);
    }
    created->key = key;
    created->path = wide;
    created->opens = 1;
    file = created.get();
    m_open[key] = std::move(created);
    return 0;
}

int CMountedVolume::Open(const char* path, int flags, const SCaller& caller, SOpenFile*& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    const bool truncate = (flags & O_TRUNC) != 0;
    if (truncate && m_facts.readOnly) return -EROFS;
    const std::wstring key = KeyOf(wide);
    SOpenFile* found = OpenAt(key);
    if (!found) {
        auto opened = std::make_unique<SOpenFile>();
        if (!NtfsOpenFile(wide.c_str(), opened->handle, m_volume)) return Failure();
        opened->key = key;
        opened->path = wide;
        found = opened.get();
        m_open[key] = std::move(opened);
    }
    ++found->opens;
    file = found;
    if ((flags & O_ACCMODE) != O_RDONLY && !caller.overridesPermissions) {
        NtfsAttributesAndTime values;
        if (!GetFileAttributesAndTime(values, found->handle)) return ReleaseAfterFailure(*found);
        if (values.attributes & kReadOnly) {
            ReleaseAfterFailure(*found);
            return -EACCES;
        }
    }
    if (!truncate) return 0;
    unsigned long long size = 0;
    if (!NtfsGetFileSize(size, found->handle)) return ReleaseAfterFailure(*found);
    if (size == 0) return 0;
    if (!SetFileSize(0, found->handle)) return ReleaseAfterFailure(*found);
    const int touched = Touch(found->handle);
    return touched == 0 ? 0 : ReleaseAfterFailure(*found);
}

// An open that fails after taking the file gives it back; the failure stands.
int CMountedVolume::ReleaseAfterFailure(SOpenFile& file) {
    const int failure = Failure();
    if (--file.opens == 0) {
        std::unique_ptr<SOpenFile> owned = std::move(m_open.at(file.key));
        m_open.erase(file.key);
        EndOpenFile(*owned);
    }
    return failure;
}

int CMountedVolume::Read(SOpenFile& file, char* buffer, size_t size, off_t offset) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    unsigned long long fileSize = 0;
    if (offset < 0) return -EINVAL;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    const auto start = static_cast<unsigned long long>(offset);
    if (start >= fileSize || size == 0) return 0;
    const auto length = static_cast<unsigned int>(std::min<unsigned long long>(size, fileSize - start));
    if (!NtfsReadFile(start, buffer, length, file.handle)) return Failure();
    return static_cast<int>(length);
}

// A write or a size change is a change of the file's contents: its last
// write time becomes now, as POSIX wants (make and git rely on it).
int CMountedVolume::Touch(NtfsFileHandle handle) {
    NtfsAttributesAndTime values;
    if (!GetFileAttributesAndTime(values, handle)) return Failure();
    values.lastWriteTime = Now();
    return SetFileAttributesAndTime(values, handle) ? 0 : Failure();
}

// A growth that leaves a cluster or more unwritten makes the file sparse
// first, as ntfs-3g does: the gap is a hole instead of clusters of zeros, so
// a `truncate -s 1T` or a write far past the end works on a small volume.
bool CMountedVolume::Grow(NtfsFileHandle handle, unsigned long long size, unsigned long long unwritten) const {
    if (unwritten >= m_facts.clusterSize && !NtfsSetFileSparse(handle)) return false;
    return SetFileSize(size, handle);
}

int CMountedVolume::Write(SOpenFile& file, const char* buffer, size_t size, off_t offset) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (offset < 0) return -EINVAL;
    if (size == 0) return 0;
    const auto start = static_cast<unsigned long long>(offset);
    unsigned long long fileSize = 0;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    // Writes stay inside the size: a write past the end grows the file first.
    if (start + size > fileSize && !Grow(file.handle, start + size, start > fileSize ? start - fileSize : 0))
        return Failure();
    if (!NtfsWriteFile(start, buffer, static_cast<unsigned int>(size), file.handle)) return Failure();
    const int touched = Touch(file.handle);
    return touched != 0 ? touched : static_cast<int>(size);
}

int CMountedVolume::Truncate(const char* path, SOpenFile* file, off_t size, const SCaller& caller) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (size < 0) return -EINVAL;
    CObject object;
    if (const int found = Find(path, file, object); found != 0) return found;
    if (object.IsDirectory()) return -EISDIR;
    // An open file was opened for writing; a path is checked here.
    if (!file && !caller.overridesPermissions && (object.Values().attributes & kReadOnly)) return -EACCES;
    const auto newSize = static_cast<unsigned long long>(size);
    const bool grown = newSize > object.Size() ? Grow(object.File(), newSize, newSize - object.Size())
                                               : SetFileSize(newSize, object.File());
    if (!grown) return Failure();
    if (const int touched = Touch(object.File()); touched != 0) return touched;
    return object.Close() ? 0 : Failure();
}

int CMountedVolume::Access(const char* path, int mask, const SCaller& caller) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    CObject object;
    if (const int found = Find(path, nullptr, object); found != 0) return found;
    const bool readOnly = !object.IsDirectory() && (object.Values().attributes & kReadOnly) != 0;
    return (mask & W_OK) && readOnly && !caller.overridesPermissions ? -EACCES : 0;
}

// The object a call names: the open file it came with or that is open at the
// path, or the object at the path.
int CMountedVolume::Find(const char* path, SOpenFile* file, CObject& object) {
    std::wstring wide;
    if (!file && !WidePath(path, wide)) return -ENOENT;
    // An open file is at hand without a walk of the path (the kernel gives
    // no handle with a change of times, nor with the getattr after it).
    if (!file && !m_open.empty()) file = OpenAt(KeyOf(wide));
    if (file ? !file->handle.ptr || !object.OpenFile(file->handle) : !object.Open(wide, m_volume)) return Failure();
    return 0;
}

// Plain allocation: the engine allocates what a growth adds, so growing the
// file is the allocation, and the holes of a sparse file in the range are
// filled; keeping the size past the end is refused. Punching a hole makes the
// file sparse first, as ntfs-3g does.
int CMountedVolume::Allocate(SOpenFile& file, int mode, off_t offset, off_t length) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (offset < 0 || length <= 0) return -EINVAL;
    if (mode == (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)) return Zero(file, offset, length, true);
    if (mode == FALLOC_FL_ZERO_RANGE || mode == (FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE)) {
        if (const int zeroed = Zero(file, offset, length, false); zeroed != 0 || (mode & FALLOC_FL_KEEP_SIZE)) return zeroed;
        mode = 0;  // the growth past the end, below
    }
    if (mode != 0 && mode != FALLOC_FL_KEEP_SIZE) return -EOPNOTSUPP;
    NtfsAttributesAndTime values;
    if (!GetFileAttributesAndTime(values, file.handle)) return Failure();
    unsigned long long fileSize = 0;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    const auto start = static_cast<unsigned long long>(offset);
    auto end = start + static_cast<unsigned long long>(length);
    // Clusters past the end would be given up at the file's next save: a
    // reservation there would be a promise the volume does not keep.
    if (mode == FALLOC_FL_KEEP_SIZE && end > fileSize) return -EOPNOTSUPP;
    if (end > fileSize && !SetFileSize(end, file.handle)) return Failure();
    // A compressed file's units take their clusters when written: it cannot hold them in advance.
    if ((values.attributes & kCompressed) || FillHoles(file.handle, start, end)) return 0;
    const int failed = Failure();
    if (end > fileSize) SetFileSize(fileSize, file.handle);
    return failed;
}

// Zeros written over the holes in the range take their clusters, so that a
// later write there cannot run out of space.
bool CMountedVolume::FillHoles(NtfsFileHandle handle, unsigned long long from, unsigned long long to) const {
    static const std::vector<char> zeros(1 << 20);
    while (from < to) {
        unsigned long long start = 0, length = 0;
        if (!NtfsGetFileDataRange(from, start, length, handle)) return false;
        for (const unsigned long long holeEnd = std::min(start, to); from < holeEnd;) {
            const auto piece = static_cast<unsigned int>(std::min<unsigned long long>(zeros.size(), holeEnd - from));
            if (!NtfsWriteFile(from, zeros.data(), piece, handle)) return false;
            from += piece;
        }
        from = std::max(from, start + length);
    }
    return true;
}

off_t CMountedVolume::Seek(SOpenFile& file, off_t offset, int whence) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (whence != SEEK_DATA && whence != SEEK_HOLE) return -EINVAL;
    if (offset < 0) return -ENXIO;
    const auto from = static_cast<unsigned long long>(offset);
    unsigned long long start = 0, length = 0;
    if (!NtfsGetFileDataRange(from, start, length, file.handle)) return Failure();
    // Only holes follow: the last one ends at the end of the file.
    if (length == 0) return whence == SEEK_HOLE && from < start ? offset : -ENXIO;
    if (whence == SEEK_DATA) return static_cast<off_t>(start);
    return start > from ? offset : static_cast<off_t>(start + length);
}

// Zeros over the part of the range inside the file (a hole where the file is sparse).
int CMountedVolume::Zero(SOpenFile& file, off_t offset, off_t length, bool punch) {
    unsigned long long fileSize = 0;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    const auto start = static_cast<unsigned long long>(offset);
    if (start >= fileSize) return 0;
    const unsigned long long inside = std::min<unsigned long long>(static_cast<unsigned long long>(length), fileSize - start);
    if (punch && !NtfsSetFileSparse(file.handle)) return Failure();
    if (!NtfsZeroFileRange(start, inside, file.handle)) return Failure();
    return Touch(file.handle);
}

// The handle family writes an object back when its last handle closes, and
// each open file holds exactly one: closing and opening it again is the write-back.
int CMountedVolume::WriteBack(SOpenFile& file) {
    if (file.unlinked || !file.handle.ptr) return 0;
    if (!NtfsCloseFile(file.handle)) {
        // The handle is gone either way; a file that cannot be opened again
        // fails every later call.
        NtfsOpenFile(file.path.c_str(), file.handle, m_volume);
        return Failure();
    }
    if (!NtfsOpenFile(file.path.c_str(), file.handle, m_volume)) return Failure();
    return 0;
}

int CMountedVolume::Sync(SOpenFile& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return 0;
    if (const int written = WriteBack(file); written != 0) return written;
    return !m_facts.syncDevice || m_facts.syncDevice() ? 0 : -EIO;
}

// The kernel sends the last release of a file after close(2) has returned,
// so a program that unlinks an open file, closes it and removes its directory
// comes before the release that takes the hidden name away: the removal waits
// for it, a little. False when a hidden name is still there below `prefix`.
bool CMountedVolume::AwaitUnlinkedGone(std::unique_lock<std::mutex>& hold, const std::wstring& prefix) {
    auto gone = [&] {
        if (m_unlinked == 0) return true;
        for (auto it = m_open.lower_bound(prefix); it != m_open.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
            if (it->second->unlinked) return false;
        return true;
    };
    return m_released.wait_for(hold, std::chrono::seconds(2), gone);
}

// Closes the file's handle; an unlinked one takes its hidden name with it
// (through a handle opened by that name, which is the name the handle family
// deletes of a file with several).
bool CMountedVolume::EndOpenFile(SOpenFile& file) {
    if (!file.unlinked) return !file.handle.ptr || NtfsCloseFile(file.handle);
    --m_unlinked;
    m_released.notify_all();
    NtfsFileHandle named;
    const bool opened = NtfsOpenFile(file.path.c_str(), named, m_volume);
    const bool closed = !file.handle.ptr || NtfsCloseFile(file.handle);
    return opened && DeleteOrClose(named) && closed;
}

int CMountedVolume::Release(SOpenFile& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (--file.opens > 0) return 0;
    std::unique_ptr<SOpenFile> owned = std::move(m_open.at(file.key));
    m_open.erase(file.key);
    return EndOpenFile(*owned) ? 0 : Failure();
}

int CMountedVolume::SetTimes(const char* path, SOpenFile* file, const struct timespec times[2]) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    CObject object;
    if (const int found = Find(path, file, object); found != 0) return found;
    const uint64_t now = Now();
    auto apply = [now](const struct timespec& time, uint64_t& field) {
        if (time.tv_nsec == UTIME_OMIT) return;
        field = time.tv_nsec == UTIME_NOW ? now : TicksOf(time);
    };
    apply(times[0], object.Values().lastAccessTime);
    apply(times[1], object.Values().lastWriteTime);
    if (!object.Store() || !object.Close()) return Failure();
    return 0;
}

// Only the owner's write bit has a home: the read-only attribute. A
// directory's read-only attribute means something else to Windows, so
// directories keep theirs.
int CMountedVolume::SetMode(const char* path, SOpenFile* file, mode_t mode) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    CObject object;
    if (const int found = Find(path, file, object); found != 0) return found;
    if (object.IsDirectory()) return object.Close() ? 0 : Failure();
    uint32_t& attributes = object.Values().attributes;
    const uint32_t wanted = (mode & S_IWUSR) ? attributes & ~kReadOnly : attributes | kReadOnly;
    if (wanted == attributes) return object.Close() ? 0 : Failure();
    attributes = wanted;
    if (!object.Store() || !object.Close()) return Failure();
    return 0;
}

// Owners are not kept: changing them to anything but the mounting user's is refused.
int CMountedVolume::SetOwner(uid_t owner, gid_t group) {
    const bool same = (owner == static_cast<uid_t>(-1) || owner == m_facts.owner) &&
                      (group == static_cast<gid_t>(-1) || group == m_facts.group);
    return same ? 0 : -EPERM;
}

uint64_t CMountedVolume::FreeClusters() {
    NtfsFileHandle bitmap;
    if (!NtfsOpenFile(L"$Bitmap", bitmap, m_volume)) return 0;
    std::vector<uint8_t> chunk(1u << 16);
    uint64_t used = 0;
    const uint64_t total = m_facts.totalClusters;
    bool ok = true;
    for (uint64_t cluster = 0; ok && cluster < total; cluster += chunk.size() * 8) {
        const uint64_t clusters = std::min<uint64_t>(chunk.size() * 8, total - cluster);
        const auto bytes = static_cast<uint32_t>((clusters + 7) / 8);
        ok = NtfsReadFile(cluster / 8, chunk.data(), bytes, bitmap);
        // Bits past the last cluster are no clusters.
        if (clusters % 8 != 0) chunk[bytes - 1] &= static_cast<uint8_t>((1u << (clusters % 8)) - 1);
        for (uint32_t i = 0; ok && i < bytes; ++i) used += static_cast<uint64_t>(__builtin_popcount(chunk[i]));
    }
    NtfsCloseFile(bitmap);
    return ok ? total - std::min(used, total) : 0;
}

int CMountedVolume::FileSystemFacts(struct statvfs& facts) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    facts = {};
    facts.f_bsize = facts.f_frsize = m_facts.clusterSize;
    facts.f_blocks = m_facts.totalClusters;
    facts.f_bfree = facts.f_bavail = FreeClusters();
    facts.f_namemax = 255;
    if (m_facts.readOnly) facts.f_flag |= ST_RDONLY;
    return 0;
}

namespace {

// The largest value the kernel passes or takes (XATTR_SIZE_MAX).
constexpr unsigned long long kLargestValue = 65536;

// A stream that is not there is an attribute that is not there; a file that
// is not there stays ENOENT.
int AttributeErrno(int failure) {
    const std::string text = CDiagnostics::LastFailure();
    return failure == -ENOENT && text.find("Stream ") != std::string::npos ? -ENODATA : failure;
}

bool OnStream(const NtfsStreamEntry& entry, void* context) {
    std::string& names = *static_cast<std::string*>(context);
    names += "user.";
    names += WideToUtf8(entry.name);
    names += '\0';
    return true;
}

// Hands `length` bytes to a caller that offered `size` (0: only asks how many).
int CopyOut(const char* bytes, size_t length, char* out, size_t size) {
    if (length > kLargestValue) return -E2BIG;
    if (size == 0) return static_cast<int>(length);
    if (size < length) return -ERANGE;
    std::memcpy(out, bytes, length);
    return static_cast<int>(length);
}

}  // namespace

// "path:NAME" for user.NAME; other name spaces have no home on the volume.
int CMountedVolume::StreamPath(const char* path, const char* name, std::wstring& stream) {
    if (std::strncmp(name, "user.", 5) != 0) return -ENOTSUP;
    const char* streamName = name + 5;
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    auto converted = Utf8ToWide(streamName);
    // A colon would name the stream's type to the handle family.
    if (!converted || converted->empty() || converted->find(L':') != std::wstring::npos) return -EINVAL;
    stream = wide + L":" + *converted;
    return 0;
}

int CMountedVolume::GetExtendedAttribute(const char* path, const char* name, char* value, size_t size) {
    std::wstring stream;
    if (const int valid = StreamPath(path, name, stream); valid != 0) return valid == -EINVAL ? -ENODATA : valid;
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    NtfsFileHandle handle;
    {
        CDiagnostics::CQuiet quiet;  // asking for an attribute that is not there is no failure
        if (!NtfsOpenFile(stream.c_str(), handle, m_volume)) return AttributeErrno(Failure());
    }
    unsigned long long length = 0;
    std::vector<char> bytes;
    bool ok = NtfsGetFileSize(length, handle);
    if (ok && length <= kLargestValue && size != 0) {
        bytes.resize(length);
        ok = length == 0 || NtfsReadFile(0, bytes.data(), static_cast<unsigned int>(length), handle);
    }
    ok = NtfsCloseFile(handle) && ok;
    if (!ok) return Failure();
    return CopyOut(bytes.data(), length, value, size);
}

int CMountedVolume::SetExtendedAttribute(const char* path, const char* name, const char* value, size_t size,
                                        int flags) {
    std::wstring stream;
    if (const int valid = StreamPath(path, name, stream); valid != 0) return valid;
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (size > kLargestValue) return -E2BIG;
    NtfsFileHandle handle;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = NtfsOpenFile(stream.c_str(), handle, m_volume);
    }
    if (!exists) {
        if (const int failure = AttributeErrno(Failure()); failure != -ENODATA) return failure;
        if (flags & XATTR_REPLACE) return -ENODATA;
        CDiagnostics::Clear();
        // Directories, the root among them, hold no streams here.
        if (std::strcmp(path, "/") == 0) return -ENOTSUP;
        if (!NtfsCreateFile(stream.c_str(), handle, m_volume)) return Failure() == -EISDIR ? -ENOTSUP : Failure();
    } else if (flags & XATTR_CREATE) {
        NtfsCloseFile(handle);
        return -EEXIST;
    }
    bool ok = SetFileSize(size, handle) && (size == 0 || NtfsWriteFile(0, value, static_cast<unsigned int>(size), handle));
    ok = NtfsCloseFile(handle) && ok;
    return ok ? 0 : Failure();
}

int CMountedVolume::ListExtendedAttributes(const char* path, char* list, size_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    NtfsFileHandle handle;
    if (!NtfsOpenFile(wide.c_str(), handle, m_volume)) return Failure();
    std::string names;
    bool ok = NtfsEnumStreams(handle, &OnStream, &names);
    ok = NtfsCloseFile(handle) && ok;
    if (!ok) return Failure();
    return CopyOut(names.data(), names.size(), list, size);
}

int CMountedVolume::RemoveExtendedAttribute(const char* path, const char* name) {
    std::wstring stream;
    if (const int valid = StreamPath(path, name, stream); valid != 0) return valid == -EINVAL ? -ENODATA : valid;
    std::lock_guard<std::mutex> hold(m_lock);
    CDiagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    NtfsFileHandle handle;
    if (!NtfsOpenFile(stream.c_str(), handle, m_volume)) return AttributeErrno(Failure());
    return DeleteOrClose(handle) ? 0 : Failure();
}

bool CMountedVolume::Close() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_volume.ptr) return true;
    CDiagnostics::Clear();
    bool ok = true;
    for (auto& [key, file] : m_open) ok = EndOpenFile(*file) && ok;
    m_open.clear();
    return NtfsCloseVolume(m_volume) && ok;
}

}  // namespace volcore::tool
