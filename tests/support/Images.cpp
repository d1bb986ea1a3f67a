#include "support/Images.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "support/FileDevice.h"

namespace volcore::test {
namespace {

bool HaveMkntfs() {
    static const bool have = HaveProgram("mkntfs");
    return have;
}

void FormatImageFile(const std::string& path, const ImageOptions& options) {
    if (!CanMakeNtfsImage(options))
        throw std::runtime_error(std::to_string(options.sectorSize) + "-byte sectors need mkntfs");
    const std::wstring label(options.label.begin(), options.label.end());
    FileDevice file(path);
    // No log capture here: it would end one the calling test has running.
    if (!volkit::api::NtfsFormatVolume(file.Api(), {true, options.clusterSize, label.c_str(), 0}))
        throw std::runtime_error("cannot format " + path);
}

}  // namespace

TempDir::TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("volkit-test-" + std::to_string(random()) + "-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void MakeNtfsImage(const std::string& path, const ImageOptions& options) {
    {
        std::ofstream create(path, std::ios::binary | std::ios::trunc);
        if (!create) throw std::runtime_error("cannot create " + path);
    }
    std::filesystem::resize_file(path, options.size);
    if (!HaveMkntfs()) return FormatImageFile(path, options);
    std::string command = "mkntfs -F -Q -q -c " + std::to_string(options.clusterSize) + " -s " +
                          std::to_string(options.sectorSize);
    if (!options.label.empty()) command += " -L " + ShellQuote(options.label);
    command += " " + ShellQuote(path);
    CommandResult result = RunCommand(command);
    if (result.exitCode != 0) throw std::runtime_error("mkntfs failed: " + result.output);
}

bool CanMakeNtfsImage(const ImageOptions& options) { return options.sectorSize == 512 || HaveMkntfs(); }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
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

}  // namespace volcore::test
