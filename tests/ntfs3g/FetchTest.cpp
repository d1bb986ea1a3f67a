// Directory enumeration: compared with ntfsls and istat on the saved
// image, early stops, refusals, resuming, and damaged index blocks.
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>

#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "index/IndexFormat.h"
#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

using Listed = std::vector<std::pair<std::string, directory::dirEntry>>;
using Sized = std::vector<std::pair<std::string, uint64_t>>;

bool Collect(const directory::dirEntry& entry, void* listed) {
    static_cast<Listed*>(listed)->emplace_back(NameOf(entry.name), entry);
    return true;
}

Listed Fetch(const char* path, filesystem::handle volume) {
    Listed listed;
    EXPECT_TRUE(directory::fetch(path, volume, &Collect, &listed)) << path;
    return listed;
}

// `ntfsls -l` lines (size, a four-field date, the name), "." and ".." left out.
Sized Ntfsls(const std::string& image, const std::string& dir, const std::string& options) {
    const CommandResult result = RunCommand("ntfsls -a -s -l " + options + " -p " + ShellQuote(dir) + " " + ShellQuote(image));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    Sized lines;
    std::istringstream in(result.output);
    for (std::string line, name, date[4]; std::getline(in, line);) {
        std::istringstream fields(line);
        uint64_t size = 0;
        if (!(fields >> size >> date[0] >> date[1] >> date[2] >> date[3])) continue;
        fields.get();
        std::getline(fields, name);
        if (name != "." && name != "..") lines.emplace_back(name, size);
    }
    return lines;
}

// Every index entry, a DOS name as an entry of its own, in the order ntfsls
// walks the long names and with its sizes (the directory's copies of the
// metadata files' lengths are as old as the volume).
void ExpectSameAsNtfsls(const Listed& ours, const std::string& image, const std::string& dir) {
    Sized longNames = Ntfsls(image, dir, ""), ourLongNames;
    std::set<std::string> expected, got;
    for (const auto& line : Ntfsls(image, dir, "-x")) expected.insert(line.first);
    for (auto& [name, size] : longNames) expected.insert(name), size = name[0] == '$' ? 0 : size;
    for (const auto& [name, entry] : ours) {
        got.insert(name);
        if (std::any_of(longNames.begin(), longNames.end(), [&](const auto& line) { return line.first == name; }))
            ourLongNames.emplace_back(name, name[0] == '$' ? 0 : entry.size);
    }
    EXPECT_EQ(ourLongNames, longNames) << dir;
    EXPECT_EQ(got, expected) << dir;
    EXPECT_EQ(ours.size(), expected.size()) << dir;
}

// "2013-12-13 ..." as istat prints NTFS times.
std::string IstatTime(uint64_t ntfsTime) {
    const auto seconds = static_cast<time_t>(ntfsTime / 10000000 - 11644473600ull);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%07llu00", static_cast<unsigned long long>(ntfsTime % 10000000));
    return std::string(text) + fraction + " (UTC)";
}

// Opens `path` and then `dir` through libntfs-3g on the mounted volume. The
// file first: its lookup passes through the parent and leaves it in
// libntfs-3g's inode cache, so the parent is then open only once (two open
// copies of one inode leak one of them at close).
std::pair<ntfs_inode*, ntfs_inode*> OpenWithParent(filesystem::handle volume, const char* dir, const char* path) {
    ntfs_volume* mounted = fsfamily::VolumeOf(volume);
    ntfs_inode* inode = ntfs_pathname_to_inode(mounted, nullptr, path);
    return {inode, ntfs_pathname_to_inode(mounted, nullptr, dir)};
}

std::string BigName(int i) { return (i % 2 ? "File_" : "file_") + std::to_string(1000 + i) + ".dat"; }

}  // namespace

// A directory of hundreds of entries (so with INDX blocks), one with a
// separate DOS name, one subdirectory, two with exact sub-second times.
TEST_F(FamilyTest, FetchListsWhatTheIndependentToolsSee) {
    Mount();
    ASSERT_TRUE(directory::create("big", volume));
    for (int i = 0; i < 400; ++i) CreateFileWith("big/" + BigName(i), Pattern(static_cast<size_t>(i) * 37, i));
    ASSERT_TRUE(directory::create("big/Sub Dir", volume));
    CreateFileWith("big/A rather long file name.txt", Pattern(5000, 1));
    const auto [named, parent] = OpenWithParent(volume, "/big", "/big/A rather long file name.txt");
    ASSERT_TRUE(named && parent);
    ASSERT_EQ(ntfs_set_ntfs_dos_name(named, parent, "ARATHE~1.TXT", 12, 0), 0);  // closes both
    const file::attributes times{0x20, 130000000001234567ull, 130000000101234567ull, 130000000201234567ull, 0};
    const std::set<std::string> stamped = {"file_1000.dat", "File_1001.dat"};
    for (const std::string& name : stamped) {
        file::handle h;
        ASSERT_TRUE(file::open(h, ("big/" + name).c_str(), volume) && file::setAttributes(h, times) && file::close(h));
    }
    const Listed root = Fetch("", volume), big = Fetch("\\BIG", volume);
    const std::string image = SaveImage();
    ExpectSameAsNtfsls(root, image, "/");
    ExpectSameAsNtfsls(big, image, "/big");
    EXPECT_EQ(big.size(), 403u);

    // Each time in its place, to the 100 ns, as The Sleuth Kit reads them from the records.
    for (const auto& [name, entry] : big) {
        SCOPED_TRACE(name);
        EXPECT_EQ((entry.fileAttributes & 0x10) != 0, name == "Sub Dir");
        if (!stamped.count(name)) continue;
        EXPECT_EQ(std::tie(entry.creationTime, entry.lastAccessTime, entry.lastWriteTime),
                  std::tie(times.creationTime, times.lastAccessTime, times.lastWriteTime));
        const CommandResult record = RunCommand("ifind -n " + ShellQuote("/big/" + name) + " " + ShellQuote(image));
        const std::string stat = RunCommand("istat " + ShellQuote(image) + " " + record.output).output;
        for (const std::string& line : {"Created:\t" + IstatTime(times.creationTime),
                                       "File Modified:\t" + IstatTime(times.lastWriteTime),
                                       "Accessed:\t" + IstatTime(times.lastAccessTime)})
            EXPECT_NE(stat.find(line), std::string::npos) << line << "\n" << stat;
    }
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

    // The reader itself: resuming where a callback stopped it, and libntfs-3g's own form.
    std::vector<std::string> whole, names;
    for (const auto& entry : Fetch("", volume)) whole.push_back(entry.first);
    const auto [plain, root] = OpenWithParent(volume, "", "plain");
    ASSERT_TRUE(root && plain);
    using fsfamily::dirFiller;
    const dirFiller extended{1, nullptr, [](void* c, uint64_t, const fsfamily::dirEntryEx& e) {
                                 static_cast<std::vector<std::string>*>(c)->push_back(NameOf(e.name));
                                 return static_cast<std::vector<std::string>*>(c)->size() == 5 ? 1 : 0;
                             }};
    s64 position = 0;
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &extended), -1);
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &extended), 0);
    EXPECT_EQ(names, whole);

    size_t plainCount = 0;
    const dirFiller plainForm{0, [](void* c, const ntfschar*, const int, const int, const s64, const MFT_REF, const unsigned) {
                                  ++*static_cast<size_t*>(c);
                                  return 0;
                              }, nullptr};
    position = 0;
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &plainCount, &plainForm), 0);
    EXPECT_EQ(plainCount, whole.size() + 2);  // with "." and ".."
    ntfs_inode_close(plain);
    ntfs_inode_close(root);
}

TEST_F(FamilyTest, FetchFailsCleanlyOnDamagedIndexBlocks) {
    Mount();
    ASSERT_TRUE(directory::create("big", volume));
    for (int i = 0; i < 300; ++i) CreateFileWith("big/" + BigName(i), {});
    Dismount();
    Mount();
    ASSERT_EQ(Fetch("big", volume).size(), 300u);

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
    EXPECT_EQ(Fetch("big", volume).size(), 300u);
}

}  // namespace volcore::test
