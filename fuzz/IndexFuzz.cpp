// The input is a run of INDX blocks, fixups included, that replace the index
// blocks of the base volume's "dir" in order. The handle family then lists
// the directory, looks names up, adds and removes entries and closes the
// volume, and the check examines what is left.
#include <string>

#include "BaseVolume.h"
#include "FuzzSupport.h"
#include "volkit/check.h"

using namespace volkit::api;
using namespace volkit::fuzz;

namespace {

void Lookups(NtfsVolumeHandle volume) {
    for (int n : {0, 7, kBaseDirEntries - 1}) {
        NtfsFileHandle file;
        std::wstring path = L"dir\\" + EntryName(n);
        if (NtfsOpenFile(path.c_str(), file, volume) && !NtfsCloseFile(file)) NtfsCloseFile(file);
    }
}

void Changes(NtfsVolumeHandle volume) {
    for (int n = kBaseDirEntries; n < kBaseDirEntries + 8; ++n) PutFile(volume, L"dir\\" + EntryName(n), 0);
    for (int n : {3, 20, kBaseDirEntries + 2}) {
        NtfsFileHandle file;
        std::wstring path = L"dir\\" + EntryName(n);
        if (NtfsOpenFile(path.c_str(), file, volume) && !NtfsDeleteFile(file) && !NtfsCloseFile(file))
            NtfsCloseFile(file);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    BaseVolume();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SBaseVolume& base = BaseVolume();
    CowDevice device(base.image);
    NtfsIoDevice api = device.Api();
    uint32_t blockSize = base.parts.blockSize;
    for (size_t k = 0; k < base.dirBlocks.size() && k * blockSize < size; ++k) {
        auto length = static_cast<uint32_t>(std::min<size_t>(blockSize, size - k * blockSize));
        api.write(base.dirBlocks[k], data + k * blockSize, length, api.context);
    }
    NtfsVolumeHandle volume;
    if (NtfsOpenVolume(api, volume)) {
        NtfsDirHandle dir;
        if (NtfsOpenDir(L"dir", dir, volume)) {
            NtfsEnumDir(dir, [](const NtfsDirEntry&, void*) { return true; }, nullptr);
            if (!NtfsCloseDir(dir)) NtfsCloseDir(dir);
        }
        Lookups(volume);
        Changes(volume);
        NtfsCloseVolume(volume);
    }
    NtfsCheckSummary summary;
    NtfsCheckVolume(api, nullptr, nullptr, summary);
    return 0;
}
