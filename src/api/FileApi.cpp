// Exported file functions of the handle family.
#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "api/StampApi.h"
#include "entries/File.h"
#include "volkit/api.h"
#include "volume/Volume.h"

using namespace volcore;

namespace {

constexpr const char* kInvalidFile = "Invalid file handle";

CFile& FileOf(volkit::api::NtfsFileHandle handle) { return HandleObject<CFile>(handle.ptr, kInvalidFile); }

}  // namespace

namespace volkit::api {

bool NtfsOpenFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume) {
    return OpenHandleRecord<CFile>(path, handle.ptr, volume.ptr, "Failed to open NTFS file '%1': %2",
                                CFile::OpenByPath);
}

bool NtfsCreateFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume) {
    return OpenHandleRecord<CFile>(path, handle.ptr, volume.ptr, "Failed to create NTFS file '%1': %2",
                                CFile::CreateByPath);
}

bool NtfsReadFile(unsigned long long offset, void* buffer, unsigned int length, NtfsFileHandle handle) {
    return RunExported([&] { FileOf(handle).Read(offset, buffer, length); },
                       "Failed to read from NTFS file (offset %1, length %2): %3", offset, length);
}

bool NtfsWriteFile(unsigned long long offset, const void* buffer, unsigned int length, NtfsFileHandle handle) {
    return RunExported([&] { FileOf(handle).Write(offset, buffer, length); },
                       "Failed to write to NTFS file (offset %1, length %2): %3", offset, length);
}

bool SetFileSize(unsigned long long size, NtfsFileHandle handle) {
    return RunExported([&] { FileOf(handle).SetSize(size); }, "Failed to resize NTFS file (new size %1): %2", size);
}

bool SetFileAttributesAndTime(const NtfsAttributesAndTime& values, NtfsFileHandle handle) {
    return RunExported([&] { StampObject(FileOf(handle), values, 0); },
                       "Failed to change attributes and file times of a NTFS file: %1");
}

bool NtfsDeleteFile(NtfsFileHandle& handle) {
    return RunExported(
        [&] {
            CFile& file = FileOf(handle);
            file.Delete();
            // A directory opened as a file leaves no stale directory object behind.
            file.GetVolume().ForgetDirectory(file.GetReference());
            FreeHandleRecord<CFile>(handle.ptr);
        },
        "Failed to delete NTFS file: '%1'");
}

bool NtfsCloseFile(NtfsFileHandle& handle) {
    return RunExported(
        [&] {
            CloseHandleRecord<CFile>(
                handle.ptr, kInvalidFile, [](CFile& file) { file.Flush(); }, [](CFile&) {});
        },
        "Failed to close NTFS file: '%1'");
}

}  // namespace volkit::api
