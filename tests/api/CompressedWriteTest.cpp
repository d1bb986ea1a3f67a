// Compressed and sparse files changed through the handle family over two
// sessions, with libntfs-3g reading and changing them between and after: our
// files made compressed by their directory's flag, and files libntfs-3g wrote
// compressed (with a unit of zeros and a hole) or sparse. Every reader agrees
// with the model byte for byte, whole and in pieces across units; our check
// and ntfsck find the volume clean, and our check finds a wrong compressed
// size. A last session that only reads writes nothing. Then the same changes,
// each in an open and close of its own, cut short by a power loss at every
// write point.
#include <gtest/gtest.h>

#include <cstdlib>

#include "InteropSupport.h"
#include "base/Bytes.h"
#include "base/Unicode.h"
#include "codec/Samples.h"
#include "disk/RecordFormat.h"
#include "support/ImageEditor.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"
#include "disk/BootSector.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

// 't' text, 'n' noise, 'z' zeros: `length` bytes written at `at` (the file
// grown first where it ends before); 'r': resized to `at`; 'S': made sparse;
// 'h': `length` bytes at `at` zeroed (a hole where the file is sparse).
struct Change {
    Change(char kind_, uint64_t at_, uint64_t length_ = 0) : kind(kind_), at(at_), length(length_) {}
    char kind;
    uint64_t at, length;
};

// The change on the model and through the handle, in 4 KiB writes as a copying program makes them.
bool Apply(Bytes& model, NtfsFileHandle file, const Change& c, uint32_t seed) {
    if (c.kind == 'r') return model.resize(c.at), SetFileSize(c.at, file);
    if (c.kind == 'S') return NtfsSetFileSparse(file);
    if (c.kind == 'h') return std::fill_n(model.begin() + static_cast<long>(c.at), c.length, 0), NtfsZeroFileRange(c.at, c.length, file);
    const Bytes bytes = c.kind == 't' ? TextSample(c.length, seed) : c.kind == 'n' ? Pattern(c.length, seed) : Bytes(c.length);
    if (model.size() < c.at + c.length && !SetFileSize(c.at + c.length, file)) return false;
    model.resize(std::max<size_t>(model.size(), c.at + c.length));
    std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<long>(c.at));
    for (size_t done = 0; done < bytes.size(); done += 4096)
        if (!NtfsWriteFile(c.at + done, bytes.data() + done, static_cast<unsigned>(std::min<size_t>(4096, bytes.size() - done)), file))
            return false;
    return true;
}

constexpr uint64_t U = 16 * 4096;  // a compression unit with 4 KiB clusters

// Path ("theirs" libntfs-3g made before our first session), then the changes of our two sessions.
const std::vector<std::tuple<std::u16string, bool, std::vector<Change>, std::vector<Change>>> kFiles = {
    {u"c\\text", false, {{'t', 0, 5 * U + 1234}, {'h', U + 9, U}}, {{'t', U - 100, 300}, {'r', 2 * U + 7}}},
    {u"c\\noise", false, {{'n', 0, 3 * U - 77}, {'z', 3 * U, 5}}, {{'t', U / 2, U}}},
    {u"c\\zeros", false, {{'z', 0, 4 * U}, {'t', 2 * U + 5, 100}}, {{'z', 2 * U, U}}},
    {u"c\\regrown", false, {{'t', 0, 3 * U}, {'r', U + 100}, {'r', 4 * U}, {'t', 3 * U + 10, 50}}, {{'r', 0}, {'t', 0, 3000}}},
    {u"c\\small", false, {{'t', 0, 300}}, {{'t', 200, 2 * U}}},
    {u"c\\theirs", true, {{'t', 2 * U - 10, 20}, {'n', 4 * U, 100}}, {{'r', U + 1}}},
    {u"s\\holes", true, {{'t', 100, 10}, {'n', 5 * U + 3, 9000}, {'t', 9 * U, 5000}}, {{'r', 12 * U}, {'t', 11 * U, 10}, {'r', 6 * U}}},
    {u"s\\ends", true, {{'r', 20 * U}, {'t', 20 * U - 10, 10}}, {{'t', 0, 4096}, {'r', 3 * U}}},
    // Ours: kept in the record, then made sparse and grown by a hole; then written in the hole.
    {u"s\\made", false, {{'t', 0, 300}, {'S', 0}, {'r', 40 * U}, {'n', 30 * U, 5000}}, {{'t', 100, 9000}, {'r', 41 * U}}},
    // Ours, with a hole made in the middle (its ends written) and zeros at the end and inside a hole.
    {u"s\\zeroed", false, {{'n', 0, 3 * U}, {'S', 0}, {'h', 1000, 2 * U}}, {{'h', 3 * U - 10, 10}, {'h', 2000, 5000}}},
};

using Models = std::map<std::u16string, Bytes>;

// The files libntfs-3g makes before our first session: a compressed one with
// a unit of zeros, grown past its initialized size, and two sparse ones.
Models TheirFiles(const std::string& image) {
    Models model = {{u"c\\theirs", TextSample(5 * U + 999, 3)}, {u"s\\holes", Bytes(10 * U)}, {u"s\\ends", Bytes(10 * U)}};
    std::fill_n(model[u"c\\theirs"].begin() + U, U, 0);  // a unit of zeros
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"c");
        tree.SetAttributes(u"c", 0x10 | 0x800);  // new files in it are compressed
        tree.MakeDirectory(u"s");
        tree.MakeFile(u"c\\theirs", model[u"c\\theirs"]);
        tree.Resize(u"c\\theirs", 6 * U);  // past its initialized size (libntfs-3g grows it to its last unit's end)
        model[u"c\\theirs"] = tree.Read(u"c\\theirs");
        for (const std::u16string path : {u"s\\holes", u"s\\ends"}) {
            tree.MakeFile(path);
            tree.Resize(path, 10 * U);  // a hole libntfs-3g then writes into
            const Bytes piece = TextSample(3000, 4);
            tree.WriteAt(path, 3 * U, piece);
            std::copy(piece.begin(), piece.end(), model[path].begin() + 3 * U);
        }
    }
    return model;
}

// The bytes of the holes the file reports; none of them may hold data.
uint64_t ReportedHoles(NtfsVolumeHandle volume, const std::u16string& path, const Bytes& model) {
    NtfsFileHandle file;
    EXPECT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(path).c_str(), file, volume));
    uint64_t holes = 0;
    unsigned long long start = 0, length = 0;
    for (uint64_t at = 0; at < model.size() && NtfsGetFileDataRange(at, start, length, file); at = start + length) {
        const bool inside = start >= at && start + length <= model.size() && (length || start == model.size());
        EXPECT_TRUE(inside) << at;
        if (!inside) break;
        EXPECT_TRUE(std::all_of(model.begin() + at, model.begin() + start, [](uint8_t b) { return b == 0; })) << at;
        holes += start - at;
        if (length == 0) break;
    }
    EXPECT_TRUE(NtfsCloseFile(file));
    return holes;
}

void ExpectClean(const std::string& image, MemoryDevice& device, const char* when, bool askNtfsck = true) {
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << when << "\n" << CheckVolume(device.Api()).Describe();
    if (askNtfsck) {
        EXPECT_TRUE(NtfsckAccepts(image)) << when;
    }
}

}  // namespace

class CompressedWrites : public ::testing::TestWithParam<uint32_t> {};

// Units of 16 clusters: 64 KiB with 4 KiB clusters, 8 KiB with 512-byte ones.
TEST_P(CompressedWrites, OursAndTheirsAgreeWithLibntfs3gAcrossSessions) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("written.img");
    MakeNtfsImage(image, WithClusters(GetParam(), 64ull << 20));
    Models model = TheirFiles(image);
    uint32_t seed = 10;
    for (int session = 0; session < 2; ++session) {
        MemoryDevice device = MemoryDevice::FromFile(image);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        for (const auto& [path, theirs, first, second] : kFiles) {
            NtfsFileHandle file;
            const std::wstring wide = volcore::Utf16ToWide(path);
            ASSERT_TRUE(theirs || session ? NtfsOpenFile(wide.c_str(), file, volume) : NtfsCreateFile(wide.c_str(), file, volume));
            for (const Change& change : session ? second : first) ASSERT_TRUE(Apply(model[path], file, change, ++seed)) << Utf8(path);
            ASSERT_TRUE(NtfsCloseFile(file));
            EXPECT_EQ(ReadThroughHandles(volume, path, 5000), model[path]) << Utf8(path);
        }
        for (const wchar_t* holed : {L"s\\made", L"s\\zeroed"}) {
            NtfsFileHandle file;
            unsigned long long allocated = 0;
            ASSERT_TRUE(NtfsOpenFile(holed, file, volume) && NtfsGetFileAllocatedSize(allocated, file) && NtfsCloseFile(file));
            EXPECT_LT(allocated, 2 * U) << "the holes of a file made sparse took clusters";
        }
        for (const auto& [path, theirs, first, second] : kFiles)
            EXPECT_TRUE(ReportedHoles(volume, path, model[path]) > 0 || path[0] == u'c') << Utf8(path) << " shows no hole";
        ASSERT_TRUE(NtfsCloseVolume(volume));
        device.SaveToFile(image);
        ExpectClean(image, device, session ? "after our second session" : "after our first session");

        Ntfs3gTree tree(image);  // reads ours, writes into our units and holes, and grows the files
        tree.EnableCompression();
        for (const auto& [path, theirs, first, second] : kFiles) {
            EXPECT_EQ(tree.Read(path), model[path]) << Utf8(path) << " as libntfs-3g reads it";
            EXPECT_TRUE(tree.DataFlags(path) & (path[0] == u'c' ? 1 : 0x8000)) << Utf8(path);
            const Bytes more = TextSample(U / 3, ++seed), tail = Pattern(5000, ++seed);
            const size_t at = model[path].size() / 2;
            tree.WriteAt(path, at, more);
            tree.Append(path, tail);
            model[path].resize(std::max(model[path].size(), at + more.size()));
            std::copy(more.begin(), more.end(), model[path].begin() + static_cast<long>(at));
            model[path].insert(model[path].end(), tail.begin(), tail.end());
        }
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (const auto& [path, theirs, first, second] : kFiles) {
        EXPECT_EQ(ReadThroughHandles(volume, path), model[path]) << Utf8(path);
        std::string slashed = "/" + Utf8(path);
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        const std::string inode = RunCommand("ifind -n " + ShellQuote(slashed) + " " + ShellQuote(image)).output;
        const std::string icat = RunCommand("icat " + ShellQuote(image) + " " + inode.substr(0, inode.find('\n'))).output;
        if (HaveProgram("icat")) {
            EXPECT_TRUE(Bytes(icat.begin(), icat.end()) == model[path]) << slashed << " as icat reads it";
        }
    }
    const uint64_t text = ListThroughHandles(volume, u"c").at(u"text");
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(device.Bytes(), ReadFileBytes(image)) << "a session that only reads wrote";
    ExpectClean(image, device, "after libntfs-3g changed our files");
    {
        ImageEditor editor(device.Bytes(), volcore::CByteReader(device.Bytes()).U64(volcore::BootField::MftLcn) * GetParam() + text * 1024, 1024);
        size_t at = editor.Field(volcore::FileRecord::FirstAttribute, 2);
        while (editor.Field(at, 4) != volcore::AttrType::Data) at += editor.Field(at + 4, 4);
        editor.SetField(at + volcore::AttrRecord::CompressedSize, 8, editor.Field(at + volcore::AttrRecord::CompressedSize, 8) + 4096);
    }
    EXPECT_TRUE(CheckVolume(device.Api()).Mentions("gives a compressed size")) << CheckVolume(device.Api()).Describe();
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, CompressedWrites, ::testing::Values(4096u, 512u));

// On a volume with no cluster left, a unit rewritten smaller goes where it
// lies instead of into a copy: the caller's write is kept, the volume stays clean.
TEST(CompressedWrites, AFullVolumeRewritesAUnitInPlace) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("full.img");
    MakeNtfsImage(image, WithClusters(4096, 16ull << 20));
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"c");
        tree.SetAttributes(u"c", 0x10 | 0x800);
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    Bytes model, filled;
    NtfsFileHandle file, filler;
    ASSERT_TRUE(NtfsCreateFile(L"c\\text", file, volume) && Apply(model, file, {'t', 0, 4 * U}, 1) && NtfsCloseFile(file));
    ASSERT_TRUE(NtfsCreateFile(L"fill", filler, volume));
    for (uint64_t chunk : {uint64_t{1} << 20, uint64_t{4096}})
        while (Apply(filled, filler, {'n', filled.size(), chunk}, 2)) {
        }
    EXPECT_TRUE(NtfsCloseFile(filler));
    ASSERT_TRUE(NtfsOpenFile(L"c\\text", file, volume));
    EXPECT_TRUE(Apply(model, file, {'z', U + 100, 5000}, 3) && NtfsCloseFile(file));
    EXPECT_EQ(ReadThroughHandles(volume, u"c\\text"), model);
    ASSERT_TRUE(NtfsCloseVolume(volume));
    device.SaveToFile(image);
    ExpectClean(image, device, "after the rewrite on the full volume");
}

namespace {

// `acked` holds what the last close of each file left, `changing` what the change under way makes of it.
bool CutStep(NtfsVolumeHandle volume, const std::u16string& path, const Change& change, uint32_t seed, Models& acked,
             Models& changing) {
    const bool create = !acked.count(path);
    changing[path] = create ? Bytes() : acked[path];
    NtfsFileHandle file;
    const std::wstring wide = volcore::Utf16ToWide(path);
    bool ok = (create ? NtfsCreateFile : NtfsOpenFile)(wide.c_str(), file, volume) && Apply(changing[path], file, change, seed);
    if (file.ptr) ok = NtfsCloseFile(file) && ok;
    if (ok) acked[path] = changing[path], changing.erase(path);
    return ok;
}

bool CutSessions(MemoryDevice& memory, const Models& theirs, Models& acked, Models& changing) {
    LogCapture log;
    acked = theirs;
    changing.clear();
    uint32_t seed = 0;
    for (int session = 0; session < 2; ++session) {
        NtfsVolumeHandle volume;
        if (!NtfsOpenVolume(memory.Api(), volume)) return false;
        bool ok = true;
        for (const auto& [path, made, first, second] : kFiles)
            for (const Change& change : session ? second : first) ok = ok && CutStep(volume, path, change, ++seed, acked, changing);
        if (!NtfsCloseVolume(volume) || !ok) return false;
    }
    return true;
}

// Every byte as the file's last close left it, or, in the file the cut
// interrupted, as the change would have left it.
void ExpectIntact(NtfsVolumeHandle volume, const Models& acked, const Models& changing) {
    for (const auto& [path, before] : acked) {
        const Bytes& after = changing.count(path) ? changing.at(path) : before;
        Bytes got;
        try {
            got = ReadThroughHandles(volume, path);
        } catch (const std::exception& failure) {
            ADD_FAILURE() << failure.what();
            continue;
        }
        bool same = got.size() == before.size() || got.size() == after.size();
        for (size_t i = 0; same && i < got.size(); ++i)
            same = (i < before.size() && got[i] == before[i]) || (i < after.size() && got[i] == after[i]);
        EXPECT_TRUE(same) << Utf8(path) << " is neither as closed nor as being changed";
    }
}

}  // namespace

// A unit rewritten in the clusters it has would lose, on a cut, bytes that
// an earlier close acknowledged. Every kCutStride-th write point is cut
// (every one with VOLKIT_FULL_SWEEP); the repaired volume must be clean.
TEST(CompressedPowerCuts, AcknowledgedDataSurvivesEveryCut) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    constexpr uint64_t kCutStride = 3, kNtfsckEvery = 8;
    TempDir dir;
    const std::string image = dir.File("cut.img");
    MakeNtfsImage(image, WithClusters(4096, 16ull << 20));
    const Models theirs = TheirFiles(image);
    const MemoryDevice fresh = MemoryDevice::FromFile(image);
    MemoryDevice uncut = fresh;
    Models acked, changing;
    ASSERT_TRUE(CutSessions(uncut, theirs, acked, changing));
    uncut.SaveToFile(image);
    ExpectClean(image, uncut, "uncut");
    const uint64_t stride = std::getenv("VOLKIT_FULL_SWEEP") ? 1 : kCutStride;
    for (uint64_t k = 1, points = 0; k <= uncut.writeCount; k += stride) {
        SCOPED_TRACE("cut at write " + std::to_string(k));
        MemoryDevice memory = fresh;
        memory.powerCutAtWrite = k;
        EXPECT_FALSE(CutSessions(memory, theirs, acked, changing));
        MemoryDevice cut(std::move(memory.Bytes()));
        for (const std::string& line : CheckVolume(cut.Api()).damage)
            EXPECT_TRUE(line.rfind("mft-mirror: MFT mirror: record ", 0) == 0) << line;
        LogCapture log;
        NtfsCheckSummary summary;
        ASSERT_TRUE(NtfsRepairVolume(cut.Api(), nullptr, nullptr, summary)) << testing::PrintToString(log.Errors());
        const bool askNtfsck = ++points % kNtfsckEvery == 0;
        if (askNtfsck) cut.SaveToFile(image);
        ExpectClean(image, cut, "repaired", askNtfsck);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(cut.Api(), volume));
        ExpectIntact(volume, acked, changing);
        EXPECT_TRUE(NtfsCloseVolume(volume));
    }
}
