// 64-bit positions in a std::FILE on every platform: fseek and ftell take a
// long, which is 32 bits on Windows, so images above 2 GiB need these.
#ifndef VOLKIT_EXAMPLES_FILE_OFFSETS_H
#define VOLKIT_EXAMPLES_FILE_OFFSETS_H

#include <cstdint>
#include <cstdio>

#ifndef _WIN32
#include <sys/types.h>
#endif

inline bool SeekFile(std::FILE* file, uint64_t offset, int origin = SEEK_SET) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), origin) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
#endif
}

// The size of the file, leaving the position at its end.
inline bool FileSize(std::FILE* file, uint64_t* size) {
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

#endif
