// Every image of the shared corpus of damaged volumes goes through the handle
// family: open, every path The Sleuth Kit lists, close. Each step works or
// fails with exactly one Error line; nothing crashes or hangs.
#include <gtest/gtest.h>

#include <sstream>

#include "api/Unicode.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volkit::test;

namespace {

// More than any file of the corpus holds legitimately; a larger claimed size
// is read only this far.
constexpr uint64_t kReadLimit = 8ull << 20;

struct SListedPath {
    std::u16string path;
    bool directory;
};

std::vector<SListedPath> ListWithTsk(const std::string& image) {
    CommandResult listing = RunCommand("fls -r -p " + ShellQuote(image));
    std::vector<SListedPath> paths;
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t');
        // Deleted names, virtual entries and alternate data streams are no paths of ours.
        if (tab == std::string::npos || line.find(" * ") < tab || line.rfind("V/V", 0) == 0) continue;
        std::string path = line.substr(tab + 1);
        if (path.find(':') != std::string::npos) continue;
        std::u16string converted;
        try {
            converted = volcore::Utf8ToUtf16(path);
        } catch (const std::exception&) {
            continue;
        }
        for (auto& unit : converted)
            if (unit == u'/') unit = u'\\';
        paths.push_back({converted, line.rfind("d/d", 0) == 0});
    }
    return paths;
}

class StepCounter {
public:
    explicit StepCounter(const LogCapture& log) : m_log(log) {}
    // Runs one exported call and checks its failure left exactly one Error line.
    bool operator()(const char* what, bool ok) {
        std::vector<std::string> errors = m_log.Errors();
        std::string added;
        for (size_t i = m_seen; i < errors.size(); ++i) added += "\n" + errors[i];
        EXPECT_EQ(errors.size() - m_seen, ok ? 0u : 1u) << what << added;
        m_seen = errors.size();
        ++(ok ? m_worked : m_failed);
        return ok;
    }
    int Worked() const { return m_worked; }
    int Failed() const { return m_failed; }

private:
    const LogCapture& m_log;
    size_t m_seen = 0;
    int m_worked = 0;
    int m_failed = 0;
};

void ReadWhole(NtfsFileHandle file, StepCounter& step) {
    unsigned long long value = 0;
    if (!step("size", NtfsGetFileSize(value, file))) return;
    uint64_t size = value;
    std::vector<uint8_t> buffer(1 << 20);
    for (uint64_t offset = 0; offset < std::min(size, kReadLimit); offset += buffer.size()) {
        unsigned length = static_cast<unsigned>(std::min<uint64_t>(buffer.size(), size - offset));
        if (!step("read", NtfsReadFile(offset, buffer.data(), length, file))) return;
    }
}

void WalkImage(const std::string& image, StepCounter& step) {
    std::vector<SListedPath> paths = ListWithTsk(image);
    FileDevice device(image);
    NtfsVolumeHandle volume;
    if (!step("open volume", NtfsOpenVolume(device.Api(), volume))) return;
    for (const SListedPath& listed : paths) {
        SCOPED_TRACE(volcore::Utf16ToUtf8(listed.path));
        std::wstring wide = volcore::Utf16ToWide(listed.path);
        if (listed.directory) {
            NtfsDirHandle dir;
            if (step("open directory", NtfsOpenDir(wide.c_str(), dir, volume))) step("close directory", NtfsCloseDir(dir));
            EXPECT_EQ(dir.ptr, nullptr) << "a close releases the handle even when it fails";
            continue;
        }
        NtfsFileHandle file;
        if (!step("open file", NtfsOpenFile(wide.c_str(), file, volume))) continue;
        ReadWhole(file, step);
        step("close file", NtfsCloseFile(file));
        EXPECT_EQ(file.ptr, nullptr);
    }
    step("close volume", NtfsCloseVolume(volume));
    EXPECT_EQ(volume.ptr, nullptr);
}

}  // namespace

TEST(Corpus, EveryImageOpensOrIsRefusedAndEveryListedPathReadsOrFailsCleanly) {
    std::filesystem::path corpus = SharedCorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "the shared corpus is absent";
    if (!HaveProgram("fls")) GTEST_SKIP() << "The Sleuth Kit is missing";
    std::vector<std::filesystem::path> archives;
    for (const auto& item : std::filesystem::recursive_directory_iterator(corpus))
        if (item.path().filename() == "ntfs.img.tar.xz" || item.path().filename() == "ntfs_default.img.tar.xz")
            archives.push_back(item.path());
    std::sort(archives.begin(), archives.end());
    ASSERT_FALSE(archives.empty());

    int opened = 0;
    for (const auto& archive : archives) {
        SCOPED_TRACE(archive.parent_path().filename().string());
        TempDir dir;
        CommandResult unpack = RunCommand("tar -xJf " + ShellQuote(archive.string()) + " -C " + ShellQuote(dir.Path().string()));
        ASSERT_EQ(unpack.exitCode, 0) << unpack.output;
        std::filesystem::path image;
        for (const auto& item : std::filesystem::directory_iterator(dir.Path())) image = item.path();
        LogCapture log;
        StepCounter step(log);
        WalkImage(image.string(), step);
        if (step.Worked() > 0) ++opened;
    }
    // The clean image and most damaged ones open.
    EXPECT_GT(opened, static_cast<int>(archives.size()) / 2);
}
