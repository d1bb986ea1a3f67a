// Opens an NTFS image through the handle family and prints what the library
// reports while loading it (the geometry among it).
//
//   volkit_open_volume IMAGE
#include <cstdio>
#include <cstdint>

#include "FileOffsets.h"
#include "volkit/api.h"

namespace {

bool ReadAt(uint64_t offset, void* buffer, uint32_t length, void* context) {
    auto* file = static_cast<std::FILE*>(context);
    return SeekFile(file, offset) && std::fread(buffer, 1, length, file) == length;
}

bool WriteAt(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    auto* file = static_cast<std::FILE*>(context);
    return SeekFile(file, offset) && std::fwrite(buffer, 1, length, file) == length;
}

bool SizeOf(uint64_t* size, void* context) {
    return FileSize(static_cast<std::FILE*>(context), size);
}

void PrintLine(int level, const char* message, void*) {
    static const char* const kLevels[] = {"debug", "info", "warning", "error"};
    std::printf("[%s] %s\n", level >= 0 && level < 4 ? kLevels[level] : "?", message);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "r+b");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    volkit::api::NtfsSetLogCallback(&PrintLine, nullptr);
    volkit::api::NtfsIoDevice device{file, &ReadAt, &WriteAt, &SizeOf};
    volkit::api::NtfsVolumeHandle volume;
    bool ok = volkit::api::NtfsOpenVolume(device, volume) && volkit::api::NtfsCloseVolume(volume);
    std::fclose(file);
    std::printf("%s\n", ok ? "volume opened and closed" : "volume could not be opened");
    return ok ? 0 : 1;
}
