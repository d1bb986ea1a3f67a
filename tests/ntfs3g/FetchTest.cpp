// Directory enumeration: compared with ntfsls, fls and istat on the saved
// image, early stops, refusals, resuming, and damaged index blocks.
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

using Lines = std::vector<std::string>;

struct Listed {
    std::string name;
    directory::dirEntry entry;
};

bool Collect(const directory::dirEntry& entry, void* context) {
    static_cast<std::vector<Listed>*>(context)->push_back({NameOf(entry.name), entry});
    return true;
}

std::vector<Listed> Fetch(const char* path, filesystem::handle volume) {
    std::vector<Listed> listed;
    EXPECT_TRUE(directory::fetch(path, volume, &Collect, &listed)) << path;
    return listed;
}

struct NtfslsLine {
    uint64_t size;
    std::string name;
};

// `ntfsls -l` lines: size, a four-field date, then the name.
std::vector<NtfslsLine> Ntfsls(const std::string& image, const std::string& dir, const std::string& options) {
    const CommandResult result = RunCommand("ntfsls " + options + " -p " + ShellQuote(dir) + " " + ShellQuote(image));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::vector<NtfslsLine> lines;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        NtfslsLine parsed;
        std::string month, day, clock, year;
        if (!(fields >> parsed.size >> month >> day >> clock >> year)) continue;
        fields.get();
        std::getline(fields, parsed.name);
        if (parsed.name != "." && parsed.name != "..") lines.push_back(parsed);
    }
    return lines;
}

uint64_t UnixSeconds(uint64_t ntfsTime) { return ntfsTime / 10000000 - 11644473600ull; }

// "2013-12-13 ..." as istat prints NTFS times.
std::string IstatTime(uint64_t ntfsTime) {
    const time_t seconds = static_cast<time_t>(UnixSeconds(ntfsTime));
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%07llu00", static_cast<unsigned long long>(ntfsTime % 10000000));
    return std::string(text) + fraction + " (UTC)";
}

// fls -m lines of the unnamed data under `prefix`: name -> size, atime, mtime, crtime.
std::map<std::string, std::vector<uint64_t>> FlsBody(const std::string& image, const std::string& prefix) {
    const CommandResult result = RunCommand("fls -r -m / " + ShellQuote(image));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::map<std::string, std::vector<uint64_t>> body;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '|');) fields.push_back(field);
        if (fields.size() < 11 || fields[1].rfind(prefix, 0) != 0) continue;
        const std::string name = fields[1].substr(prefix.size());
        if (name.find(" (") != std::string::npos || name.find(':') != std::string::npos) continue;
        body[name] = {std::stoull(fields[6]), std::stoull(fields[7]), std::stoull(fields[8]), std::stoull(fields[10])};
    }
    return body;
}

// Gives `path` the DOS name `shortName` through libntfs-3g on the mounted volume.
void AddDosName(filesystem::handle volume, const std::string& dir, const std::string& path, const std::string& shortName) {
    auto* mounted = fsfamily::VolumeOf(volume);
    // The file first: its lookup passes through the parent and leaves it in
    // libntfs-3g's inode cache, so the parent is then open only once (two
    // open copies of one inode leak one of them at close).
    ntfs_inode* inode = ntfs_pathname_to_inode(mounted, nullptr, path.c_str());
    ntfs_inode* parent = ntfs_pathname_to_inode(mounted, nullptr, dir.c_str());
    ASSERT_TRUE(parent && inode);
    // Closes both inodes.
    ASSERT_EQ(ntfs_set_ntfs_dos_name(inode, parent, shortName.c_str(), shortName.size(), 0), 0);
}

std::string BigName(int i) { return (i % 2 ? "File_" : "file_") + std::to_string(1000 + i) + ".dat"; }

}  // namespace

class FetchTest : public FamilyTest {
protected:
    // A directory of hundreds of entries (so with INDX blocks), one with a
    // separate DOS name, one subdirectory, two with exact sub-second times.
    void FillBig() {
        ASSERT_TRUE(directory::create("big", volume));
        for (int i = 0; i < 400; ++i) CreateFileWith("big/" + BigName(i), Pattern(static_cast<size_t>(i) * 37, i));
        ASSERT_TRUE(directory::create("big/Sub Dir", volume));
        CreateFileWith("big/A rather long file name.txt", Pattern(5000, 1));
        AddDosName(volume, "/big", "/big/A rather long file name.txt", "ARATHE~1.TXT");
        for (const char* stamped : {"big/file_1000.dat", "big/File_1001.dat"}) {
            file::handle h;
            ASSERT_TRUE(file::open(h, stamped, volume));
            ASSERT_TRUE(file::setAttributes(h, times));
            ASSERT_TRUE(file::close(h));
        }
    }

    file::attributes times{0x20, 130000000001234567ull, 130000000101234567ull, 130000000201234567ull, 0};
};

TEST_F(FetchTest, ListsWhatTheIndependentToolsSee) {
    Mount();
    FillBig();
    const std::vector<Listed> root = Fetch("", volume);
    const std::vector<Listed> big = Fetch("\\BIG", volume);
    const std::string image = SaveImage();

    // Root: the system files, never itself, "." or "..".
    std::set<std::string> rootNames;
    for (const Listed& l : root) rootNames.insert(l.name);
    for (const char* system : {"$MFT", "$MFTMirr", "$Bitmap", "$Boot", "$UpCase", "$Extend", "$Secure", "big"})
        EXPECT_TRUE(rootNames.count(system)) << system;
    EXPECT_FALSE(rootNames.count(".") || rootNames.count(".."));
    const auto rootTool = Ntfsls(image, "/", "-a -s -l");
    ASSERT_EQ(root.size(), rootTool.size());
    for (size_t i = 0; i < root.size(); ++i) {
        EXPECT_EQ(root[i].name, rootTool[i].name);
        // The directory's copies of the metadata files' lengths are as old as the volume.
        if (root[i].name[0] != '$') {
            EXPECT_EQ(root[i].entry.size, rootTool[i].size) << root[i].name;
        }
    }

    // The big directory: every index entry, the DOS name as an entry of its
    // own, in the order ntfsls walks it, with its sizes.
    const auto longNames = Ntfsls(image, "/big", "-a -s -l");
    const auto dosNames = Ntfsls(image, "/big", "-a -s -x -l");
    std::set<std::string> expected;
    for (const auto& l : longNames) expected.insert(l.name);
    for (const auto& l : dosNames) expected.insert(l.name);
    ASSERT_EQ(longNames.size(), 402u);
    EXPECT_EQ(expected.size(), 403u);
    std::set<std::string> got;
    for (const Listed& l : big) got.insert(l.name);
    EXPECT_EQ(big.size(), 403u);
    EXPECT_EQ(got, expected);
    std::vector<std::string> ourOrder, toolOrder;
    std::map<std::string, uint64_t> toolSize;
    for (const auto& l : longNames) {
        toolOrder.push_back(l.name);
        toolSize[l.name] = l.size;
    }
    for (const Listed& l : big)
        if (toolSize.count(l.name)) ourOrder.push_back(l.name);
    EXPECT_EQ(ourOrder, toolOrder);

    // Sizes and times against The Sleuth Kit.
    const auto body = FlsBody(image, "/big/");
    for (const Listed& l : big) {
        SCOPED_TRACE(l.name);
        if (l.name == "ARATHE~1.TXT") continue;
        if (toolSize.count(l.name)) {
            EXPECT_EQ(l.entry.size, toolSize[l.name]);
        }
        const bool isDirectory = (l.entry.fileAttributes & 0x10) != 0;
        EXPECT_EQ(isDirectory, l.name == "Sub Dir");
        if (isDirectory) continue;
        ASSERT_TRUE(body.count(l.name));
        const std::vector<uint64_t>& fls = body.at(l.name);
        EXPECT_EQ(l.entry.size, fls[0]);
        EXPECT_EQ(UnixSeconds(l.entry.lastAccessTime), fls[1]);
        EXPECT_EQ(UnixSeconds(l.entry.lastWriteTime), fls[2]);
        EXPECT_EQ(UnixSeconds(l.entry.creationTime), fls[3]);
    }

    // To the 100 ns, for the two re-stamped files.
    for (const Listed& l : big) {
        if (l.name != "file_1000.dat" && l.name != "File_1001.dat") continue;
        EXPECT_EQ(l.entry.creationTime, times.creationTime);
        EXPECT_EQ(l.entry.lastAccessTime, times.lastAccessTime);
        EXPECT_EQ(l.entry.lastWriteTime, times.lastWriteTime);
        const CommandResult istat = RunCommand("ifind -n " + ShellQuote("/big/" + l.name) + " " + ShellQuote(image));
        const std::string stat = RunCommand("istat " + ShellQuote(image) + " " + istat.output).output;
        EXPECT_NE(stat.find("Created:\t" + IstatTime(times.creationTime)), std::string::npos) << stat;
        EXPECT_NE(stat.find("File Modified:\t" + IstatTime(times.lastWriteTime)), std::string::npos) << stat;
        EXPECT_NE(stat.find("Accessed:\t" + IstatTime(times.lastAccessTime)), std::string::npos) << stat;
    }
}

TEST_F(FetchTest, StopsRefusesAndResumes) {
    Mount();
    CreateFileWith("plain", {1});
    log->Clear();
    int calls = 0;
    EXPECT_FALSE(directory::fetch("", volume, [](const directory::dirEntry&, void* c) {
        ++*static_cast<int*>(c);
        return false;
    }, &calls));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(directory::fetch("plain", volume, &Collect, &calls));
    EXPECT_FALSE(directory::fetch("absent", volume, &Collect, &calls));
    EXPECT_FALSE(directory::fetch("", filesystem::handle{}, &Collect, &calls));
    EXPECT_FALSE(directory::fetch("", volume, nullptr, nullptr));
    EXPECT_EQ(log->Errors(), (Lines{"ntfs_readdir_ex failed", "ntfs_readdir_ex failed", "invalid path",
                                    "volume handle is invalid", "ntfs_readdir_ex failed"}));

    // The reader itself: argument checks, libntfs-3g's own form, resuming.
    std::vector<std::string> whole;
    for (const Listed& l : Fetch("", volume)) whole.push_back(l.name);
    auto* mounted = fsfamily::VolumeOf(volume);
    // The file first, so that the root is open only once (see AddDosName).
    ntfs_inode* plain = ntfs_pathname_to_inode(mounted, nullptr, "plain");
    ntfs_inode* root = ntfs_pathname_to_inode(mounted, nullptr, "");
    ASSERT_TRUE(root && plain);
    using fsfamily::dirFiller;
    std::vector<std::string> names;
    dirFiller extended{1, nullptr, [](void* c, uint64_t, const fsfamily::dirEntryEx& e) {
                           static_cast<std::vector<std::string>*>(c)->push_back(NameOf(e.name));
                           return static_cast<std::vector<std::string>*>(c)->size() == 5 ? 1 : 0;
                       }};
    dirFiller unknown{7, nullptr, extended.extended};
    dirFiller missing{1, nullptr, nullptr};
    s64 position = 0;
    errno = 0;
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &unknown), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &missing), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fsfamily::readDirectoryEx(root, nullptr, &names, &extended), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fsfamily::readDirectoryEx(plain, &position, &names, &extended), -1);
    EXPECT_EQ(errno, ENOTDIR);

    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &extended), -1);
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &names, &extended), 0);
    EXPECT_EQ(names, whole);

    std::vector<std::string> plainNames;
    dirFiller plainForm{0, [](void* c, const ntfschar*, const int, const int, const s64, const MFT_REF, const unsigned) {
                            static_cast<std::vector<std::string>*>(c)->push_back("x");
                            return 0;
                        }, nullptr};
    position = 0;
    EXPECT_EQ(fsfamily::readDirectoryEx(root, &position, &plainNames, &plainForm), 0);
    EXPECT_EQ(plainNames.size(), whole.size() + 2);  // with "." and ".."
    ntfs_inode_close(plain);
    ntfs_inode_close(root);
}

TEST_F(FetchTest, DamagedIndexBlocksFailCleanly) {
    Mount();
    ASSERT_TRUE(directory::create("big", volume));
    for (int i = 0; i < 300; ++i) CreateFileWith("big/" + BigName(i), {});
    Dismount();
    Mount();
    const size_t expected = Fetch("big", volume).size();
    ASSERT_EQ(expected, 300u);

    // Every INDX block of the volume holding our names.
    std::vector<size_t> blocks;
    std::vector<uint8_t>& bytes = memory.Bytes();
    const uint8_t needle[] = {'f', 0, 'i', 0, 'l', 0, 'e', 0, '_', 0};
    for (size_t offset = 0; offset + 4096 <= bytes.size(); offset += 4096) {
        if (std::memcmp(&bytes[offset], "INDX", 4) != 0) continue;
        if (std::search(bytes.begin() + offset, bytes.begin() + offset + 4096, needle, needle + sizeof needle) !=
            bytes.begin() + offset + 4096)
            blocks.push_back(offset);
    }
    ASSERT_GE(blocks.size(), 2u);
    const std::vector<uint8_t> intact = bytes;

    struct Damage {
        const char* what;
        size_t field;  // from the block start
        size_t width;
        uint64_t value;
    };
    const volcore::CByteReader block(&bytes[blocks[0]], 4096);
    const size_t firstEntry = 24 + block.U32(24);
    const Damage damages[] = {
        {"entries offset past the block", 24, 4, 0x7FFFFFF0},
        {"index length past the block", 28, 4, 0xFFFFFFF0},
        {"zero entry length", firstEntry + 8, 2, 0},
        {"entry length past the node", firstEntry + 8, 2, 0xFFF8},
        {"key longer than the entry", firstEntry + 10, 2, 0xFFF0},
        {"key shorter than a file name", firstEntry + 10, 2, 8},
        {"bad magic", 0, 4, 0x58585858},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        bytes = intact;
        volcore::CByteWriter(&bytes[blocks[0]], 4096).PutLe(d.field, d.value, d.width);
        log->Clear();
        std::vector<Listed> listed;
        EXPECT_FALSE(directory::fetch("big", volume, &Collect, &listed));
        EXPECT_EQ(log->Errors(), Lines{"ntfs_readdir_ex failed"});
    }
    bytes = intact;
    EXPECT_EQ(Fetch("big", volume).size(), expected);
}

}  // namespace volcore::test
