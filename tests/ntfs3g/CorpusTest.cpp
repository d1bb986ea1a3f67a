// The family on the shared corpus of damaged volumes: every image is either
// refused with the two mount lines, or mounted and walked (directories listed,
// files opened and read) with every failure reported and nothing crashing.
#include "FamilyFixture.h"
#include "base/Unicode.h"

namespace volcore::test {
namespace {

struct CorpusWalk {
    filesystem::handle volume;
    FamilyLogCapture& log;
    size_t errorsSeen = 0, visits = 0;

    // A false result always comes with its reason.
    bool Reported(bool succeeded) {
        EXPECT_TRUE(succeeded || log.Errors().size() > errorsSeen);
        errorsSeen = log.Errors().size();
        return succeeded;
    }

    void Directory(const std::string& path, int depth) {
        std::vector<directory::dirEntry> entries;
        Reported(directory::fetch(path.c_str(), volume, [](const directory::dirEntry& entry, void* out) {
            static_cast<std::vector<directory::dirEntry>*>(out)->push_back(entry);
            return true;
        }, &entries));
        for (const directory::dirEntry& entry : entries) {
            if (depth >= 6 || ++visits > 3000) return;
            const std::string child = path + "/" + Utf16ToUtf8(entry.name);
            if (entry.fileAttributes & 0x10) Directory(child, depth + 1);
            else File(child);
        }
    }

    void File(const std::string& path) {
        file::handle h;
        if (!Reported(file::open(h, path.c_str(), volume))) return;
        file::attributes attributes;
        std::vector<uint8_t> buffer(64 * 1024);
        if (Reported(file::getAttributes(h, attributes)))
            Reported(attributes.size == 0 || file::read(h, 0, buffer.data(), static_cast<uint32_t>(std::min<uint64_t>(attributes.size, buffer.size()))));
        Reported(file::close(h));
    }
};

}  // namespace

TEST(FamilyCorpus, DamagedVolumesAreRefusedOrWalkedCleanly) {
    size_t mounted = 0;
    const size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        FamilyLogCapture log;
        FileDevice file(image.path);  // the images found in the field are huge sparse files
        filesystem::device dev = FamilyDeviceOf(file);
        filesystem::handle volume;
        if (!filesystem::open(volume, dev)) {
            EXPECT_EQ(log.Errors(), (Lines{"Failed to mount NTFS", "failed to mount volume"})) << image.name;
            return;
        }
        ++mounted;
        CorpusWalk walk{volume, log};
        walk.Directory("", 0);
        EXPECT_GT(walk.visits, 0u) << image.name;
        filesystem::close(volume);
    });
    if (images == 0) GTEST_SKIP() << "shared corpus not available";
    EXPECT_GT(mounted, 0u);
}

}  // namespace volcore::test
