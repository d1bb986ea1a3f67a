#include "MountedVolume.h"

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
constexpr uint8_t kDosNameSpace = 2;
constexpr uint64_t kFirstUserRecord = 24;  // records below are the volume's own files
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;

// The engine's failure lines in POSIX terms; anything else is an I/O error.
int ErrnoOf(const std::string& failure) {
    static const std::pair<const char*, int> kMeanings[] = {
        {"doesn't exist", ENOENT},        {"is already exist", EEXIST},  {"is not empty", ENOTEMPTY},
        {"is a directory", EISDIR},       {"Cannot delete directory", EISDIR},
        {"not a directory", ENOTDIR},     {"name is too long", ENAMETOOLONG}, {"Invalid name", EINVAL},
        {"Invalid path", EINVAL},         {"reading only", EROFS},       {"the volume is full", ENOSPC},
        {"system entry", EPERM},          {"is deleted", ENOENT},
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

std::wstring KeyOf(const std::wstring& path) {
    return FoldCase(WideToUtf8(path));
}

}  // namespace

// A file or directory opened by path for one call; closed at the end of it
// unless Close() was called to see whether writing it back worked.
class MountedVolume::Object {
public:
    ~Object() { Close(); }
    bool Open(const std::wstring& path, NtfsVolumeHandle volume) {
        // The root is no file to the handle family.
        if (path.find_first_not_of(L'\\') == std::wstring::npos) return OpenDirectory(path, volume);
        if (!NtfsOpenFile(path.c_str(), m_file, volume) || !GetFileAttributesAndTime(m_values, m_file) ||
            !NtfsGetFileSize(m_size, m_file))
            return false;
        // A directory opens as a file without contents; its standard
        // information need not say that it is one (the root's does not).
        if ((m_values.attributes & kHasFileNameIndex) == 0 && m_size != 0) return true;
        bool isDirectory;
        {
            Diagnostics::Quiet quiet;
            isDirectory = NtfsOpenDir(path.c_str(), m_dir, volume);
        }
        Diagnostics::Clear();
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

MountedVolume::MountedVolume(NtfsVolumeHandle volume, MountFacts facts) : m_volume(volume), m_facts(std::move(facts)) {}

MountedVolume::~MountedVolume() { Close(); }

int MountedVolume::Failure() const { return -ErrnoOf(Diagnostics::LastFailure()); }

int MountedVolume::FillFacts(Object& object, struct stat& facts) {
    facts = {};
    const NtfsAttributesAndTime& values = object.Values();
    const bool readOnly = (values.attributes & kReadOnly) != 0;
    // Permissions are not kept: everything is its owner's, executable as
    // ntfs-3g shows it, and a read-only file loses its write bits.
    facts.st_mode = object.IsDirectory() ? S_IFDIR | 0755 : S_IFREG | (readOnly ? 0555 : 0755);
    // One link: find and others then never take a directory's link count
    // for its number of subdirectories.
    facts.st_nlink = 1;
    facts.st_uid = m_facts.owner;
    facts.st_gid = m_facts.group;
    facts.st_size = static_cast<off_t>(object.Size());
    facts.st_blksize = static_cast<blksize_t>(m_facts.clusterSize);
    facts.st_blocks = static_cast<blkcnt_t>((object.Size() + 511) / 512);
    facts.st_atim = TimespecOf(values.lastAccessTime);
    facts.st_mtim = TimespecOf(values.lastWriteTime);
    facts.st_ctim = facts.st_mtim;
    return 0;
}

int MountedVolume::GetAttributes(const char* path, OpenFile* file, struct stat& facts) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    Object object;
    if (const int found = Find(path, file, object); found != 0) return found;
    const int filled = FillFacts(object, facts);
    std::wstring wide;
    std::string target;
    // Only reparse points and system files can be links.
    if (filled == 0 && (object.Values().attributes & 0x404) && WidePath(path, wide) && LinkTargetOf(wide, target) == 0 &&
        !target.empty()) {
        facts.st_mode = S_IFLNK | 0777;
        facts.st_size = static_cast<off_t>(target.size());
    }
    return filled;
}

int MountedVolume::LinkTargetOf(const std::wstring& path, std::string& target) {
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

int MountedVolume::ReadLink(const char* path, std::string& target) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    if (const int result = LinkTargetOf(wide, target); result != 0) return result;
    return target.empty() ? -EINVAL : 0;
}

int MountedVolume::MakeSymlink(const char* target, const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
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
        Diagnostics::Quiet quiet;
        isDirectory = NtfsOpenDir(resolved.c_str(), directory, m_volume) && NtfsCloseDir(directory);
    }
    Diagnostics::Clear();
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

OpenFile* MountedVolume::Aliased(const std::wstring& key) const {
    if (m_aliases.empty()) return nullptr;
    auto found = m_aliases.find(key);
    return found == m_aliases.end() ? nullptr : found->second;
}

int MountedVolume::HideOpenFile(const char* path, const char* hiddenPath) {
    std::lock_guard<std::mutex> hold(m_lock);
    std::wstring wide, hidden;
    if (!WidePath(path, wide) || !WidePath(hiddenPath, hidden)) return -ENOENT;
    auto open = m_open.find(KeyOf(wide));
    if (open == m_open.end()) return -ENOSYS;
    OpenFile& file = *open->second;
    file.unlinked = true;
    file.alias = KeyOf(hidden);
    m_aliases[file.alias] = &file;
    m_hidden.emplace(open->first, std::move(open->second));
    m_open.erase(open);
    return 0;
}

namespace {

struct WalkContext {
    const MountedVolume::DirectoryVisitor* visit;
    const std::wstring* prefix;  // the directory's key and a backslash
    const std::map<std::wstring, std::unique_ptr<OpenFile>>* hidden;
    bool isRoot;
};

bool OnEntry(const NtfsDirEntry& entry, void* context) {
    const auto& walk = *static_cast<WalkContext*>(context);
    // DOS aliases repeat a long name; the root's own files stay out of sight
    // (they are still found by name).
    if (entry.nameSpace == kDosNameSpace) return true;
    if (walk.isRoot && (entry.fileReference & kRecordMask) < kFirstUserRecord) return true;
    const std::string name = WideToUtf8(entry.name);
    if (!walk.hidden->empty() && walk.hidden->count(*walk.prefix + FoldCase(name)) != 0) return true;
    struct stat facts {};
    facts.st_mode = entry.isDirectory ? S_IFDIR : S_IFREG;
    (*walk.visit)(name.c_str(), facts);
    return true;
}

}  // namespace

int MountedVolume::ReadDirectory(const char* path, const DirectoryVisitor& visit) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
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
    WalkContext walk{&visit, &key, &m_hidden, key == L"\\"};
    bool ok = NtfsEnumDir(directory, &OnEntry, &walk);
    ok = NtfsCloseDir(directory) && ok;
    return ok ? 0 : Failure();
}

int MountedVolume::MakeDirectory(const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -EINVAL;
    NtfsDirHandle directory;
    if (!NtfsCreateDir(wide.c_str(), directory, m_volume)) return Failure();
    NtfsAttributesAndTime values;
    bool ok = GetDirAttributesAndTime(values, directory);
    values.creationTime = values.lastWriteTime = values.lastAccessTime = Now();
    ok = ok && SetDirAttributesAndTime(values, directory);
    ok = NtfsCloseDir(directory) && ok;
    return ok ? 0 : Failure();
}

int MountedVolume::RemoveDirectory(const char* path) {
    std::unique_lock<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -ENOENT;
    if (!AwaitHiddenGone(hold, KeyOf(wide) + L"\\", true)) return -ENOTEMPTY;
    NtfsDirHandle directory;
    if (!NtfsOpenDir(wide.c_str(), directory, m_volume) || !DeleteOrClose(directory)) return Failure();
    return 0;
}

// The handle family cannot keep a deleted object readable, so a name that
// the kernel still holds open is only hidden here; the object goes when its
// last open is released.
int MountedVolume::Unlink(const char* path) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -ENOENT;
    const std::wstring key = KeyOf(wide);
    if (IsHidden(key) || Aliased(key)) return -ENOENT;
    if (auto open = m_open.find(key); open != m_open.end()) {
        open->second->unlinked = true;
        m_hidden.emplace(key, std::move(open->second));
        m_open.erase(open);
        return 0;
    }
    if (const int linked = UnlinkDirectoryLink(wide); linked <= 0) return linked;
    NtfsFileHandle file;
    if (!NtfsOpenFile(wide.c_str(), file, m_volume) || !DeleteOrClose(file)) return Failure();
    return 0;
}

// A link to a directory is an (empty) directory on the volume, which the
// kernel, seeing a link, unlinks. 1 when `path` is no such link.
int MountedVolume::UnlinkDirectoryLink(const std::wstring& path) {
    NtfsDirHandle directory;
    {
        Diagnostics::Quiet quiet;
        if (!NtfsOpenDir(path.c_str(), directory, m_volume)) return 1;
    }
    Diagnostics::Clear();
    NtfsAttributesAndTime values;
    if (!GetDirAttributesAndTime(values, directory) || !(values.attributes & 0x400)) {
        NtfsCloseDir(directory);
        return 1;
    }
    if (NtfsDeleteDir(directory)) return 0;
    NtfsCloseDir(directory);
    return Failure();
}

int MountedVolume::Create(const char* path, mode_t mode, OpenFile*& file) {
    std::unique_lock<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (m_facts.readOnly) return -EROFS;
    if (!WidePath(path, wide)) return -EINVAL;
    const std::wstring key = KeyOf(wide);
    // The unlinked object still holds the name until its last close.
    if (!AwaitHiddenGone(hold, key, false)) return -EBUSY;
    auto created = std::make_unique<OpenFile>();
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

int MountedVolume::Open(const char* path, bool truncate, OpenFile*& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    std::wstring wide;
    if (!WidePath(path, wide)) return -ENOENT;
    if (truncate && m_facts.readOnly) return -EROFS;
    const std::wstring key = KeyOf(wide);
    if (IsHidden(key)) return -ENOENT;
    OpenFile* found = Aliased(key);
    if (auto open = m_open.find(key); !found && open != m_open.end()) found = open->second.get();
    if (!found) {
        auto opened = std::make_unique<OpenFile>();
        if (!NtfsOpenFile(wide.c_str(), opened->handle, m_volume)) return Failure();
        opened->key = key;
        opened->path = wide;
        found = opened.get();
        m_open[key] = std::move(opened);
    }
    ++found->opens;
    file = found;
    if (!truncate) return 0;
    unsigned long long size = 0;
    if (!NtfsGetFileSize(size, found->handle)) return ReleaseAfterFailure(*found);
    if (size == 0) return 0;
    if (!SetFileSize(0, found->handle)) return ReleaseAfterFailure(*found);
    const int touched = Touch(found->handle);
    return touched == 0 ? 0 : ReleaseAfterFailure(*found);
}

// An open that fails after taking the file gives it back; the failure stands.
int MountedVolume::ReleaseAfterFailure(OpenFile& file) {
    const int failure = Failure();
    if (--file.opens == 0) {
        std::unique_ptr<OpenFile> owned = std::move(m_open.at(file.key));
        m_open.erase(file.key);
        NtfsCloseFile(owned->handle);
    }
    return failure;
}

int MountedVolume::Read(OpenFile& file, char* buffer, size_t size, off_t offset) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
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
int MountedVolume::Touch(NtfsFileHandle handle) {
    NtfsAttributesAndTime values;
    if (!GetFileAttributesAndTime(values, handle)) return Failure();
    values.lastWriteTime = Now();
    return SetFileAttributesAndTime(values, handle) ? 0 : Failure();
}

int MountedVolume::Write(OpenFile& file, const char* buffer, size_t size, off_t offset) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (offset < 0) return -EINVAL;
    if (size == 0) return 0;
    const auto start = static_cast<unsigned long long>(offset);
    unsigned long long fileSize = 0;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    // Writes stay inside the size: a write past the end grows the file first.
    if (start + size > fileSize && !SetFileSize(start + size, file.handle)) return Failure();
    if (!NtfsWriteFile(start, buffer, static_cast<unsigned int>(size), file.handle)) return Failure();
    const int touched = Touch(file.handle);
    return touched != 0 ? touched : static_cast<int>(size);
}

int MountedVolume::Truncate(const char* path, OpenFile* file, off_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (size < 0) return -EINVAL;
    Object object;
    if (const int found = Find(path, file, object); found != 0) return found;
    if (object.IsDirectory()) return -EISDIR;
    if (!SetFileSize(static_cast<unsigned long long>(size), object.File())) return Failure();
    if (const int touched = Touch(object.File()); touched != 0) return touched;
    return object.Close() ? 0 : Failure();
}

// The object a call names: the open file it came with, an open file under
// the hidden name libfuse gave it, or the object at the path.
int MountedVolume::Find(const char* path, OpenFile* file, Object& object) {
    std::wstring wide;
    if (!file) {
        if (!WidePath(path, wide) || IsHidden(KeyOf(wide))) return -ENOENT;
        file = Aliased(KeyOf(wide));
    }
    if (file ? !file->handle.ptr || !object.OpenFile(file->handle) : !object.Open(wide, m_volume)) return Failure();
    return 0;
}

// Only plain allocation: the engine allocates what a growth adds, so growing
// the file is the allocation; keeping the size or punching holes is not there.
int MountedVolume::Allocate(OpenFile& file, int mode, off_t offset, off_t length) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    if (mode != 0) return -EOPNOTSUPP;
    if (offset < 0 || length <= 0) return -EINVAL;
    unsigned long long fileSize = 0;
    if (!NtfsGetFileSize(fileSize, file.handle)) return Failure();
    const auto end = static_cast<unsigned long long>(offset) + static_cast<unsigned long long>(length);
    if (end > fileSize && !SetFileSize(end, file.handle)) return Failure();
    return 0;
}

// The handle family writes an object back when its last handle closes, and
// each open file holds exactly one: closing and opening it again is the write-back.
int MountedVolume::WriteBack(OpenFile& file) {
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

int MountedVolume::Sync(OpenFile& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return 0;
    if (const int written = WriteBack(file); written != 0) return written;
    return !m_facts.syncDevice || m_facts.syncDevice() ? 0 : -EIO;
}

// The kernel sends the last release of a file after close(2) has returned,
// so a program that unlinks an open file, closes it and makes the name again
// (or removes its directory) comes before the release that frees the name:
// such a call waits for it, a little. False when the name is still held.
bool MountedVolume::AwaitHiddenGone(std::unique_lock<std::mutex>& hold, const std::wstring& key, bool below) {
    auto gone = [&] {
        if (m_hidden.empty()) return true;
        if (!below) return m_hidden.count(key) == 0;
        auto next = m_hidden.lower_bound(key);
        return next == m_hidden.end() || next->first.compare(0, key.size(), key) != 0;
    };
    return m_released.wait_for(hold, std::chrono::seconds(2), gone);
}

int MountedVolume::Release(OpenFile& file) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (--file.opens > 0) return 0;
    auto& table = file.unlinked ? m_hidden : m_open;
    std::unique_ptr<OpenFile> owned = std::move(table.at(file.key));
    table.erase(file.key);
    if (!owned->alias.empty()) m_aliases.erase(owned->alias);
    if (!owned->handle.ptr) return 0;
    const bool ok = owned->unlinked ? DeleteOrClose(owned->handle) : NtfsCloseFile(owned->handle);
    if (owned->unlinked) m_released.notify_all();
    return ok ? 0 : Failure();
}

int MountedVolume::SetTimes(const char* path, OpenFile* file, const struct timespec times[2]) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    Object object;
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
int MountedVolume::SetMode(const char* path, OpenFile* file, mode_t mode) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    if (m_facts.readOnly) return -EROFS;
    Object object;
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
int MountedVolume::SetOwner(uid_t owner, gid_t group) {
    const bool same = (owner == static_cast<uid_t>(-1) || owner == m_facts.owner) &&
                      (group == static_cast<gid_t>(-1) || group == m_facts.group);
    return same ? 0 : -EPERM;
}

uint64_t MountedVolume::FreeClusters() {
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

int MountedVolume::FileSystemFacts(struct statvfs& facts) {
    std::lock_guard<std::mutex> hold(m_lock);
    Diagnostics::Clear();
    facts = {};
    facts.f_bsize = facts.f_frsize = m_facts.clusterSize;
    facts.f_blocks = m_facts.totalClusters;
    facts.f_bfree = facts.f_bavail = FreeClusters();
    facts.f_namemax = 255;
    if (m_facts.readOnly) facts.f_flag |= ST_RDONLY;
    return 0;
}

bool MountedVolume::Close() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_volume.ptr) return true;
    Diagnostics::Clear();
    bool ok = true;
    for (auto* table : {&m_open, &m_hidden}) {
        for (auto& [key, file] : *table)
            if (file->handle.ptr) ok = (file->unlinked ? DeleteOrClose(file->handle) : NtfsCloseFile(file->handle)) && ok;
        table->clear();
    }
    m_aliases.clear();
    return NtfsCloseVolume(m_volume) && ok;
}

}  // namespace volcore::tool
