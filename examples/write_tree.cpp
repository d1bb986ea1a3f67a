// Writes a small tree into an NTFS image through the handle family, then
// opens the volume again and reads it back. On Windows the image is reached
// through CreateFileW, ReadFile and WriteFile; elsewhere through pread and
// pwrite; both with 64-bit offsets.
//
//   volkit_write_tree IMAGE
//
// The tree, under \tree: docs\readme.txt, docs\a\b\c\deep.txt, a file whose
// name lies beyond the Basic Multilingual Plane, many\file-000.txt ...
// many\file-199.txt, and big.bin (4 MiB: the lines "0000000\n" to "0524287\n").
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "volkit/api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace volkit::api;

namespace {

#ifdef _WIN32

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

bool ReadAt(uint64_t offset, void* buffer, uint32_t length, void* context) {
    OVERLAPPED position = At(offset);
    DWORD done = 0;
    return ReadFile(static_cast<HANDLE>(context), buffer, length, &done, &position) && done == length;
}

bool WriteAt(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    OVERLAPPED position = At(offset);
    DWORD done = 0;
    return WriteFile(static_cast<HANDLE>(context), buffer, length, &done, &position) && done == length;
}

bool SizeOf(uint64_t* size, void* context) {
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(static_cast<HANDLE>(context), &bytes)) return false;
    *size = static_cast<uint64_t>(bytes.QuadPart);
    return true;
}

// The image stays open for the whole program; its handle is the context.
bool OpenImage(const wchar_t* path, NtfsIoDevice& device) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    device = NtfsIoDevice{file, &ReadAt, &WriteAt, &SizeOf};
    return true;
}

#else

int Descriptor(void* context) { return static_cast<int>(reinterpret_cast<intptr_t>(context)); }

bool ReadAt(uint64_t offset, void* buffer, uint32_t length, void* context) {
    return pread(Descriptor(context), buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool WriteAt(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    return pwrite(Descriptor(context), buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool SizeOf(uint64_t* size, void* context) {
    struct stat status {};
    if (fstat(Descriptor(context), &status) != 0) return false;
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool OpenImage(const char* path, NtfsIoDevice& device) {
    int file = open(path, O_RDWR);
    if (file < 0) return false;
    device = NtfsIoDevice{reinterpret_cast<void*>(static_cast<intptr_t>(file)), &ReadAt, &WriteAt, &SizeOf};
    return true;
}

#endif

void PrintError(int level, const char* message, void*) {
    if (level == NtfsLogError) std::fprintf(stderr, "volkit: %s\n", message);
}

constexpr uint64_t kBigLines = 524288;  // 8 bytes each: 4 MiB
constexpr uint32_t kChunk = 65521;      // odd-sized writes, across cluster and record boundaries
const wchar_t* const kNonBmpName = L"tree\\\U0001F600 \u00e9t\u00e9 \u65e5\u672c.txt";

std::string BigContents() {
    std::string text(kBigLines * 8 + 1, '\0');  // room for snprintf's last terminator
    for (unsigned long long line = 0; line < kBigLines; ++line) std::snprintf(&text[line * 8], 9, "%07llu\n", line);
    text.resize(kBigLines * 8);
    return text;
}

bool MakeDir(const wchar_t* path, NtfsVolumeHandle volume) {
    NtfsDirHandle dir;
    return NtfsCreateDir(path, dir, volume) && NtfsCloseDir(dir);
}

// The file grows before each chunk is written: writes stay inside the size.
bool MakeFile(const std::wstring& path, const std::string& contents, NtfsVolumeHandle volume) {
    NtfsFileHandle file;
    if (!NtfsCreateFile(path.c_str(), file, volume)) return false;
    bool ok = true;
    for (uint64_t done = 0; ok && done < contents.size();) {
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, contents.size() - done));
        ok = SetFileSize(done + length, file) && NtfsWriteFile(done, contents.data() + done, length, file);
        done += length;
    }
    return NtfsCloseFile(file) && ok;
}

bool WriteTree(NtfsVolumeHandle volume) {
    bool ok = MakeDir(L"tree", volume) && MakeDir(L"tree\\docs", volume) && MakeDir(L"tree\\docs\\a", volume) &&
              MakeDir(L"tree\\docs\\a\\b", volume) && MakeDir(L"tree\\docs\\a\\b\\c", volume) &&
              MakeDir(L"tree\\many", volume);
    ok = ok && MakeFile(L"tree\\docs\\readme.txt", "Written by volkit_write_tree\n", volume);
    ok = ok && MakeFile(L"tree\\docs\\a\\b\\c\\deep.txt", "deep\n", volume);
    ok = ok && MakeFile(kNonBmpName, "A name beyond the Basic Multilingual Plane\n", volume);
    for (int i = 0; ok && i < 200; ++i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"tree\\many\\file-%03d.txt", i);
        ok = MakeFile(name, std::to_string(i) + "\n", volume);
    }
    return ok && MakeFile(L"tree\\big.bin", BigContents(), volume);
}

bool ReadsBack(const wchar_t* path, const std::string& expected, NtfsVolumeHandle volume) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path, file, volume)) return false;
    unsigned long long size = 0;
    std::string contents(expected.size(), '\0');
    bool ok = NtfsGetFileSize(size, file) && size == expected.size() &&
              NtfsReadFile(0, contents.data(), static_cast<unsigned>(contents.size()), file);
    return NtfsCloseFile(file) && ok && contents == expected;
}

bool CountEntry(const NtfsDirEntry& entry, void* context) {
    if (entry.nameSpace != 2) ++*static_cast<int*>(context);  // DOS aliases are second names
    return true;
}

bool CheckTree(NtfsVolumeHandle volume) {
    NtfsDirHandle many;
    int entries = 0;
    bool listed = NtfsOpenDir(L"TREE\\MANY", many, volume) && NtfsEnumDir(many, &CountEntry, &entries);
    if (many.ptr) listed = NtfsCloseDir(many) && listed;
    return listed && entries == 200 && ReadsBack(L"tree\\docs\\a\\b\\c\\deep.txt", "deep\n", volume) &&
           ReadsBack(kNonBmpName, "A name beyond the Basic Multilingual Plane\n", volume) &&
           ReadsBack(L"tree\\big.bin", BigContents(), volume);
}

// Opens the volume, runs `step`, closes the volume.
bool OnVolume(const NtfsIoDevice& device, bool (*step)(NtfsVolumeHandle)) {
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(device, volume)) return false;
    const bool ok = step(volume);
    return NtfsCloseVolume(volume) && ok;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    if (argc != 2) {
        std::fprintf(stderr, "usage: volkit_write_tree IMAGE\n");
        return 2;
    }
    NtfsSetLogCallback(&PrintError, nullptr);
    NtfsIoDevice device;
    if (!OpenImage(argv[1], device)) {
        std::fprintf(stderr, "volkit_write_tree: cannot open the image\n");
        return 1;
    }
    if (!OnVolume(device, &WriteTree)) {
        std::fprintf(stderr, "volkit_write_tree: writing the tree failed\n");
        return 1;
    }
    if (!OnVolume(device, &CheckTree)) {
        std::fprintf(stderr, "volkit_write_tree: the tree does not read back as written\n");
        return 1;
    }
    std::printf("wrote and read back \\tree\n");
    return 0;
}
