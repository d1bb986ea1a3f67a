// Directory enumeration: compared with libntfs-3g's own walk of the index,
// early stops, refusals, resuming, and damaged index blocks.
#include <cstring>

#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "base/Unicode.h"
#include "disk/IndexFormat.h"
#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/Ntfs3g.h"
#include "support/Ntfs3gTree.h"

namespace volcore::test {
namespace {

using Listed = std::vector<std::pair<std::string, directory::dirEntry>>;

bool Collect(const directory::dirEntry& entry, void* listed) {
    static_cast<Listed*>(listed)->emplace_back(NameOf(entry.name), entry);
    return true;
}

Listed Fetch(const char* path, filesystem::handle volume) {
    Listed listed;
    EXPECT_TRUE(directory::fetch(path, volume, &Collect, &listed)) << path;
    return listed;
}

// Every index entry (a DOS name as an entry of its own) in libntfs-3g's order.
void ExpectSameNamesAsLibntfs(const Listed& ours, const std::string& image, const std::u16string& dir) {
    std::vector<std::string> expected, got;
    for (const Ntfs3gDirEntry& entry : Ntfs3gTree(image, true).Entries(dir)) expected.push_back(Utf16ToUtf8(entry.name));
    for (const auto& entry : ours) got.push_back(entry.first);
    EXPECT_EQ(got, expected);
}

std::string BigName(int i) { return (i % 2 ? "File_" : "file_") + std::to_string(1000 + i) + ".dat"; }

}  // namespace

// A directory of hundreds of entries (so with INDX blocks), one with a
// separate DOS name, one subdirectory; then its first index block damaged
// field by field. (The times a listing carries are checked with the
// attributes.)
TEST_F(FamilyTest, FetchListsWhatLibntfsSeesAndFailsCleanlyOnDamagedBlocks) {
    Mount();
    ASSERT_TRUE(directory::create("big", volume) && directory::create("big/Sub Dir", volume));
    for (int i = 0; i < 400; ++i) CreateFileWith("big/" + BigName(i), Pattern(static_cast<size_t>(i) * 37, i));
    CreateFileWith("big/A rather long file name.txt", Pattern(5000, 1));
    const std::string image = SaveImage();
    Ntfs3gTree(image).SetDosName(u"\\big\\A rather long file name.txt", "ARATHE~1.TXT");
    memory.Bytes() = ReadFileBytes(image);
    Mount();
    const Listed big = Fetch("\\BIG", volume);
    ExpectSameNamesAsLibntfs(Fetch("", volume), image, u"");
    ExpectSameNamesAsLibntfs(big, image, u"\\big");

    // The first INDX block of the volume holding our names.
    std::vector<uint8_t>& bytes = memory.Bytes();
    const uint8_t needle[] = {'f', 0, 'i', 0, 'l', 0, 'e', 0, '_', 0};
    size_t block = 0;
    for (size_t at = 0; block == 0 && at + 4096 <= bytes.size(); at += 4096)
        if (const uint8_t* start = bytes.data() + at; std::memcmp(start, "INDX", 4) == 0 &&
                                                        std::search(start, start + 4096, needle, std::end(needle)) != start + 4096)
            block = at;
    ASSERT_NE(block, 0u);
    const std::vector<uint8_t> intact = bytes;
    const size_t header = IndexBlock::Header;
    const size_t entry = header + CByteReader(&bytes[block], 4096).U32(header + IndexHeader::FirstEntry);
    const struct {
        const char* what;
        size_t field, width;
        uint64_t value;
    } damages[] = {
        {"entries offset past the block", header + IndexHeader::FirstEntry, 4, 0x7FFFFFF0},
        {"index length past the block", header + IndexHeader::BytesInUse, 4, 0xFFFFFFF0},
        {"zero entry length", entry + IndexEntry::Length, 2, 0},
        {"entry length past the node", entry + IndexEntry::Length, 2, 0xFFF8},
        {"key longer than the entry", entry + IndexEntry::KeyLength, 2, 0xFFF0},
        {"key shorter than a file name", entry + IndexEntry::KeyLength, 2, 8},
        {"bad magic", IndexBlock::Signature, 4, 0x58585858},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.what);
        bytes = intact;
        CByteWriter(&bytes[block], 4096).PutLe(d.field, d.value, d.width);
        log->Clear();
        Listed listed;
        EXPECT_FALSE(directory::fetch("big", volume, &Collect, &listed));
        ExpectErrors({"ntfs_readdir_ex failed"});
    }
    bytes = intact;
    EXPECT_EQ(Fetch("big", volume).size(), big.size());
}

TEST_F(FamilyTest, FetchStopsRefusesAndResumes) {
    Mount();
    CreateFileWith("plain", {1});
    log->Clear();
    int calls = 0;
    EXPECT_FALSE(directory::fetch("", volume, [](const directory::dirEntry&, void* c) {
        ++*static_cast<int*>(c);
        return false;
    }, &calls));
    EXPECT_EQ(calls, 1);
    Listed listed;
    EXPECT_FALSE(directory::fetch("plain", volume, &Collect, &listed) || directory::fetch("absent", volume, &Collect, &listed) ||
                 directory::fetch("", filesystem::handle{}, &Collect, &listed) || directory::fetch("", volume, nullptr, nullptr));
    ExpectErrors({"ntfs_readdir_ex failed", "ntfs_readdir_ex failed", "invalid path", "volume handle is invalid",
                  "ntfs_readdir_ex failed"});

    // The reader itself resumes where a callback stopped it.
    // The file is opened first: its lookup leaves the root in libntfs-3g's
    // inode cache, so the root is then open only once (two open copies of one
    // inode leak one of them at close).
    std::vector<std::string> whole, names;
    for (const auto& entry : Fetch("", volume)) whole.push_back(entry.first);
    ntfs_inode* plain = ntfs_pathname_to_inode(fsfamily::VolumeOf(volume), nullptr, "plain");
    ntfs_inode* root = ntfs_pathname_to_inode(fsfamily::VolumeOf(volume), nullptr, "");
    ASSERT_TRUE(root && plain);
    const fsfamily::SDirFiller extended{1, nullptr, [](void* c, uint64_t, const fsfamily::SDirEntryEx& e) {
                                           static_cast<std::vector<std::string>*>(c)->push_back(NameOf(e.name));
                                           return static_cast<std::vector<std::string>*>(c)->size() == 5 ? 1 : 0;
                                       }};
    s64 position = 0;
    EXPECT_EQ(fsfamily::ReadDirectoryEx(root, &position, &names, &extended), -1);
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(fsfamily::ReadDirectoryEx(root, &position, &names, &extended), 0);
    EXPECT_EQ(names, whole);
    ntfs_inode_close(plain);
    ntfs_inode_close(root);
}

}  // namespace volcore::test
