#include "support/Images.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>

#include "support/MemoryDevice.h"

namespace volcore::test {

TempDir::TempDir() {
    // Test programs run side by side: a random name keeps them apart.
    std::random_device random;
    m_path = std::filesystem::temp_directory_path() /
             ("volkit-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    if (!std::filesystem::create_directory(m_path)) throw std::runtime_error("cannot create " + m_path.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void MakeNtfsImage(const std::string& path, const ImageOptions& options) {
    static const bool haveMkntfs = HaveProgram("mkntfs");
    if (!haveMkntfs) {
        // The formatter writes 512-byte sectors only.
        if (options.sectorSize != 512)
            throw std::runtime_error(std::to_string(options.sectorSize) + "-byte sectors need mkntfs");
        const std::wstring label(options.label.begin(), options.label.end());
        return FormattedMemoryDevice(options.size, options.clusterSize, label.c_str()).SaveToFile(path);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    std::filesystem::resize_file(path, options.size);  // throws when the file could not be made
    std::string command = "mkntfs -F -Q -q -c " + std::to_string(options.clusterSize) + " -s " +
                          std::to_string(options.sectorSize);
    if (!options.label.empty()) command += " -L " + ShellQuote(options.label);
    command += " " + ShellQuote(path);
    CommandResult result = RunCommand(command);
    if (result.exitCode != 0) throw std::runtime_error("mkntfs failed: " + result.output);
}

const std::vector<uint8_t>& PristineImage(uint64_t size) {
    static std::map<uint64_t, std::vector<uint8_t>> images;
    auto [image, made] = images.try_emplace(size);
    if (made) {
        TempDir dir;
        ImageOptions options;
        options.size = size;
        MakeNtfsImage(dir.File("pristine.img"), options);
        image->second = ReadFileBytes(dir.File("pristine.img"));
    }
    return image->second;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    // One read of the known size: a byte-by-byte copy of an image of tens of
    // MiB was most of some tests' time, in the sanitizer build above all.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

#ifdef _WIN32

// The commands are POSIX shell lines for Linux tools: none runs here.
CommandResult RunCommand(const std::string& commandLine) {
    return CommandResult{-1, "not run on Windows: " + commandLine};
}

bool HaveProgram(const std::string&) { return false; }

#else

CommandResult RunCommand(const std::string& commandLine) {
    CommandResult result;
    std::string full = commandLine + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk{};
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), got);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + ShellQuote(name) + " >/dev/null").exitCode == 0;
}

#endif

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

std::filesystem::path SharedCorpusDir() {
    if (!HaveProgram("tar")) return {};  // its images are tar archives
    std::filesystem::path dir = std::filesystem::path(VOLKIT_SHARED_DIR) / "corpus";
    std::error_code ignored;
    return std::filesystem::is_directory(dir, ignored) ? dir : std::filesystem::path();
}

std::filesystem::path PreparedCorpusDir() {
#ifdef VOLKIT_PREPARED_CORPUS
    std::filesystem::path dir(VOLKIT_PREPARED_CORPUS);
    std::error_code ignored;
    if (std::filesystem::is_directory(dir, ignored)) return dir;
#endif
    return {};
}

namespace {

// One folder per image, named as the image's archive folder. The images are
// unpacked afresh for each CTest run, in which the api suite reads them before
// the volume suite changes them.
size_t ForEachPreparedImage(const std::filesystem::path& prepared, const std::function<void(const CorpusImage&)>& visit) {
    std::vector<std::filesystem::path> folders;
    for (const auto& item : std::filesystem::directory_iterator(prepared))
        if (item.is_directory()) folders.push_back(item.path());
    std::sort(folders.begin(), folders.end());
    for (const auto& folder : folders) {
        CorpusImage image{folder.filename().string(), {}};
        for (const auto& item : std::filesystem::directory_iterator(folder)) image.path = item.path();
        SCOPED_TRACE(image.name);
        visit(image);
    }
    return folders.size();
}

}  // namespace

size_t ForEachCorpusImage(const std::function<void(const CorpusImage&)>& visit) {
    if (std::filesystem::path prepared = PreparedCorpusDir(); !prepared.empty()) return ForEachPreparedImage(prepared, visit);
    std::filesystem::path corpus = SharedCorpusDir();
    if (corpus.empty()) return 0;
    std::vector<std::filesystem::path> archives;
    for (const auto& item : std::filesystem::recursive_directory_iterator(corpus))
        if (item.path().filename().string().ends_with(".img.tar.xz")) archives.push_back(item.path());
    std::sort(archives.begin(), archives.end());
    for (const auto& archive : archives) {
        TempDir dir;
        CommandResult unpack = RunCommand("tar -xJf " + ShellQuote(archive.string()) + " -C " + ShellQuote(dir.Path().string()));
        if (unpack.exitCode != 0) throw std::runtime_error("cannot unpack " + archive.string() + ": " + unpack.output);
        CorpusImage image{archive.parent_path() == corpus ? "ntfs_default" : archive.parent_path().filename().string(), {}};
        for (const auto& item : std::filesystem::directory_iterator(dir.Path())) image.path = item.path();
        SCOPED_TRACE(image.name);
        visit(image);
    }
    return archives.size();
}

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

}  // namespace volcore::test
