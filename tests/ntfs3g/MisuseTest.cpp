// Call sequences that used to lose data or corrupt a volume: each fails
// cleanly or works, and afterwards libntfs-3g reads every file back, our check
// and ntfsfix find nothing wrong, and nothing written before is lost.
#include <map>

#include "FamilyFixture.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

namespace volcore::test {
namespace {

using Contents = std::map<std::string, std::vector<uint8_t>>;

class MisuseTest : public FamilyTest {
protected:
    // Every file below `dir` (metadata files aside), read whole.
    void ReadEverything(const std::string& dir, Contents& found) {
        for (const auto& [name, entry] : Listing(dir)) {
            const std::string path = dir + "/" + name;
            if (name[0] == '$') continue;
            if (entry.fileAttributes & 0x10) {
                ReadEverything(path, found);
                continue;
            }
            found[path] = ReadWhole(path);
            // The directory's copy of the length is up to date too.
            EXPECT_EQ(entry.size, found[path].size()) << path;
        }
    }

    void ExpectConsistent(const Contents& kept) {
        Dismount();
        Mount();
        Contents found;
        ReadEverything("", found);
        EXPECT_EQ(found, kept);
        const std::string image = SaveImage();
        // The check finds every record in use that no directory lists.
        const CheckOutcome checked = CheckVolume(memory.Api());
        EXPECT_TRUE(checked.Clean()) << checked.Describe();
        EXPECT_TRUE(NtfsfixAccepts(image));
    }

    const std::vector<uint8_t> first = Pattern(70000, 1), second = Pattern(900, 2);
};

struct Sequence {
    const char* what;
    std::function<Contents()> run;
};

}  // namespace

TEST_F(MisuseTest, SequencesFailCleanlyAndLoseNothing) {
    const Sequence sequences[] = {
        {"files created inside a held directory", [&] {
             file::handle d;
             EXPECT_TRUE(directory::create("d", volume) && file::open(d, "d", volume));
             CreateFileWith("d/a", first);
             CreateFileWith("D/b", second);
             EXPECT_EQ(Listing("d").size(), 2u);
             EXPECT_TRUE(file::close(d));
             return Contents{{"/d/a", first}, {"/d/b", second}};
         }},
        {"interleaved handles on one file", [&] {
             file::handle a, b;
             EXPECT_TRUE(file::create(a, "f", volume) && file::open(b, "F", volume));
             EXPECT_TRUE(file::write(a, 0, first.data(), 70000) && file::setSize(b, 80000));
             EXPECT_TRUE(file::write(b, 70000, second.data(), 900));
             uint64_t size = 0;
             EXPECT_TRUE(file::close(b) && file::getSize(a, size) && file::close(a));
             EXPECT_EQ(size, 80000u);
             std::vector<uint8_t> expected = first;
             expected.insert(expected.end(), second.begin(), second.end());
             expected.resize(80000);
             return Contents{{"/f", expected}};
         }},
        {"double close, and calls after it", [&] {
             CreateFileWith("f", second);
             file::handle h;
             EXPECT_TRUE(file::open(h, "f", volume) && file::close(h));
             uint64_t size;
             EXPECT_FALSE(file::close(h) || file::getSize(h, size) || file::write(h, 0, &size, 1));
             ExpectErrors(Lines(3, "invalid file handle"));
             return Contents{{"/f", second}};
         }},
        {"calls on a removed file and directory, the file's record reused", [&] {
             file::handle a, b, d;
             EXPECT_TRUE(file::create(a, "gone", volume) && file::open(b, "gone", volume));
             EXPECT_TRUE(file::write(a, 0, first.data(), 4096) && file::remove("gone", volume));
             EXPECT_TRUE(directory::create("d", volume) && file::open(d, "d", volume) && directory::remove("d", volume));
             CreateFileWith("new", second);
             uint64_t size;
             file::attributes attributes;
             EXPECT_FALSE(file::write(a, 0, first.data(), 10) || file::setSize(b, 1) || file::getSize(a, size) ||
                          file::read(b, 0, &size, 1) || file::getAttributes(d, attributes) ||
                          file::setAttributes(b, attributes));
             ExpectErrors(Lines(6, "file has been removed"));
             EXPECT_TRUE(file::close(a) && file::close(b) && file::close(d));
             return Contents{{"/new", second}};
         }},
        {"system files", [&] {
             for (const char* path : {"$Boot", "$MFT", "$Extend", "$Extend/$Reparse", "$Secure", "\\$EXTEND\\$ObjId"})
                 EXPECT_FALSE(file::remove(path, volume) || directory::remove(path, volume)) << path;
             ExpectErrors(Lines(12, "cannot remove a system file"));
             file::handle boot;
             uint8_t sector[512];
             EXPECT_TRUE(file::open(boot, "$Boot", volume) && file::read(boot, 0, sector, 512));
             EXPECT_FALSE(file::write(boot, 0, sector, 512) || file::setSize(boot, 0) ||
                          file::setAttributes(boot, file::attributes{}) || file::create(boot, "$Extend/x", volume) ||
                          file::setReparseData("$MFT", sector, 8, volume) ||
                          file::setFileSecurity("$Extend/$Reparse", 4, sector, volume));
             ExpectErrors(Lines(6, "cannot change a system file"));
             EXPECT_TRUE(file::close(boot));
             // Allocations after all that leave the boot sector alone (ntfsfix checks).
             CreateFileWith("big", Pattern(4 << 20, 3));
             return Contents{{"/big", Pattern(4 << 20, 3)}};
         }},
        {"volume closed with files open", [&] {
             file::handle h;
             EXPECT_TRUE(file::create(h, "f", volume) && file::write(h, 0, first.data(), 70000));
             EXPECT_TRUE(filesystem::close(volume));
             EXPECT_FALSE(file::close(h) || filesystem::close(volume));
             volume = {};
             EXPECT_EQ(log->Errors(), (Lines{"invalid file handle", "Failed to dismount NTFS", "volume handle is invalid"}));
             return Contents{{"/f", first}};
         }},
        {"a closed volume's handles, with later volumes in its place", [&] {
             CreateFileWith("f", second);
             Dismount();
             Mount();
             file::handle stale;  // the session's first handle, as each `live` below is
             EXPECT_TRUE(file::open(stale, "f", volume) && file::close(stale));
             const filesystem::handle staleVolume = volume;
             // Enough mounts that one takes the first one's place.
             for (int session = 0; session < 150; ++session) {
                 Dismount();
                 Mount();
                 file::handle live;
                 uint64_t size = 0;
                 EXPECT_TRUE(file::open(live, "f", volume));
                 EXPECT_FALSE(file::getSize(stale, size) || filesystem::close(staleVolume) ||
                              filesystem::close(filesystem::handle{live.ptr}) ||
                              file::close(file::handle{reinterpret_cast<void*>(~uintptr_t{0})}));
                 ExpectErrors({"invalid file handle", "Failed to dismount NTFS", "volume handle is invalid",
                               "Failed to dismount NTFS", "volume handle is invalid", "invalid file handle"});
                 EXPECT_TRUE(file::close(live));
             }
             return Contents{{"/f", second}};
         }},
        {"entries removed, and the volume closed, from the listing callback", [&] {
             EXPECT_TRUE(directory::create("d", volume));
             for (int i = 0; i < 200; ++i) CreateFileWith("d/file " + std::to_string(i), {});
             // Safe, but entries the removals move within the index can be missed.
             for (int pass = 0; pass < 5 && !Listing("d").empty(); ++pass) {
                 EXPECT_TRUE(directory::fetch("d", volume, [](const directory::dirEntry& e, void* volume) {
                     const auto& mounted = *static_cast<filesystem::handle*>(volume);
                     return file::remove(("d/" + NameOf(e.name)).c_str(), mounted) && !filesystem::close(mounted);
                 }, &volume));
             }
             EXPECT_TRUE(Listing("d").empty());
             const Lines errors = log->Errors();
             EXPECT_EQ(Lines(errors.begin(), errors.begin() + 2), (Lines{"Failed to dismount NTFS", "volume is in use"}));
             return Contents{};
         }},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.what);
        ResetImage();
        Mount();
        const Contents kept = sequence.run();
        ExpectConsistent(kept);
    }
}

}  // namespace volcore::test
