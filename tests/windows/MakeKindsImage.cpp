// Built natively for the Windows leg: writes the image of file kinds
// (support/FileKinds.h), each file's contents as a host file, and a list of
// "volume path<TAB>host file" lines, for tool_kinds.sh to compare
// volkit.exe's reads with.
//   volkit_make_kinds IMAGE DIRECTORY
// Exits 77 when mkntfs or wimlib is missing.
#include <cstdio>
#include <fstream>

#include "support/FileKinds.h"
#include "support/Images.h"
#include "support/WimCompressor.h"

using namespace volcore::test;

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (!HaveProgram("mkntfs") || !WimCompressor::Available()) return std::puts("skipped: mkntfs or wimlib is missing"), 77;
    try {
        std::ofstream list(std::string(argv[2]) + "/kinds.txt");
        for (const FileKind& kind : MakeFileKindsImage(argv[1])) {
            WriteFileBytes(std::string(argv[2]) + "/" + kind.hostName, kind.contents);
            list << kind.volumePath << '\t' << kind.hostName << '\n';
        }
        return list.good() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "volkit_make_kinds: %s\n", error.what());
        return 1;
    }
}
