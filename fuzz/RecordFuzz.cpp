// The input is up to six FILE records, fixups included: the base record of
// the base volume's "item" and the extension records its attribute list may
// name, which lie right behind it. The handle family then opens the item as a
// file and as a directory, reads it (its link target too), writes, resizes,
// re-stamps and deletes it and closes the volume, and the check examines what
// is left.
#include <algorithm>
#include <vector>

#include "BaseVolume.h"
#include "FuzzSupport.h"
#include "volkit/check.h"

using namespace volkit::api;
using namespace volcore::fuzz;

namespace {

void UseAsFile(NtfsVolumeHandle volume) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(L"item", file, volume)) return;
    unsigned long long size = 0;
    uint8_t buffer[4096] = {};
    NtfsAttributesAndTime values;
    GetFileAttributesAndTime(values, file);
    NtfsReadLinkTarget(file, [](const NtfsLinkTarget&, void*) {}, nullptr);
    if (NtfsGetFileSize(size, file) && size > 0) {
        unsigned length = static_cast<unsigned>(std::min<unsigned long long>(size, sizeof buffer));
        NtfsReadFile(size - length, buffer, length, file);
        NtfsWriteFile(0, buffer, length, file);
    }
    SetFileSize(size + 5000, file);
    SetFileSize(size / 2, file);
    SetFileAttributesAndTime(values, file);
    NtfsCloseFile(file);
}

void UseAsDirectory(NtfsVolumeHandle volume) {
    NtfsDirHandle dir;
    if (!NtfsOpenDir(L"item", dir, volume)) return;
    NtfsEnumDir(dir, [](const NtfsDirEntry&, void*) { return true; }, nullptr);
    NtfsCloseDir(dir);
    NtfsFileHandle file;
    if (NtfsCreateFile(L"item\\new", file, volume)) NtfsCloseFile(file);
}

void Delete(NtfsVolumeHandle volume) {
    NtfsFileHandle file;
    // A refused delete leaves the handle open.
    if (NtfsOpenFile(L"item", file, volume) && !NtfsDeleteFile(file)) NtfsCloseFile(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    BaseVolume();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SBaseVolume& base = BaseVolume();
    uint32_t recordSize = base.parts.recordSize;
    if (size == 0 || size > kItemRecords * recordSize) return 0;
    CowDevice device(base.image);
    NtfsIoDevice api = device.Api();
    for (size_t k = 0; k * recordSize < size; ++k) {
        auto length = static_cast<uint32_t>(std::min<size_t>(recordSize, size - k * recordSize));
        api.write(base.itemOffsets[k], data + k * recordSize, length, api.context);
    }
    NtfsVolumeHandle volume;
    if (NtfsOpenVolume(api, volume)) {
        UseAsFile(volume);
        UseAsDirectory(volume);
        Delete(volume);
        NtfsCloseVolume(volume);
    }
    NtfsCheckSummary summary;
    NtfsCheckVolume(api, nullptr, nullptr, summary);
    return 0;
}
