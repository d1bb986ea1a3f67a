// Exported directory functions of the handle family.
#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "api/StampApi.h"
#include "objects/Directory.h"
#include "objects/Links.h"
#include "volkit/api.h"
#include "objects/Volume.h"

using namespace volcore;

namespace {

constexpr const char* kInvalidDirectory = "Invalid directory handle";

}  // namespace

namespace volkit::api {

bool NtfsOpenDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume) {
    return OpenExisting<CDirectory>(path, handle.ptr, volume.ptr, kOpenDirFailure, CDirectory::FindByPath);
}

bool NtfsCreateDir(const wchar_t* path, NtfsDirHandle& handle, NtfsVolumeHandle volume) {
    return OpenHandle<CDirectory>(path, handle.ptr, volume.ptr, kCreateDirFailure,
                                  CDirectory::CreateByPath);
}

bool SetDirAttributesAndTime(const NtfsAttributesAndTime& values, NtfsDirHandle handle) {
    return RunExported(
        [&] {
            StampObject(*UsableObject<CDirectory>(handle.ptr, kInvalidDirectory), values, kFileAttributeDirectoryIndex);
        },
        "Failed to change attributes and file times of a NTFS directory: %1");
}

bool NtfsDeleteDir(NtfsDirHandle& handle) {
    return RunExported(
        [&] {
            DeleteThroughHandle<CDirectory>(handle.ptr, kInvalidDirectory,
                                            [](CDirectory& directory) { directory.Delete(); });
        },
        "Failed to delete NTFS directory: %1");
}

bool NtfsMoveDir(const wchar_t* newPath, bool replaceExisting, NtfsDirHandle handle) {
    return RunExportedDescribed(
        [&] {
            std::shared_ptr<CDirectory> directory = UsableObject<CDirectory>(handle.ptr, kInvalidDirectory);
            std::u16string name;
            std::shared_ptr<CDirectory> parent = ParentOfNewName(directory->GetVolume(), newPath, name);
            MoveName(*directory, *parent, name, replaceExisting);
        },
        [&](const char* reason) {
            return FormatText("Failed to move NTFS directory to '%1': %2", PathForMessage(newPath), reason);
        });
}

bool NtfsCloseDir(NtfsDirHandle& handle) {
    return RunExported([&] { EndHandle<CDirectory>(handle.ptr, kInvalidDirectory, CheckNothingGivenUp); },
                       "Failed to close NTFS directory: %1");
}

}  // namespace volkit::api
