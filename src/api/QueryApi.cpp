// Exported queries of the handle family: what an open file or directory holds.
#include <array>
#include <cstring>
#include <optional>

#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "base/Unicode.h"
#include "objects/File.h"
#include "objects/Directory.h"
#include "volkit/api.h"

using namespace volcore;

namespace {

constexpr const char* kInvalidFile = "Invalid file handle";
constexpr const char* kInvalidDirectory = "Invalid directory handle";
constexpr uint32_t kHasFileNameIndex = 0x10000000;

template <typename T>
T LittleEndianAt(const StandardInformation& value, size_t offset) {
    T result = 0;
    for (size_t i = sizeof(T); i-- > 0;) result = static_cast<T>(result << 8 | value[offset + i]);
    return result;
}

// The four fields of $STANDARD_INFORMATION the setters take, read back.
volkit::api::NtfsAttributesAndTime FromStandardInformation(const StandardInformation& value) {
    volkit::api::NtfsAttributesAndTime result;
    result.creationTime = LittleEndianAt<uint64_t>(value, 0);
    result.lastWriteTime = LittleEndianAt<uint64_t>(value, 8);
    result.lastAccessTime = LittleEndianAt<uint64_t>(value, 24);
    result.attributes = LittleEndianAt<uint32_t>(value, 32);
    return result;
}

volkit::api::NtfsDirEntry ToDirEntry(const wchar_t* name, const SIndexEntryValue& value) {
    volkit::api::NtfsDirEntry entry;
    entry.name = name;
    entry.fileReference = value.fileReference;
    entry.creationTime = value.creationTime;
    entry.lastWriteTime = value.modificationTime;
    entry.mftChangeTime = value.mftChangeTime;
    entry.lastAccessTime = value.accessTime;
    entry.allocatedSize = value.allocatedSize;
    entry.dataSize = value.dataSize;
    entry.attributes = value.fileAttributes;
    entry.nameSpace = value.nameSpace;
    entry.isDirectory = (value.fileAttributes & kHasFileNameIndex) != 0;
    return entry;
}

struct SWalkHandle {
    void* value;
    ~SWalkHandle() { RemoveHandle(value, EHandleKind::Directory); }
};

}  // namespace

namespace volkit::api {

bool NtfsGetFileSize(unsigned long long& size, NtfsFileHandle handle) {
    return RunExported([&] { size = UsableObject<CFile>(handle.ptr, kInvalidFile)->GetSize(); },
                       "Failed to get size of NTFS file: %1");
}

bool NtfsGetFileAllocatedSize(unsigned long long& size, NtfsFileHandle handle) {
    return RunExported([&] { size = UsableObject<CFile>(handle.ptr, kInvalidFile)->GetSizeOnDisk(); },
                       "Failed to get allocated size of NTFS file: %1");
}

bool NtfsGetFileDataRange(unsigned long long offset, unsigned long long& start, unsigned long long& length,
                          NtfsFileHandle handle) {
    return RunExported(
        [&] {
            const auto [from, to] = UsableObject<CFile>(handle.ptr, kInvalidFile)->DataRangeFrom(offset);
            start = from;
            length = to - from;
        },
        "Failed to get data range of NTFS file: %1");
}

bool GetFileAttributesAndTime(NtfsAttributesAndTime& values, NtfsFileHandle handle) {
    return RunExported(
        [&] {
            values = FromStandardInformation(UsableObject<CFile>(handle.ptr, kInvalidFile)->GetAttributesAndTime());
        },
        "Failed to read attributes and file times of a NTFS file: %1");
}

bool GetDirAttributesAndTime(NtfsAttributesAndTime& values, NtfsDirHandle handle) {
    return RunExported(
        [&] {
            values = FromStandardInformation(
                UsableObject<CDirectory>(handle.ptr, kInvalidDirectory)->GetAttributesAndTime());
        },
        "Failed to read attributes and file times of a NTFS directory: %1");
}

bool NtfsEnumDir(NtfsDirHandle handle, bool (*callback)(const NtfsDirEntry& entry, void* context), void* context) {
    return RunExported(
        [&] {
            // Held for the whole walk: the callback may close the handle.
            std::shared_ptr<CDirectory> directory = UsableObject<CDirectory>(handle.ptr, kInvalidDirectory);
            if (callback == nullptr) throw CException(EErrorKind::Argument, "No callback");
            // The walk counts as a handle of its own, so that the callback
            // cannot close the volume under it.
            SWalkHandle walk{AddHandle(handle.ptr, EHandleKind::Directory, directory)};
            // One buffer for every name of the walk: an entry holds at most
            // 255 units (its length is one byte), none widens into more, and
            // the widening writes up to 8 units at a time.
            std::array<wchar_t, IndexEntry::LongestNameUnits + 8> wideName;
            directory->ForEachEntry([&](const CIndexNode& node, size_t index) {
                LittleEndianUtf16ToWide(node.NameOnwards(index), node.NameUnits(index), wideName.data());
                return callback(ToDirEntry(wideName.data(), node.Value(index)), context);
            });
        },
        "Failed to enumerate NTFS directory: %1");
}

bool NtfsEnumStreams(NtfsFileHandle handle, bool (*callback)(const NtfsStreamEntry& entry, void* context),
                     void* context) {
    return RunExported(
        [&] {
            std::shared_ptr<CFile> file = UsableObject<CFile>(handle.ptr, kInvalidFile);
            if (callback == nullptr) throw CException(EErrorKind::Argument, "No callback");
            // Taken whole first: the callback may change the file or close its handle.
            std::vector<SStreamInfo> streams = file->ListStreams();
            std::wstring wideName;
            for (const SStreamInfo& stream : streams) {
                Utf16ToWide(stream.name, wideName);
                NtfsStreamEntry entry;
                entry.name = wideName.c_str();
                entry.dataSize = stream.size;
                entry.allocatedSize = stream.allocatedSize;
                if (!callback(entry, context)) break;
            }
        },
        "Failed to enumerate streams of NTFS file: %1");
}

}  // namespace volkit::api
