// libFuzzer target: the input is a whole volume image. It is opened through the
// handle family, every directory reachable from the root is listed (to a fixed
// depth and count) and the first bytes of every file are read. Whatever the
// bytes, each call must end with a result, never a crash, hang or overflow.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "volkit/api.h"

using namespace volkit::api;

namespace {

constexpr int kMaxDepth = 4;
constexpr size_t kMaxEntries = 256;

struct Image {
    const uint8_t* data;
    size_t size;
    std::vector<uint8_t> written;  // copy-on-write: the engine may write while flushing
};

bool Read(uint64_t offset, void* buffer, uint32_t length, void* context) {
    auto* image = static_cast<Image*>(context);
    const uint8_t* bytes = image->written.empty() ? image->data : image->written.data();
    if (offset > image->size || length > image->size - offset) return false;
    std::memcpy(buffer, bytes + offset, length);
    return true;
}

bool Write(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    auto* image = static_cast<Image*>(context);
    if (offset > image->size || length > image->size - offset) return false;
    if (image->written.empty()) image->written.assign(image->data, image->data + image->size);
    std::memcpy(image->written.data() + offset, buffer, length);
    return true;
}

bool Size(uint64_t* size, void* context) {
    *size = static_cast<Image*>(context)->size;
    return true;
}

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
    if (NtfsGetFileSize(size, file) && size > 0) {
        uint8_t buffer[4096];
        unsigned length = size < sizeof buffer ? static_cast<unsigned>(size) : sizeof buffer;
        NtfsReadFile(0, buffer, length, file);
    }
    NtfsCloseFile(file);
}

void Walk(NtfsVolumeHandle volume, const std::wstring& path, int depth) {
    NtfsDirHandle dir;
    if (!NtfsOpenDir(path.c_str(), dir, volume)) return;
    Listing listing;
    NtfsEnumDir(dir, &Collect, &listing);
    NtfsCloseDir(dir);
    for (const auto& name : listing.files) ReadFile(volume, path + L"\\" + name);
    if (depth >= kMaxDepth) return;
    for (const auto& name : listing.directories) Walk(volume, path + L"\\" + name, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Image image{data, size, {}};
    NtfsIoDevice device{&image, &Read, &Write, &Size};
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(device, volume)) return 0;
    Walk(volume, L"", 0);
    NtfsCloseVolume(volume);
    return 0;
}
