// Volkit filesystem family: mount an NTFS volume that lives behind three
// caller-supplied callbacks (served by libntfs-3g), work on its files and
// directories by UTF-8 path, and format a fresh volume.
//
// Every function returns true on success and false on failure. The reason for
// a failure goes, as one or more lines of type `error`, to the callback set
// with logging::initialize; with no callback set nothing is reported.
// No exception ever leaves these functions.
//
// Device failures: a call during which any read or write callback failed
// returns false, even where libntfs-3g carried on without it, with a line such
// as "failed to write 4096 bytes at offset 8192: I/O error". After a failed
// write libntfs-3g's picture of the volume may no longer match the disk, so
// the rest of the session changes nothing ("volume is read-only after a
// failed write"): reading goes on, and closing files and the volume still
// writes back what they hold, so that nothing already accepted is lost.
//
// Dirty flag: the first change of a session sets the volume's dirty flag, and
// filesystem::close clears it only when nothing failed during the session, so
// a crash or a device failure leaves the volume marked for a consistency
// check (volkit check, chkdsk). A volume that was already dirty stays dirty.
// A session that only reads writes nothing.
//
// Paths are NUL-terminated UTF-8, relative to the volume root. Backslashes and
// forward slashes both separate elements; lookups ignore letter case.
//
// Handles are one-pointer records; a null pointer is the invalid handle. A
// handle that was closed (or whose volume was closed) is refused like a null
// one, never followed into freed memory. Closing the volume closes whatever
// is still open on it first, writing its changes. A volume and everything
// opened on it must be used by one thread at a time.
//
// Names given to new files and directories must be usable by every reader:
// not "." or "..", no control characters and none of " * / : < > ? \ |, no
// unpaired surrogate, at most 255 UTF-16 units, and well-formed UTF-8
// ("failed to convert path" otherwise; encoded surrogates are not UTF-8).
// Existing names are found, listed and removed whatever they hold.
//
// The volume's own files (MFT records below 24, and everything under
// $Extend) can be opened and read but not changed ("cannot change a system
// file") or removed ("cannot remove a system file").
#ifndef VOLKIT_FILESYSTEM_H
#define VOLKIT_FILESYSTEM_H

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

namespace volkit {

class VOLKIT_EXPORT filesystem {
public:
    // The caller's storage. Each callback gets exactly the offset and byte
    // count that the NTFS layer asks for (no splitting or alignment) and
    // returns true when the whole transfer succeeded. The record is copied;
    // the callbacks and the context must stay valid until the volume is
    // closed (or the format call returns).
    struct device {
        void* context = nullptr;
        bool (*read)(uint64_t offset, void* buffer, uint64_t count, void* context) = nullptr;
        bool (*write)(uint64_t offset, const void* buffer, uint64_t count, void* context) = nullptr;
        bool (*getSize)(uint64_t* size, void* context) = nullptr;
    };

    // A mounted volume; every copy refers to the same volume.
    struct handle {
        void* ptr = nullptr;
    };

    // Mounts the volume behind `dev`. On failure `volume` is left unchanged.
    // Volumes older than NTFS 3.0 are refused ("unsupported NTFS version")
    // without a byte written.
    static bool open(handle& volume, device& dev);

    // Closes the files still open on the volume (writing their changes) and
    // dismounts it. The handle is invalid afterwards, even when this returns
    // false, except from inside a directory::fetch callback on the volume:
    // there it fails with "volume is in use" and changes nothing. Fails with
    // "failed to write volume: I/O error" when any write of the session
    // failed, the volume then left marked dirty.
    static bool close(handle volume);

    // Writes a fresh, empty NTFS volume onto `dev`. `clusterSize` 0 chooses
    // the cluster size from the volume size.
    static bool format(bool quick, unsigned int clusterSize, device& dev);

    // What a mounted volume says about itself.
    struct volumeInfo {
        char label[512] = {};  // UTF-8, NUL-terminated; empty when the volume has none
        uint8_t majorVersion = 0;  // NTFS version, 3.1 for current volumes
        uint8_t minorVersion = 0;
        uint32_t clusterSize = 0;  // bytes
        uint64_t totalClusters = 0;
        uint64_t freeClusters = 0;
    };

    // Fills `result` for the mounted volume; fails only for a zero handle.
    static bool getInfo(handle volume, volumeInfo& result);
};

class VOLKIT_EXPORT file {
public:
    // An open file or directory.
    struct handle {
        void* ptr = nullptr;
    };

    // NTFS file attribute flags (read-only 0x1, hidden 0x2, system 0x4,
    // directory 0x10, archive 0x20, ...) and NTFS times (100-nanosecond
    // intervals since 1601-01-01 UTC).
    struct attributes {
        uint32_t fileAttributes = 0;
        uint64_t creationTime = 0;
        uint64_t lastAccessTime = 0;
        uint64_t lastWriteTime = 0;
        uint64_t size = 0;  // length of the unnamed data stream
    };

    // Opens an existing file or directory. Handles on one object share it,
    // and so do the path-based calls below: each sees every change, and the
    // last close writes it back.
    //
    // Named streams (alternate data streams): open, create and remove take
    // "dir/file:name" (also "file:name:$DATA"; "file::$DATA" is the file's
    // own data) for the stream `name` of the file, found with letter case
    // ignored. A handle on a stream reads, writes and sizes that stream;
    // flags and times are the file's. Creating a stream of a missing file
    // creates the file first; a new stream's name follows the rules of new
    // names. Removing a stream leaves the file (its handles then fail with
    // "stream has been removed"); removing the file removes its streams. A
    // last element that is the whole name of an existing object (other
    // systems allow ':' in names) names that object, never a stream.
    static bool open(handle& result, const char* path, filesystem::handle volume);
    // Creates a new, empty file; fails when the path already exists.
    static bool create(handle& result, const char* path, filesystem::handle volume);
    // Deletes the file (or empty directory) the path names. Handles still
    // open on it then fail with "file has been removed"; closing them works.
    static bool remove(const char* path, filesystem::handle volume);
    // Moves or renames the file at `from` to `to` on the same volume (both
    // split like create's and remove's paths). An existing file at `to` is
    // replaced when `replaceExisting` is set ("already exists" otherwise),
    // never a directory ("is a directory"). A change of letter case alone is
    // a rename too. The new name is added before the old one goes: a failure
    // part-way leaves the file with both. Handles on the file stay valid.
    static bool rename(const char* from, const char* to, bool replaceExisting, filesystem::handle volume);
    // Adds `newPath` as a further name (hard link) of the file at `existing`;
    // never of a directory ("cannot link a directory"), and at most 1024
    // names per file ("too many links"). Removing one name leaves the others;
    // the file goes with its last name.
    static bool link(const char* existing, const char* newPath, filesystem::handle volume);
    // The number of the file's names, DOS 8.3 aliases not counted.
    static bool getLinkCount(handle h, uint32_t& count);

    // Releases the handle; the last one on an object writes its pending
    // changes (flags, times, sizes). When that write fails the result is
    // false and the handle stays valid for another try.
    static bool close(handle h);

    // Reads exactly `count` bytes at `offset`; reading past the end fails.
    static bool read(handle h, uint64_t offset, void* buffer, uint32_t count);
    // Writes exactly `count` bytes at `offset`, extending the data if needed.
    static bool write(handle h, uint64_t offset, const void* buffer, uint32_t count);
    // Grows (with zeros, allocated) or shrinks the data.
    static bool setSize(handle h, uint64_t size);
    static bool getSize(handle h, uint64_t& size);

    static bool getAttributes(handle h, attributes& result);
    // Takes read-only, hidden, archive and not-content-indexed from
    // `fileAttributes` (every other flag is kept) and the three times;
    // `size` is ignored. Written to disk at close.
    static bool setAttributes(handle h, const attributes& value);

    // Replaces the parts of the object's security descriptor that `selection`
    // names (owner 0x1, group 0x2, DACL 0x4, SACL 0x8) with those of the
    // self-relative `descriptor`. The descriptor is checked before use
    // (revision 1, self-relative, every SID, ACL and ACE inside it; "invalid
    // security descriptor" otherwise). No length is passed, so at most 64 KiB
    // from `descriptor` are read, and only as far as its own offsets and
    // lengths lead; one reaching further fails with "security descriptor is
    // too large".
    static bool setFileSecurity(const char* path, uint32_t selection, const void* descriptor,
                                filesystem::handle volume);
    // Sets or replaces the object's reparse point with a complete reparse
    // buffer of `size` bytes. A system-compressed (WOF) file's is refused:
    // it says how the file's data is compressed.
    static bool setReparseData(const char* path, const void* data, uint32_t size,
                               filesystem::handle volume);

    // One named stream of a file, valid only during the callback.
    struct streamEntry {
        char16_t name[256] = {};  // as stored, NUL-terminated
        uint64_t size = 0;
        uint64_t allocatedSize = 0;
    };
    // Calls `callback` once per named stream of the object at `path` (a path
    // naming one of its streams lists the same), in record order; the
    // unnamed data is not listed. Sizes are current for
    // streams open through this volume. Returning false from the callback
    // stops the listing, and fetchStreams then returns false. The callback
    // may use the family, even on this object.
    static bool fetchStreams(const char* path, filesystem::handle volume,
                             bool (*callback)(const streamEntry& entry, void* context), void* context);
};

class VOLKIT_EXPORT directory {
public:
    // One entry of a directory index, valid only during the callback.
    struct dirEntry {
        uint32_t fileAttributes = 0;
        uint64_t creationTime = 0;
        uint64_t lastAccessTime = 0;
        uint64_t lastWriteTime = 0;
        uint64_t size = 0;        // the directory's copy (see fetch); 0 for directories
        char16_t name[260] = {};  // as stored, NUL-terminated
        uint8_t nameSpace = 0;    // 0 POSIX, 1 Win32, 2 DOS (an 8.3 alias of another entry), 3 Win32 and DOS
    };

    static bool create(const char* path, filesystem::handle volume);
    // Deletes the directory; fails when it is not empty.
    static bool remove(const char* path, filesystem::handle volume);
    // Moves or renames the directory with everything in it, like
    // file::rename; moving it into itself or below is refused ("cannot move
    // a directory into itself"), and with `replaceExisting` only an empty
    // directory at `to` is replaced.
    static bool rename(const char* from, const char* to, bool replaceExisting, filesystem::handle volume);

    // Calls `callback` once per index entry, in index order ("." and ".."
    // excluded; a DOS 8.3 name stored separately is an entry of its own).
    // Returning false from the callback stops the walk, and fetch then
    // returns false. Flags, times and size are the directory's copies,
    // except for objects open through this volume, which report their
    // current values. Windows updates those copies lazily, and those of the
    // volume's own files are as old as the volume: open the object for exact
    // figures. The callback may use the family, even change the directory
    // being listed; entries that such a change moves within the index can
    // then be missed.
    static bool fetch(const char* path, filesystem::handle volume,
                      bool (*callback)(const dirEntry& entry, void* context), void* context);
};

class VOLKIT_EXPORT logging {
public:
    enum messageType : int {
        info = 0,     // progress notes
        warning = 1,  // reserved; not sent
        error = 2,    // failures
    };

    // Sets the callback that receives the family's messages (replacing any
    // earlier one). The text is valid only during the call. Also silences
    // libntfs-3g's own diagnostics for good.
    static void initialize(void (*callback)(messageType type, const char* text));
    // Removes the callback.
    static void deinitialize();
};

}  // namespace volkit

#endif
