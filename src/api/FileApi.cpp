// Exported file functions of the handle family.
#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "api/StampApi.h"
#include "objects/File.h"
#include "objects/Links.h"
#include "volkit/api.h"
#include "objects/Volume.h"

using namespace volcore;

namespace {

constexpr const char* kInvalidFile = "Invalid file handle";

std::shared_ptr<CFile> FileOf(volkit::api::NtfsFileHandle handle) {
    return UsableObject<CFile>(handle.ptr, kInvalidFile);
}

// Contents would turn a directory opened as a file into something no reader expects.
std::shared_ptr<CFile> FileForContentsOf(volkit::api::NtfsFileHandle handle) {
    std::shared_ptr<CFile> file = FileOf(handle);
    if (file->IsDirectory()) throw CException(EErrorKind::Argument, "Entry %1 is a directory", file->GetName());
    return file;
}

}  // namespace

namespace volkit::api {

bool NtfsOpenFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume) {
    return OpenExisting<CFile>(path, handle.ptr, volume.ptr, kOpenFileFailure,
                               [](CVolume& owner, std::u16string_view units, std::u16string_view& missing, std::string&) {
                                   return CFile::FindByPath(owner, units, missing);
                               });
}

bool NtfsCreateFile(const wchar_t* path, NtfsFileHandle& handle, NtfsVolumeHandle volume) {
    return OpenHandle<CFile>(path, handle.ptr, volume.ptr, kCreateFileFailure,
                             CFile::CreateByPath);
}

bool NtfsReadFile(unsigned long long offset, void* buffer, unsigned int length, NtfsFileHandle handle) {
    return RunExported([&] { FileOf(handle)->Read(offset, buffer, length); },
                       "Failed to read from NTFS file (offset %1, length %2): %3", offset, length);
}

bool NtfsWriteFile(unsigned long long offset, const void* buffer, unsigned int length, NtfsFileHandle handle) {
    return RunExported([&] { FileOf(handle)->Write(offset, buffer, length); },
                       "Failed to write to NTFS file (offset %1, length %2): %3", offset, length);
}

bool SetFileSize(unsigned long long size, NtfsFileHandle handle) {
    return RunExported(
        [&] { FileForContentsOf(handle)->SetSize(size); },
        "Failed to resize NTFS file (new size %1): %2", size);
}

bool NtfsSetFileSparse(NtfsFileHandle handle) {
    return RunExported(
        [&] { FileForContentsOf(handle)->MakeSparse(); },
        "Failed to make NTFS file sparse: %1");
}

bool NtfsZeroFileRange(unsigned long long offset, unsigned long long length, NtfsFileHandle handle) {
    return RunExported([&] { FileForContentsOf(handle)->ZeroRange(offset, length); },
                       "Failed to zero a range of NTFS file (offset %1, length %2): %3", offset, length);
}

bool SetFileAttributesAndTime(const NtfsAttributesAndTime& values, NtfsFileHandle handle) {
    return RunExported([&] { StampObject(*FileOf(handle), values, 0); },
                       "Failed to change attributes and file times of a NTFS file: %1");
}

bool NtfsDeleteFile(NtfsFileHandle& handle) {
    return RunExported([&] { DeleteThroughHandle<CFile>(handle.ptr, kInvalidFile, [](CFile& file) { file.Delete(); }); },
                       "Failed to delete NTFS file: '%1'");
}

bool NtfsMoveFile(const wchar_t* newPath, bool replaceExisting, NtfsFileHandle handle) {
    return RunExportedDescribed(
        [&] {
            std::shared_ptr<CFile> file = FileOf(handle);
            if (file->IsDirectory())
                throw CException(EErrorKind::Argument, "Entry %1 is a directory, not a file", file->GetName());
            std::u16string name;
            std::shared_ptr<CDirectory> parent = ParentOfNewName(file->GetVolume(), newPath, name);
            MoveName(*file, *parent, name, replaceExisting);
        },
        [&](const char* reason) {
            return FormatText("Failed to move NTFS file to '%1': %2", PathForMessage(newPath), reason);
        });
}

bool NtfsCreateHardLink(const wchar_t* newPath, NtfsFileHandle handle) {
    return RunExportedDescribed(
        [&] {
            std::shared_ptr<CFile> file = FileOf(handle);
            std::u16string name;
            std::shared_ptr<CDirectory> parent = ParentOfNewName(file->GetVolume(), newPath, name);
            AddLink(*file, *parent, name);
        },
        [&](const char* reason) {
            return FormatText("Failed to create hard link '%1': %2", PathForMessage(newPath), reason);
        });
}

bool NtfsGetLinkCount(unsigned int& count, NtfsFileHandle handle) {
    return RunExported([&] { count = static_cast<unsigned int>(CountLinks(*FileOf(handle))); },
                       "Failed to count the names of a NTFS file: %1");
}

bool NtfsCloseFile(NtfsFileHandle& handle) {
    return RunExported([&] { EndHandle<CFile>(handle.ptr, kInvalidFile, CheckNothingGivenUp); },
                       "Failed to close NTFS file: '%1'");
}

}  // namespace volkit::api
