#pragma once
// What the commands need from a volume, served by either family: the handle
// family (native) or the filesystem family (ntfs3g). Every call returns false
// on failure; the library's reason is then in CDiagnostics::LastFailure().
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VolumePath.h"

namespace volcore::tool {

constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeIndexed = 0x10000000;  // the object has a file-name index

struct SEntryInfo {
    std::string name;  // UTF-8, as stored
    bool isDirectory = false;
    uint32_t attributes = 0;
    uint64_t size = 0;
    uint64_t creationTime = 0;  // NTFS time stamps; 0 when the engine cannot tell
    uint64_t lastWriteTime = 0;
    uint64_t lastAccessTime = 0;
    uint32_t links = 0;   // the object's names (hard links); 0 when the engine cannot tell
    uint64_t fileId = 0;  // the MFT record number, from a listing; 0 when the engine cannot tell
    // Bytes the data takes on the volume (less the holes of compressed and
    // sparse files), from the directory's copy; only where the engine can tell.
    std::optional<uint64_t> allocatedSize;
    std::string linkTarget;  // a symbolic link's or junction's target as Windows shows it, from Stat; else empty
};

// What a symbolic link or junction points to; an empty target for any other object.
struct SLinkInfo {
    std::string target;  // UTF-8 as shown ("C:\\dir", "..\\a"; an Interix link's "../a")
    bool relative = false;
    bool junction = false;
};

class IFileStream {
public:
    virtual ~IFileStream() = default;
    virtual bool Size(uint64_t& size) = 0;
    virtual bool Read(uint64_t offset, void* buffer, uint32_t length) = 0;
    // Writes inside the current size; SetSize first.
    virtual bool Write(uint64_t offset, const void* buffer, uint32_t length) = 0;
    virtual bool SetSize(uint64_t size) = 0;
    // Holes: the first data at or past `offset` of the file's `size` bytes,
    // `length` bytes from `start` (start = size, length 0 when only holes
    // follow). An engine that cannot tell calls it all data.
    virtual bool NextData(uint64_t offset, uint64_t size, uint64_t& start, uint64_t& length) {
        start = offset;
        length = size - offset;
        return true;
    }
    // Makes the file sparse, so that a growth is a hole; false where the engine cannot.
    virtual bool MakeSparse() { return false; }
    // Writes pending changes. A stream destroyed unclosed is closed quietly.
    virtual bool Close() = 0;
};

class IEngine {
public:
    virtual ~IEngine() = default;
    virtual const char* Name() const = 0;

    virtual bool Stat(const CVolumePath& path, SEntryInfo& info) = 0;
    // Entries in the directory's index order.
    virtual bool List(const CVolumePath& directory, const std::function<void(const SEntryInfo&)>& visit) = 0;
    virtual bool OpenFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) = 0;
    virtual bool CreateFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) = 0;
    virtual bool MakeDirectory(const CVolumePath& path) = 0;
    virtual bool Remove(const CVolumePath& path, bool isDirectory) = 0;
    // Moves or renames; `replace` lets a file (for a directory, an empty
    // directory) at `to` be replaced.
    virtual bool Rename(const CVolumePath& from, const CVolumePath& to, bool isDirectory, bool replace) = 0;
    // Adds `link` as a further name of the file `target`.
    virtual bool Link(const CVolumePath& target, const CVolumePath& link) = 0;
    // Takes read-only, hidden, system and archive from `wanted.attributes`
    // and the three times.
    virtual bool SetAttributesAndTimes(const CVolumePath& path, bool isDirectory, const SEntryInfo& wanted) = 0;
    // The named streams of the file at `path` with their sizes, in record
    // order. An engine that cannot reach streams lists none.
    struct SStreamInfo {
        std::string name;  // UTF-8, as stored
        uint64_t size = 0;
    };
    virtual bool ListStreams(const CVolumePath& path, const std::function<void(const SStreamInfo&)>& visit) {
        (void)path, (void)visit;
        return true;
    }
    // What the link at `path` points to. An engine that cannot read links
    // sees none.
    virtual bool ReadLink(const CVolumePath& path, SLinkInfo& link) {
        (void)path;
        link = {};
        return true;
    }
    // Makes `path` a symbolic link to `target` (a directory link when
    // `directory`); an engine that cannot make one says so and fails.
    virtual bool MakeSymlink(const CVolumePath& path, const std::string& target, bool directory);
    // Which attribute flags SetAttributesAndTimes can change.
    virtual uint32_t ChangeableAttributes() const = 0;
    // Writes everything and releases the volume.
    virtual bool Close() = 0;
};

}  // namespace volcore::tool
