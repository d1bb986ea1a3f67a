#pragma once
// Test images made at test time (with mkntfs, or with the library's own
// formatter where mkntfs is missing), temporary directories, and a runner for
// the independent checkers (ntfs-3g tools, The Sleuth Kit).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/Exception.h"

namespace volcore::test {

// A damaged image is refused as damage or as a failed read, never as a bad request.
inline bool IsDamageRefusal(const std::exception& failure) {
    EErrorKind kind = KindOf(failure, EErrorKind::Argument);
    return kind == EErrorKind::Corrupt || kind == EErrorKind::Io;
}

// A fresh directory under the system temporary directory, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

struct ImageOptions {
    uint64_t size = 16ull << 20;
    uint32_t clusterSize = 4096;
    uint32_t sectorSize = 512;
    std::string label;  // ASCII
};

inline ImageOptions WithClusters(uint32_t clusterSize, uint64_t size = 16ull << 20) {
    ImageOptions options;
    options.clusterSize = clusterSize;
    options.size = size;
    return options;
}

// Makes an NTFS image file at `path` with `mkntfs -F -Q`, or where mkntfs is
// missing (Windows) with NtfsFormatVolume; throws on failure.
void MakeNtfsImage(const std::string& path, const ImageOptions& options = {});

// The bytes of a fresh mkntfs image of `size` bytes with the default options,
// made once per test program.
const std::vector<uint8_t>& PristineImage(uint64_t size = 16ull << 20);

// Reads a whole file / writes a whole file.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs a shell command line and captures its output.
CommandResult RunCommand(const std::string& commandLine);

// Quotes one argument for the shell.
std::string ShellQuote(const std::string& text);

// True when the program is on PATH.
bool HaveProgram(const std::string& name);

// The shared corpus of damaged images, or an empty path when it is absent
// or tar, which unpacks its archives, is missing.
std::filesystem::path SharedCorpusDir();

// Where the corpus's images lie unpacked, each with The Sleuth Kit's listing
// beside it, for programs that can run neither tar nor fls (the Windows build
// under Wine; tests/windows/prepare_corpus.sh); empty elsewhere.
std::filesystem::path PreparedCorpusDir();

struct CorpusImage {
    std::string name;  // the folder of its archive; "ntfs_default" for the clean one
    std::filesystem::path path;
};

// Unpacks every image of the shared corpus in turn (in archive path order)
// into a temporary directory and hands it to `visit`; returns how many there
// were, 0 when the corpus is absent.
size_t ForEachCorpusImage(const std::function<void(const CorpusImage&)>& visit);

// The failure text of `action`, or "" when it succeeds.
std::string FailureOf(const std::function<void()>& action);

// Reproducible bytes that differ with the seed and along the buffer.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

}  // namespace volcore::test
