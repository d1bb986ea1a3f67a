// Opens an NTFS image through the handle family and prints what the library
// reports while loading it (the geometry among it).
//
//   volkit_open_volume IMAGE
#include <cstdio>
#include <cstdint>
#ifndef _WIN32
#include <sys/types.h>
#endif

#include "volkit/api.h"

namespace {

// 64-bit positions in a std::FILE on every platform: fseek and ftell take a
// long, which is 32 bits on Windows, so images above 2 GiB need these.
bool SeekFile(std::FILE* file, uint64_t offset, int origin = SEEK_SET) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), origin) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
#endif
}

// The size of the file, leaving the position at its end.
bool FileSize(std::FILE* file, uint64_t* size) {
    if (!SeekFile(file, 0, SEEK_END)) return false;
#ifdef _WIN32
    long long end = _ftelli64(file);
#else
    off_t end = ftello(file);
#endif
    if (end < 0) return false;
    *size = static_cast<uint64_t>(end);
    return true;
}

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
