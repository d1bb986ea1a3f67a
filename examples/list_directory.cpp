// Mounts an NTFS image through the filesystem family and lists a directory
// with its sizes, the names as the volume stores them.
//
//   volkit_list_directory IMAGE [PATH]
#include <cstdio>
#include <cstdint>
#include <string>

#include "FileOffsets.h"
#include "volkit/filesystem.h"

namespace {

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
