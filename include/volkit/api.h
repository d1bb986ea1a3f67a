// Volkit handle family: open an NTFS volume over caller-supplied callbacks and
// work on its files and directories by UTF-16 path.
//
// Every function returns true on success and false on failure. The reason for a
// failure goes to the log callback installed with NtfsSetLogCallback (one line
// at level 3, "Error"); with no callback installed nothing else is reported.
//
// Handles are one-pointer values; a null pointer is the invalid or closed
// handle. A value is never handed out twice: a copy of a closed handle, or a
// file handle passed as a directory handle, fails with "Invalid ... handle".
// Close every file and directory handle before the volume handle. A volume and
// everything opened on it must be used by one thread at a time.
//
// Six calls carry no Ntfs prefix (IsValidHandle, SetFileSize and the
// Get/Set...AttributesAndTime pairs): programs link against those names, so
// they stay as they are; new calls take the prefix.
#ifndef VOLKIT_API_H
#define VOLKIT_API_H

#include <cstdint>

#ifndef VOLKIT_EXPORT
#  if defined(_WIN32)
#    if defined(VOLKIT_BUILDING_LIBRARY)
#      define VOLKIT_EXPORT __declspec(dllexport)
#    else
#      define VOLKIT_EXPORT __declspec(dllimport)
#    endif
#  else
#    define VOLKIT_EXPORT __attribute__((visibility("default")))
#  endif
#endif

namespace volkit::api {

// The caller's storage. Offsets and lengths are in bytes and are not aligned to
// sectors: the callbacks must accept any offset and length. Each returns true
// when the whole transfer succeeded. The callbacks and the context must stay
// valid until the volume is closed.
struct NtfsIoDevice {
    void* context = nullptr;
    bool (*read)(uint64_t offset, void* buffer, uint32_t length, void* context) = nullptr;
    bool (*write)(uint64_t offset, const void* buffer, uint32_t length, void* context) = nullptr;
    bool (*getSize)(uint64_t* size, void* context) = nullptr;
};
static_assert(sizeof(void*) != 8 || sizeof(NtfsIoDevice) == 32, "NtfsIoDevice is four pointers");

struct NtfsVolumeHandle { void* ptr = nullptr; };
struct NtfsFileHandle { void* ptr = nullptr; };
struct NtfsDirHandle { void* ptr = nullptr; };

// Log levels passed to the log callback.
enum NtfsLogLevel : int { NtfsLogDebug = 0, NtfsLogInfo = 1, NtfsLogWarning = 2, NtfsLogError = 3 };

// Installs the process-wide log callback of the handle family; a null callback
// removes it. The message is UTF-8 and valid only during the call. Do not change
// the callback while another thread uses the library.
VOLKIT_EXPORT void NtfsSetLogCallback(void (*callback)(int level, const char* message, void* context),
                                      void* context);

// How NtfsFormatVolume makes the new volume.
struct NtfsFormatOptions {
    bool quick = true;                  // false: every cluster is zeroed first
    uint32_t clusterSize = 0;           // a power of two from 512 to 2 MiB; 0 chooses it from the volume size
    const wchar_t* label = nullptr;     // zero-terminated, at most 128 UTF-16 units; null or empty for none
    uint64_t partitionStartSector = 0;  // where the volume starts on its disk, in 512-byte sectors (the boot
                                        // sector's hidden sectors; 0 is written when it does not fit 32 bits)
};

// Writes a fresh, empty NTFS volume over the whole device (the last 512 bytes
// hold the backup boot sector). Whatever the device held is lost, also when
// the format fails.
VOLKIT_EXPORT bool NtfsFormatVolume(const NtfsIoDevice& device, const NtfsFormatOptions& options);

// Opens the volume behind the device. On failure the handle is left untouched.
VOLKIT_EXPORT bool NtfsOpenVolume(const NtfsIoDevice& device, NtfsVolumeHandle& handle);

// Writes all pending changes and closes the volume; the handle becomes null,
// also when writing failed. While file or directory handles are still open on
// the volume the close is refused ("N file or directory handle(s) still
// open"): nothing changes and those handles keep working.
VOLKIT_EXPORT bool NtfsCloseVolume(NtfsVolumeHandle& handle);

// True when the pointer is not null (it does not tell whether the handle is open).
VOLKIT_EXPORT bool IsValidHandle(void* handle);

// Files and directories.
//
// Paths are zero-terminated, relative to the volume root, with components
// separated by backslashes; empty components are skipped, so "\\a\\b", "a\\b"
// and "a\\\\b\\" name the same object. There is no drive prefix and "." and ".."
// are ordinary names. Names compare without regard to case. Where wchar_t is 32
// bits each unit is one Unicode code point (surrogates are refused); where it
// is 16 bits (Windows) paths are UTF-16 and an unpaired surrogate is refused.
//
// A failed open or create leaves the output handle untouched. Close always ends
// the handle (it becomes null), like fclose, whether it works or not: do not
// close it again. A delete that works ends the handle too; a failed delete
// leaves the handle valid and the object open, to be closed as usual.
//
// All handles on one file or directory share one object: each sees every
// change made through the others, and its changes reach the volume when the
// last of them is closed (a directory when its last holder lets go of it: its
// handles, the volume's cache of recently used directories, or the volume's
// close). Once an object is deleted, every call through its other handles
// fails with "FS object N (name) is deleted", and their close works. A close
// that returns false could not write the object's changes: its Error line
// says which object lost them.
//
// Attributes and times as SetFileAttributesAndTime and SetDirAttributesAndTime
// store them. Times are NTFS time stamps (100-nanosecond intervals since
// 1601-01-01 UTC) stored unchanged. Of the attributes only read-only (0x1),
// hidden (0x2), system (0x4), archive (0x20), normal (0x80), temporary (0x100),
// offline (0x1000) and not-content-indexed (0x2000) are kept (mask 0x31A7).
struct NtfsAttributesAndTime {
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint32_t attributes = 0;
};

// Opens the existing file at `path`. Its type is not tested: a directory opens
// as a file without contents, which cannot be resized or deleted.
VOLKIT_EXPORT bool NtfsOpenFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume);
// Creates an empty file at `path`; its parent directory must exist and must not
// hold the name already (in any case).
VOLKIT_EXPORT bool NtfsCreateFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume);
// Reads or writes `length` bytes at `offset`. The range must lie inside the
// current file size and `length` must not be 0: call SetFileSize first to append.
VOLKIT_EXPORT bool NtfsReadFile(unsigned long long offset, void* buffer, unsigned int length, NtfsFileHandle handle);
VOLKIT_EXPORT bool NtfsWriteFile(unsigned long long offset, const void* buffer, unsigned int length,
                                 NtfsFileHandle handle);
// Grows (new bytes read as zeros) or shrinks the file.
VOLKIT_EXPORT bool SetFileSize(unsigned long long size, NtfsFileHandle handle);
// Makes the file sparse, as FSCTL_SET_SPARSE does on Windows: a growth then
// adds a hole, which reads as zeros and takes no clusters, and a write takes
// clusters only for the clusters it touches. Attribute 0x200 says so from then
// on. Contents kept in the record move out of it; a compressed file is left as
// it is (its growth is a hole already). Refused like SetFileSize.
VOLKIT_EXPORT bool NtfsSetFileSparse(NtfsFileHandle handle);
// Makes `length` bytes at `offset` (inside the current size, `length` not 0)
// read as zeros, as FSCTL_SET_ZERO_DATA does: in a sparse file the clusters
// wholly inside the range are given up and become a hole, and only the parts
// of clusters at its ends are written; in any other file zeros are written.
VOLKIT_EXPORT bool NtfsZeroFileRange(unsigned long long offset, unsigned long long length, NtfsFileHandle handle);
// Refused for the file system's own files, as their data is ("Cannot change
// system entry N"); the root directory can be stamped.
VOLKIT_EXPORT bool SetFileAttributesAndTime(const NtfsAttributesAndTime& values, NtfsFileHandle handle);
// Removes the file's names and frees its record and clusters; ends the handle
// when it works (a failed delete keeps it). Refuses directories and the file system's own files (records below 24 and
// everything under $Extend): "Cannot delete system entry N".
VOLKIT_EXPORT bool NtfsDeleteFile(NtfsFileHandle& handle);
// Ends the handle; the last handle on the file writes its pending changes.
VOLKIT_EXPORT bool NtfsCloseFile(NtfsFileHandle& handle);

// Names: renames and hard links on the same volume.
//
// A file with several names (hard links) is known to its handles by the name
// it was opened, created or last moved by; that is the name NtfsMoveFile moves
// and NtfsDeleteFile removes (the file itself goes with its last name). The
// handles stay valid across a move and see the new name. A move changes the
// object's $FILE_NAME and both directories' indexes; a DOS 8.3 alias of the
// old name is dropped. Adding the new name comes before removing the old one,
// so a failure part-way leaves the object with both names, never with none.
// System entries and $Extend are refused ("Cannot change system entry N").

// Moves or renames the file to `newPath` (same name rules as NtfsCreateFile;
// a rename that changes only the letter case is allowed). An existing file at
// `newPath` is replaced when `replaceExisting` is set ("Entry %1 is already
// exist" otherwise); a directory there never is.
VOLKIT_EXPORT bool NtfsMoveFile(const wchar_t* newPath, bool replaceExisting, NtfsFileHandle handle);
// Adds `newPath` as a further name of the file (never of a directory), up to
// 1024 names per file.
VOLKIT_EXPORT bool NtfsCreateHardLink(const wchar_t* newPath, NtfsFileHandle handle);
// The number of the file's names, a DOS 8.3 alias not counted (a directory
// opened as a file has 1).
VOLKIT_EXPORT bool NtfsGetLinkCount(unsigned int& count, NtfsFileHandle handle);

// Opens the existing directory at `path`; an empty path (or only backslashes)
// is the root.
VOLKIT_EXPORT bool NtfsOpenDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume);
// Creates an empty directory at `path`, like NtfsCreateFile.
VOLKIT_EXPORT bool NtfsCreateDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume);
VOLKIT_EXPORT bool SetDirAttributesAndTime(const NtfsAttributesAndTime& values, NtfsDirHandle handle);
// Deletes an empty directory (never the root or another system directory);
// ends the handle when it works, like NtfsDeleteFile.
VOLKIT_EXPORT bool NtfsDeleteDir(NtfsDirHandle& handle);
VOLKIT_EXPORT bool NtfsCloseDir(NtfsDirHandle& handle);
// Moves or renames the directory with everything in it, as NtfsMoveFile does
// a file. Moving it into itself or below is refused; with `replaceExisting`
// an empty directory at `newPath` is replaced, never a file or a directory
// that holds anything.
VOLKIT_EXPORT bool NtfsMoveDir(const wchar_t* newPath, bool replaceExisting, NtfsDirHandle handle);

// What is there. These read; they change nothing.

// The file's current data size in bytes.
VOLKIT_EXPORT bool NtfsGetFileSize(unsigned long long& size, NtfsFileHandle handle);
// The bytes the file's contents take on the volume: their clusters, less the
// holes of a sparse file and what compression saved; 0 while they are kept in
// the record.
VOLKIT_EXPORT bool NtfsGetFileAllocatedSize(unsigned long long& size, NtfsFileHandle handle);
// The first bytes at or past `offset` that hold data, as
// FSCTL_QUERY_ALLOCATED_RANGES finds them: `length` bytes from `start`, up to
// the next hole or the end of the file. Holes are the clusters a sparse file
// does not have and the compression units of a compressed file that take
// none; any other file is data throughout. With no data at or past `offset`,
// `start` is the file size and `length` 0.
VOLKIT_EXPORT bool NtfsGetFileDataRange(unsigned long long offset, unsigned long long& start,
                                        unsigned long long& length, NtfsFileHandle handle);
// The four fields that Set...AttributesAndTime store, as the object's
// $STANDARD_INFORMATION holds them now (attributes unmasked: a directory
// carries 0x10000000).
VOLKIT_EXPORT bool GetFileAttributesAndTime(NtfsAttributesAndTime& values, NtfsFileHandle handle);
VOLKIT_EXPORT bool GetDirAttributesAndTime(NtfsAttributesAndTime& values, NtfsDirHandle handle);

// One entry of a directory index as NtfsEnumDir hands it over. The times,
// attributes and sizes are the index entry's copies of the object's
// $FILE_NAME; they are brought up to date when the object is closed.
struct NtfsDirEntry {
    const wchar_t* name = nullptr;  // as stored, zero-terminated; valid during the callback only
    uint64_t fileReference = 0;     // bits 0-47 the MFT record number, 48-63 its sequence number
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint64_t mftChangeTime = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint32_t attributes = 0;
    uint8_t nameSpace = 0;     // 0 POSIX, 1 Win32, 2 DOS (an 8.3 alias of another entry), 3 Win32 and DOS
    bool isDirectory = false;  // attributes carry 0x10000000 (the object has a file-name index)
};

// Calls `callback` once per entry of the directory's index, in index order (the
// root lists its own "." entry). A callback returning false ends the walk and
// the call still returns true. The callback may change the directory or close
// its handle: the walk goes on with the name after the one it reported last.
VOLKIT_EXPORT bool NtfsEnumDir(NtfsDirHandle handle, bool (*callback)(const NtfsDirEntry& entry, void* context),
                               void* context);

// One named stream (alternate data stream) of a file as NtfsEnumStreams hands
// it over. A path names a stream as "dir\\file:name" (also "file:name:$DATA";
// "file::$DATA" is the file's own data): NtfsOpenFile and NtfsCreateFile open
// and create it, creating a stream of a missing file creates the file first,
// and NtfsDeleteFile on a stream's handle removes that stream only. Deleting
// the file removes its streams.
struct NtfsStreamEntry {
    const wchar_t* name = nullptr;  // as stored, zero-terminated; valid during the callback only
    uint64_t dataSize = 0;
    uint64_t allocatedSize = 0;
};

// Calls `callback` once per named stream of the file (a handle on one of its
// streams lists the same), in record order; the unnamed data is not listed.
// A callback returning false ends the walk and the call still returns true.
VOLKIT_EXPORT bool NtfsEnumStreams(NtfsFileHandle handle,
                                   bool (*callback)(const NtfsStreamEntry& entry, void* context), void* context);

// Symbolic links and junctions. A link is opened, listed, moved and deleted
// as the object it is (a file, or a directory for a directory link or a
// junction); nothing here follows it. Directory entries of links carry the
// reparse-point attribute (0x400); an Interix link (the form libntfs-3g writes
// by default) is a file with the system attribute (0x4).
enum NtfsLinkKind : uint32_t { NtfsNotALink = 0, NtfsSymbolicLink = 1, NtfsJunction = 2, NtfsInterixLink = 3 };

struct NtfsLinkTarget {
    const wchar_t* target = nullptr;     // the name the system follows, as stored: "\\??\\C:\\dir", "..\\a"
                                         // (an Interix link's "../a"); valid during the callback only
    const wchar_t* printName = nullptr;  // as Windows shows it: "C:\\dir", "..\\a"; the target when the link has none
    uint32_t kind = NtfsNotALink;
    uint32_t reparseTag = 0;  // 0xA000000C symbolic link, 0xA0000003 junction, 0 Interix
    bool relative = false;    // the target is relative to the link's directory
};

// Calls `callback` once with the target when the object behind the handle
// (a file, or a directory opened as a file) is a link; for any other object
// the call returns true without calling it.
VOLKIT_EXPORT bool NtfsReadLinkTarget(NtfsFileHandle handle, void (*callback)(const NtfsLinkTarget& link, void* context),
                                      void* context);
// Creates `path` as a symbolic link to `target`, a file or, with `directory`,
// a directory (same name rules as NtfsCreateFile). Slashes in the target
// become backslashes; "C:\\..." and "\\\\server\\share..." are absolute, anything
// else is relative to the link's directory (and flagged so). The link is
// entered in the volume's list of reparse points ($Extend\\$Reparse); a link
// that cannot be completed is removed again.
VOLKIT_EXPORT bool NtfsCreateSymlink(const wchar_t* path, const wchar_t* target, bool directory,
                                     NtfsVolumeHandle volume);

}  // namespace volkit::api

#endif
