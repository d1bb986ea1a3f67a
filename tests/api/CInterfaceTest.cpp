// The C interface (volkit.h) over the handle family: paths in either encoding
// reach the same names, text that is no Unicode and null pointers fail with a
// line instead of a crash, the last error belongs to the calling thread, and
// what crosses back (entries, times, check results) carries the C++ calls'
// values field for field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/Bytes.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/check.h"
#include "volkit/volkit.h"
#include "disk/BootSector.h"

using namespace volcore::test;
using namespace volkit::api;

namespace {

class CInterface : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(volkit_open_volume(&device, &volume)) << volkit_last_error(); }
    void TearDown() override {
        if (volume) {
            EXPECT_TRUE(volkit_close_volume(volume)) << volkit_last_error();
        }
    }

    volkit_file* NewFile(const char* path, const char* text) {
        volkit_file* file = nullptr;
        const auto size = static_cast<uint32_t>(std::strlen(text));
        EXPECT_TRUE(volkit_create_file_utf8(volume, path, &file) && volkit_set_file_size(file, size) &&
                    volkit_write_file(file, 0, text, size))
            << volkit_last_error();
        return file;
    }

    MemoryDevice memory = FormattedMemoryDevice(16 << 20);
    NtfsIoDevice api = memory.Api();
    volkit_device device{api.context, api.read, api.write, api.getSize};
    volkit_volume* volume = nullptr;
};

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool CollectName(const volkit_dir_entry* entry, void* context) {
    auto& names = *static_cast<std::vector<std::pair<std::u16string, std::string>>*>(context);
    std::u16string units;
    for (const uint16_t* unit = entry->name; *unit; ++unit) units.push_back(static_cast<char16_t>(*unit));
    if (entry->name_space != 2) names.emplace_back(units, entry->name_utf8);
    return true;
}

}  // namespace

TEST_F(CInterface, PathsInEitherEncodingNameTheSameEntry) {
    const uint16_t smile[] = {'d', '\\', 0xD83D, 0xDE00, '.', 't', 'x', 't', 0};  // U+1F600 as a pair
    volkit_dir* dir = nullptr;
    volkit_file* file = nullptr;
    ASSERT_TRUE(volkit_create_dir_utf8(volume, "d", &dir) && volkit_create_file(volume, smile, &file));
    ASSERT_TRUE(volkit_close_file(file));
    ASSERT_TRUE(volkit_open_file_utf8(volume, "D\\\xF0\x9F\x98\x80.TXT", &file)) << volkit_last_error();
    ASSERT_TRUE(volkit_close_file(file));
    std::vector<std::pair<std::u16string, std::string>> names;
    ASSERT_TRUE(volkit_enum_dir(dir, &CollectName, &names) && volkit_close_dir(dir));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].first, u"\U0001F600.txt");
    EXPECT_EQ(names[0].second, "\xF0\x9F\x98\x80.txt");
}

// Every refusal leaves its one line, as the thread's last error and in the
// log, and the caller's out-pointer as it was.
TEST_F(CInterface, NoUnicodeTextAndNullPointersAreRefusedWithTheCallsLine) {
    const uint16_t loneHigh[] = {'a', 0xD800, 0};
    const uint16_t loneLow[] = {0xDC00, 'b', 0};
    int sentinel = 0;
    volkit_file* file = NewFile("f.txt", "abc");
    volkit_file* fileOut = reinterpret_cast<volkit_file*>(&sentinel);
    volkit_dir* dirOut = reinterpret_cast<volkit_dir*>(&sentinel);
    volkit_volume* volumeOut = reinterpret_cast<volkit_volume*>(&sentinel);
    volkit_dir* root = nullptr;
    ASSERT_TRUE(volkit_open_dir_utf8(volume, "", &root));
    char byte = 0;
    struct Case {
        std::function<bool()> call;
        std::string line;
    } cases[] = {
        {[&] { return volkit_create_file(volume, loneHigh, &fileOut); },
         "Failed to create NTFS file 'a" + kReplacement + "': Invalid code point: 55296"},
        {[&] { return volkit_open_dir(volume, loneLow, &dirOut); },
         "Failed to open NTFS directory '" + kReplacement + "b': Invalid code point: 56320"},
        {[&] { return volkit_create_dir_utf8(volume, "a\xFF", &dirOut); },
         "Failed to create NTFS directory 'a" + kReplacement + "': Invalid UTF-8 text"},
        {[&] { return volkit_open_file_utf8(volume, "\xC0\xAF", &fileOut); },
         "Failed to open NTFS file '" + kReplacement + kReplacement + "': Invalid UTF-8 text"},
        {[&] { return volkit_open_volume(&device, nullptr); }, "Invalid argument of volkit_open_volume: null pointer"},
        {[&] { return volkit_format_volume(nullptr, nullptr); },
         "Invalid argument of volkit_format_volume: null pointer"},
        {[&] { return volkit_open_dir_utf8(volume, "nothing", &dirOut); },
         "Failed to open NTFS directory 'nothing': Entry nothing doesn't exist"},
        {[&] { return volkit_open_dir_utf8(volume, "f.txt", &dirOut); },
         "Failed to open NTFS directory 'f.txt': Attribute 144 $I30 not found"},
        {[&] { return volkit_open_file(volume, nullptr, &fileOut); },
         "Failed to open NTFS file '': Invalid path: null pointer"},
        {[&] { return volkit_create_dir_utf8(volume, "x", nullptr); },
         "Invalid argument of volkit_create_dir_utf8: null pointer"},
        {[&] { return volkit_read_file(file, 0, nullptr, 1); }, "Invalid argument of volkit_read_file: null pointer"},
        {[&] { return volkit_get_file_allocated_size(file, nullptr); },
         "Invalid argument of volkit_get_file_allocated_size: null pointer"},
        {[&] { return volkit_get_file_data_range(file, 0, nullptr, nullptr); },
         "Invalid argument of volkit_get_file_data_range: null pointer"},
        {[&] { return volkit_enum_dir(root, nullptr, nullptr); }, "Invalid argument of volkit_enum_dir: null pointer"},
        {[&] { return volkit_read_file(nullptr, 0, &byte, 1); },
         "Failed to read from NTFS file (offset 0, length 1): Invalid file handle"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_FALSE(c.call());
        EXPECT_EQ(volkit_last_error(), c.line);
        EXPECT_EQ(log.Errors(), std::vector<std::string>{c.line});
    }
    EXPECT_EQ((std::vector<void*>{fileOut, dirOut, volumeOut}), std::vector<void*>(3, &sentinel));
    EXPECT_TRUE(volkit_close_file(file) && volkit_close_dir(root));
}

TEST_F(CInterface, LastErrorBelongsToTheCallingThread) {
    volkit_file* file = nullptr;
    EXPECT_FALSE(volkit_open_file_utf8(volume, "missing", &file));
    const std::string mine = "Failed to open NTFS file 'missing': Entry missing doesn't exist";
    EXPECT_EQ(volkit_last_error(), mine);
    std::string before, after;
    std::thread other([&] {
        before = volkit_last_error();
        volkit_close_file(nullptr);
        after = volkit_last_error();
    });
    other.join();
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "Failed to close NTFS file: 'Invalid file handle'");
    EXPECT_EQ(volkit_last_error(), mine);
}

namespace {

// Every field of an entry, so that a field carried into the wrong place shows.
std::vector<uint64_t> Fields(const NtfsDirEntry& e) {
    return {e.fileReference, e.creationTime, e.lastAccessTime, e.lastWriteTime, e.mftChangeTime, e.allocatedSize,
            e.dataSize, e.attributes, e.nameSpace, e.isDirectory};
}
std::vector<uint64_t> Fields(const volkit_dir_entry* e) {
    return {e->file_reference, e->creation_time, e->last_access_time, e->last_write_time, e->mft_change_time,
            e->allocated_size, e->data_size, e->attributes, e->name_space, e->is_directory};
}

// What either interface hands its callbacks: an entry's fields, a problem as a line.
template <class Entry>
bool Collect(Entry entry, void* context) {
    static_cast<std::vector<std::vector<uint64_t>>*>(context)->push_back(Fields(entry));
    return true;
}
template <class Problem>
void CollectProblem(const Problem& p, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::to_string(p.kind) + " " + p.code + " " +
                                                               std::to_string(p.record) + " " + p.message);
}

}  // namespace

TEST_F(CInterface, EntriesTimesAndCheckCarryTheCppValues) {
    volkit_file* file = NewFile("stamped.txt", "hello");
    const volkit_times stamp{1111, 2222, 3333, 0x21, 0};
    volkit_times back{};
    ASSERT_TRUE(volkit_set_file_times(file, &stamp) && volkit_get_file_times(file, &back));
    EXPECT_EQ((std::vector<uint64_t>{back.creation_time, back.last_access_time, back.last_write_time, back.attributes}),
              (std::vector<uint64_t>{1111, 2222, 3333, 0x21}));
    // Sparse: a growth past the 16 MiB volume is a hole.
    uint64_t allocated = 1;
    ASSERT_TRUE(volkit_set_file_sparse(file) && volkit_set_file_size(file, 1ull << 40) &&
                volkit_get_file_allocated_size(file, &allocated) && volkit_get_file_times(file, &back))
        << volkit_last_error();
    EXPECT_EQ(allocated, 4096u);  // the cluster of the bytes that left the record
    EXPECT_EQ(back.attributes, 0x221u);
    ASSERT_TRUE(volkit_close_file(file));

    volkit_dir* root = nullptr;
    ASSERT_TRUE(volkit_open_dir_utf8(volume, "", &root));
    std::vector<std::vector<uint64_t>> viaC, viaCpp;
    ASSERT_TRUE(volkit_enum_dir(root, &Collect<const volkit_dir_entry*>, &viaC));
    ASSERT_TRUE(NtfsEnumDir(NtfsDirHandle{root}, &Collect<const NtfsDirEntry&>, &viaCpp));
    EXPECT_EQ(viaC, viaCpp);
    EXPECT_GT(viaC.size(), 12u);
    ASSERT_TRUE(volkit_close_dir(root) && volkit_close_volume(volume));
    volume = nullptr;

    // The root directory's record (5) loses its signature: damage to report.
    const volcore::CByteReader boot(memory.Bytes().data(), volcore::kBootSectorSize);
    const uint64_t mft = boot.U64(volcore::BootField::MftLcn) * boot.U16(volcore::BootField::BytesPerSector) *
                         boot.U8(volcore::BootField::SectorsPerCluster);
    std::memcpy(&memory.Bytes()[mft + 5 * 1024], "BAAD", 4);
    NtfsCheckSummary cppSummary;
    std::vector<std::string> cppProblems, cProblems;
    NtfsCheckVolume(api, &CollectProblem<NtfsCheckProblem>, &cppProblems, cppSummary);
    volkit_check_summary summary{};
    auto collectC = [](const volkit_check_problem* p, void* context) { CollectProblem(*p, context); };
    ASSERT_TRUE(volkit_check_volume(&device, collectC, &cProblems, &summary));
    EXPECT_FALSE(cProblems.empty());
    EXPECT_EQ(cProblems, cppProblems);
    EXPECT_EQ((std::vector<uint64_t>{summary.mft_records, summary.records_in_use, summary.directories,
                                     summary.index_entries, summary.clusters, summary.clusters_in_use, summary.damage,
                                     summary.leaks, summary.complete}),
              (std::vector<uint64_t>{cppSummary.mftRecords, cppSummary.recordsInUse, cppSummary.directories,
                                     cppSummary.indexEntries, cppSummary.clusters, cppSummary.clustersInUse,
                                     cppSummary.damage, cppSummary.leaks, cppSummary.complete}));
}

TEST(CInterfaceFormat, LabelInEitherEncodingAndNotBoth) {
    MemoryDevice memory(std::vector<uint8_t>(8 << 20));
    NtfsIoDevice api = memory.Api();
    volkit_device device{api.context, api.read, api.write, api.getSize};
    const uint16_t label[] = {'D', 0xE9, 0};
    volkit_format_options options{};
    options.label = label;
    options.label_utf8 = "D\xC3\xA9";
    EXPECT_FALSE(volkit_format_volume(&device, &options));
    EXPECT_STREQ(volkit_last_error(), "Failed to format NTFS volume: Both label and label_utf8 are set");
    options.label = nullptr;
    ASSERT_TRUE(volkit_format_volume(&device, &options)) << volkit_last_error();
    // The label is the $VOLUME_NAME of record 3; the formatter writes it as UTF-16.
    const std::vector<uint8_t>& bytes = memory.Bytes();
    const char16_t expected[] = u"D\u00e9";
    const auto found = std::search(bytes.begin(), bytes.end(), reinterpret_cast<const uint8_t*>(expected),
                                    reinterpret_cast<const uint8_t*>(expected) + 4);
    EXPECT_NE(found, bytes.end());
}

TEST_F(CInterface, StreamsAreNamedByPathAndListedWithBothNames) {
    const uint16_t stream[] = {'f', ':', 0xE9, 't', 0};  // "f:\u00e9t" in UTF-16
    volkit_file* file = NewFile("f:data", "12345");
    ASSERT_TRUE(volkit_close_file(file) && volkit_create_file(volume, stream, &file)) << volkit_last_error();
    std::vector<std::pair<std::string, uint64_t>> streams;
    auto collect = [](const volkit_stream_entry* entry, void* context) {
        EXPECT_EQ(entry->name[0] == 0xE9, entry->name_utf8[0] == '\xC3');
        static_cast<decltype(streams)*>(context)->emplace_back(entry->name_utf8, entry->data_size);
        return true;
    };
    ASSERT_TRUE(volkit_enum_streams(file, collect, &streams) && volkit_close_file(file));
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(streams, (decltype(streams){{"data", 5}, {"\xC3\xA9t", 0}}));
    ASSERT_TRUE(volkit_open_file_utf8(volume, "F:\xC3\x89T:$DATA", &file)) << volkit_last_error();
    EXPECT_TRUE(volkit_close_file(file));
}

TEST_F(CInterface, SymlinksAreMadeAndReadWithBothNames) {
    const uint16_t path[] = {'l', 0};
    const uint16_t target[] = {'.', '.', '/', 0xE9, 0};  // "../\u00e9" in UTF-16
    ASSERT_TRUE(volkit_create_symlink(volume, path, target, false)) << volkit_last_error();
    struct Seen {
        std::string target, print;
        uint32_t kind = 0;
        uint8_t relative = 2;
        bool operator==(const Seen&) const = default;
    };
    auto keep = [](const volkit_link_target* link, void* context) {
        *static_cast<Seen*>(context) = {link->target_utf8, link->print_name_utf8, link->kind, link->relative};
        EXPECT_EQ(link->target[0] == '.', link->print_name[0] == '.');
    };
    volkit_file* file = nullptr;
    Seen seen;
    ASSERT_TRUE(volkit_open_file_utf8(volume, "l", &file) && volkit_read_link_target(file, keep, &seen));
    EXPECT_TRUE(volkit_close_file(file));
    EXPECT_TRUE(seen == (Seen{"..\\\xC3\xA9", "..\\\xC3\xA9", VOLKIT_SYMBOLIC_LINK, 1})) << seen.target << " " << seen.print;
    EXPECT_FALSE(volkit_create_symlink_utf8(volume, "x", "\xFF", false));
    EXPECT_NE(std::string(volkit_last_error()).find("Invalid UTF-8"), std::string::npos) << volkit_last_error();
}
