#pragma once
// An image holding each kind of file the native engine reads beyond plain
// data, written through libntfs-3g: LZNT1 compressed (in a compressed
// directory), sparse, a named stream, and system-compressed (WOF) with XPRESS
// 4 KiB and LZX chunks from wimlib's compressors.
#include <string>
#include <vector>

namespace volcore::test {

struct FileKind {
    const char* volumePath;  // "/plain.txt:extra" for the stream
    const char* hostName;    // a plain file name for a copy of the contents
    std::vector<uint8_t> contents;
};

// Formats `image` (mkntfs, 32 MiB) and writes the files; throws when one did
// not come out as meant.
std::vector<FileKind> MakeFileKindsImage(const std::string& image);

}  // namespace volcore::test
