// The input is a packed volume image (FuzzSupport.h). The check examines it;
// then the handle family opens it, lists every directory reachable from the
// root (to a fixed depth and count), reads the head and the tail of every
// file and closes everything. Whatever the bytes, no call may crash, hang or
// overflow, and since nothing is changed, nothing may be written.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "volkit/check.h"

using namespace volkit::api;
using namespace volcore::fuzz;

namespace {

constexpr int kMaxDepth = 4;
constexpr size_t kMaxEntries = 256;
constexpr unsigned kChunk = 4096;

struct Listing {
    std::vector<std::wstring> directories;
    std::vector<std::wstring> files;
};

bool Collect(const NtfsDirEntry& entry, void* context) {
    auto* listing = static_cast<Listing*>(context);
    std::wstring name = entry.name ? entry.name : L"";
    if (name == L"." || name.empty()) return true;
    (entry.isDirectory ? listing->directories : listing->files).push_back(name);
    return listing->directories.size() + listing->files.size() < kMaxEntries;
}

void ReadFile(NtfsVolumeHandle volume, const std::wstring& path) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path.c_str(), file, volume)) return;
    unsigned long long size = 0;
    NtfsAttributesAndTime values;
    GetFileAttributesAndTime(values, file);
    if (NtfsGetFileSize(size, file) && size > 0) {
        static uint8_t buffer[kChunk];
        unsigned length = size < kChunk ? static_cast<unsigned>(size) : kChunk;
        NtfsReadFile(0, buffer, length, file);
        NtfsReadFile(size - length, buffer, length, file);
    }
    // A close that fails leaves the handle to be released by a second one.
    NtfsCloseFile(file);
}

void Walk(NtfsVolumeHandle volume, const std::wstring& path, int depth) {
    NtfsDirHandle dir;
    if (!NtfsOpenDir(path.c_str(), dir, volume)) return;
    Listing listing;
    NtfsAttributesAndTime values;
    GetDirAttributesAndTime(values, dir);
    NtfsEnumDir(dir, &Collect, &listing);
    NtfsCloseDir(dir);
    for (const auto& name : listing.files) ReadFile(volume, path + L"\\" + name);
    if (depth >= kMaxDepth) return;
    for (const auto& name : listing.directories) Walk(volume, path + L"\\" + name, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> image = UnpackImage({data, size});
    CowDevice device(image);
    NtfsIoDevice api = device.Api();
    NtfsCheckSummary summary;
    NtfsCheckVolume(api, nullptr, nullptr, summary);
    NtfsVolumeHandle volume;
    if (NtfsOpenVolume(api, volume)) {
        Walk(volume, L"", 0);
        NtfsCloseVolume(volume);
    }
    if (device.WriteCount() != 0) Finding("a session that only read wrote to the device");
    return 0;
}
