// Exported directory functions of the handle family.
#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "api/StampApi.h"
#include "index/Directory.h"
#include "volkit/api.h"
#include "volume/Volume.h"

using namespace volcore;

namespace {

using DirRecord = SHandleRecord<CDirectory>;
constexpr const char* kInvalidVolume = "Invalid volume handle";
constexpr const char* kInvalidDirectory = "Invalid directory handle";

CDirectory& DirectoryOf(volkit::api::NtfsDirHandle handle) {
    return HandleObject<CDirectory>(handle.ptr, kInvalidDirectory);
}

template <typename OpenOrCreate>
bool OpenDirHandle(const wchar_t* path, volkit::api::NtfsDirHandle& handle, volkit::api::NtfsVolumeHandle volume,
                   const char* failureText, OpenOrCreate openOrCreate) {
    return RunExported(
        [&] {
            CVolume& owner = HandleObject<CVolume>(volume.ptr, kInvalidVolume);
            std::shared_ptr<CDirectory> directory = openOrCreate(owner, PathArgument(path));
            handle.ptr = new DirRecord{std::move(directory)};
        },
        failureText, PathForMessage(path));
}

}  // namespace

namespace volkit::api {

bool NtfsOpenDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume) {
    return OpenDirHandle(path, handle, volume, "Failed to open NTFS directory '%1': %2", CDirectory::OpenByPath);
}

bool NtfsCreateDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume) {
    return OpenDirHandle(path, handle, volume, "Failed to create NTFS directory '%1': %2", CDirectory::CreateByPath);
}

bool SetDirAttributesAndTime(const NtfsAttributesAndTime& values, NtfsDirHandle handle) {
    return RunExported([&] { StampObject(DirectoryOf(handle), values, kFileAttributeDirectoryIndex); },
                       "Failed to change attributes and file times of a NTFS directory: %1");
}

bool NtfsDeleteDir(NtfsDirHandle& handle) {
    return RunExported(
        [&] {
            DirectoryOf(handle).Delete();
            FreeHandleRecord<CDirectory>(handle.ptr);
        },
        "Failed to delete NTFS directory: %1");
}

bool NtfsCloseDir(NtfsDirHandle& handle) {
    return RunExported(
        [&] {
            CloseHandleRecord<CDirectory>(
                handle.ptr, kInvalidDirectory, [](CDirectory& directory) { directory.Flush(); },
                [](CDirectory& directory) { directory.Abandon(); });
        },
        "Failed to close NTFS directory: %1");
}

}  // namespace volkit::api
