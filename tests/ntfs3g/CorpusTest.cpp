// The family on the shared corpus of damaged volumes: every image is either
// refused with the two mount lines, or mounted and walked (directories listed,
// files opened and read) with every failure reported and nothing crashing.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Exception.h"
#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "volkit/filesystem.h"

namespace volcore::test {
using namespace volkit;
namespace {

using Lines = std::vector<std::string>;

constexpr int kMaxDepth = 6;
constexpr size_t kMaxVisits = 3000;

class CorpusWalk {
public:
    CorpusWalk(filesystem::handle volume, FamilyLogCapture& log) : m_volume(volume), m_log(log) {}

    void Directory(const std::string& path, int depth) {
        std::vector<directory::dirEntry> entries;
        const bool listed = directory::fetch(path.c_str(), m_volume, &Collect, &entries);
        ExpectReportedUnless(listed);
        if (depth >= kMaxDepth) return;
        for (const directory::dirEntry& entry : entries) {
            if (++m_visits > kMaxVisits) return;
            const std::string child = path + "/" + volcore::Utf16ToUtf8(entry.name);
            if (entry.fileAttributes & 0x10) Directory(child, depth + 1);
            else File(child);
        }
    }

    size_t Visits() const { return m_visits; }

private:
    static bool Collect(const directory::dirEntry& entry, void* context) {
        static_cast<std::vector<directory::dirEntry>*>(context)->push_back(entry);
        return true;
    }

    void File(const std::string& path) {
        file::handle h;
        const bool opened = file::open(h, path.c_str(), m_volume);
        ExpectReportedUnless(opened);
        if (!opened) return;
        uint64_t size = 0;
        ExpectReportedUnless(file::getSize(h, size));
        file::attributes attributes;
        ExpectReportedUnless(file::getAttributes(h, attributes));
        std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, 64 * 1024)));
        if (!buffer.empty()) ExpectReportedUnless(file::read(h, 0, buffer.data(), static_cast<uint32_t>(buffer.size())));
        ExpectReportedUnless(file::close(h));
    }

    // A false result always comes with its reason.
    void ExpectReportedUnless(bool succeeded) {
        if (!succeeded) {
            EXPECT_GT(m_log.Errors().size(), m_errorsSeen);
        }
        m_errorsSeen = m_log.Errors().size();
    }

    filesystem::handle m_volume;
    FamilyLogCapture& m_log;
    size_t m_errorsSeen = 0;
    size_t m_visits = 0;
};

}  // namespace

TEST(FamilyCorpus, DamagedVolumesAreRefusedOrWalkedCleanly) {
    size_t mounted = 0;
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        FamilyLogCapture log;
        FamilyFileDevice device(image.path.string());
        filesystem::device dev = device.Device();
        filesystem::handle volume;
        if (!filesystem::open(volume, dev)) {
            EXPECT_EQ(log.Errors(), (Lines{"Failed to mount NTFS", "failed to mount volume"}));
            return;
        }
        ++mounted;
        CorpusWalk walk(volume, log);
        walk.Directory("", 0);
        EXPECT_GT(walk.Visits(), 0u);
        filesystem::close(volume);
    });
    if (images == 0) GTEST_SKIP() << "shared corpus not available";
    EXPECT_GT(mounted, 0u);
}

}  // namespace volcore::test
