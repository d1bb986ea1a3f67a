// Mounts an NTFS image through the filesystem family and lists a directory
// with its sizes, the names as the volume stores them.
//
//   volkit_list_directory IMAGE [PATH]
#include <cstdio>
#include <cstdint>
#ifndef _WIN32
#include <sys/types.h>
#endif
#include <string>

#include "volkit/filesystem.h"

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

bool ReadAt(uint64_t offset, void* buffer, uint64_t count, void* context) {
    auto* file = static_cast<std::FILE*>(context);
    return SeekFile(file, offset) && std::fread(buffer, 1, count, file) == count;
}

bool WriteAt(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    auto* file = static_cast<std::FILE*>(context);
    return SeekFile(file, offset) && std::fwrite(buffer, 1, count, file) == count;
}

bool SizeOf(uint64_t* size, void* context) {
    return FileSize(static_cast<std::FILE*>(context), size);
}

// Names come as UTF-16; this example prints the ASCII ones as they are and
// stands in '?' for the rest.
std::string Printable(const char16_t* name) {
    std::string text;
    for (; *name; ++name) text += *name < 0x80 ? static_cast<char>(*name) : '?';
    return text;
}

bool PrintEntry(const volkit::directory::dirEntry& entry, void*) {
    const bool isDirectory = (entry.fileAttributes & 0x10) != 0;
    std::printf("%-4s %12llu  %s\n", isDirectory ? "dir" : "file", static_cast<unsigned long long>(entry.size),
                Printable(entry.name).c_str());
    return true;
}

void PrintMessage(volkit::logging::messageType type, const char* text) {
    std::fprintf(stderr, "[%s] %s\n", type == volkit::logging::error ? "error" : "info", text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s IMAGE [PATH]\n", argv[0]);
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "r+b");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    volkit::logging::initialize(&PrintMessage);
    volkit::filesystem::device device{file, &ReadAt, &WriteAt, &SizeOf};
    volkit::filesystem::handle volume;
    bool ok = volkit::filesystem::open(volume, device);
    if (ok) {
        ok = volkit::directory::fetch(argc == 3 ? argv[2] : "/", volume, &PrintEntry, nullptr);
        ok = volkit::filesystem::close(volume) && ok;
    }
    std::fclose(file);
    volkit::logging::deinitialize();
    return ok ? 0 : 1;
}
