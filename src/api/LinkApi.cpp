// Exported symbolic-link functions of the handle family.
#include "api/Boundary.h"
#include "api/HandleApi.h"
#include "base/Unicode.h"
#include "objects/File.h"
#include "entries/LinkTarget.h"
#include "objects/SymbolicLink.h"
#include "volkit/api.h"
#include "objects/Volume.h"

using namespace volcore;

namespace volkit::api {

bool NtfsReadLinkTarget(NtfsFileHandle handle, void (*callback)(const NtfsLinkTarget& link, void* context),
                        void* context) {
    return RunExported(
        [&] {
            std::shared_ptr<CFile> file = UsableObject<CFile>(handle.ptr, "Invalid file handle");
            if (callback == nullptr) throw CException(EErrorKind::Argument, "No callback");
            const SLinkTarget link = ReadLinkTarget(file->GetEntry());
            if (link.kind == ELinkKind::None) return;
            std::wstring target;
            std::wstring printName;
            Utf16ToWide(link.substitute, target);
            Utf16ToWide(link.print, printName);
            NtfsLinkTarget found;
            found.target = target.c_str();
            found.printName = printName.c_str();
            found.kind = static_cast<uint32_t>(link.kind);
            found.reparseTag = link.tag;
            found.relative = link.relative;
            callback(found, context);
        },
        "Failed to read the link target of a NTFS file: %1");
}

bool NtfsCreateSymlink(const wchar_t* path, const wchar_t* target, bool directory, NtfsVolumeHandle volume) {
    return RunExportedDescribed(
        [&] {
            std::shared_ptr<CVolume> owner = HandleObject<CVolume>(volume.ptr, "Invalid volume handle");
            const std::u16string where = PathArgument(path);
            CreateSymbolicLink(*owner, where, PathArgument(target), directory);
        },
        [&](const char* reason) {
            return FormatText("Failed to create NTFS symbolic link '%1': %2", PathForMessage(path), reason);
        });
}

}  // namespace volkit::api
