// The handle family against independent NTFS readers and writers: volumes
// filled by libntfs-3g read back byte for byte by sessions that write nothing
// (nor change what they must refuse to change), and volumes written by us
// in two sessions, with clusters of 512 bytes to 2 MiB, accepted by
// libntfs-3g, The Sleuth Kit, ntfsfix and ntfsck, changed by libntfs-3g
// (compressed files among its changes) and read by us again. Entries
// outgrow their record (attribute lists); a writing session marks the volume
// dirty.
#include <gtest/gtest.h>

#include <cstring>

#include "InteropSupport.h"
#include "base/Bytes.h"
#include "base/Unicode.h"
#include "codec/Samples.h"
#include "entries/FileEntry.h"
#include "ntfs3g/Ntfs3g.h"
#include "support/EngineVolume.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "disk/BootSector.h"
#include "disk/Fixups.h"
#include "disk/WindowsTraces.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

bool HaveCheckers() { return HaveProgram("mkntfs") && HaveProgram("fls") && HaveProgram("ntfsfix"); }

// Adds a directory or a file to the tree and, through `make`, to the volume.
struct TreeWriter {
    Tree tree;
    std::function<void(const std::u16string&, const std::optional<Bytes>&)> make;

    void Dir(const std::u16string& path) { Add(path, std::nullopt); }
    void File(const std::u16string& path, const Bytes& contents) { Add(path, contents); }
    void Add(const std::u16string& path, const std::optional<Bytes>& contents) {
        make(path, contents);
        tree[path] = contents;
    }
    // Nine levels of directories under `top`, a file at the bottom, and a
    // directory of files around the sizes where data leaves its record.
    void DeepAndSized(const std::u16string& top, std::initializer_list<size_t> sizes) {
        std::u16string deep = top;
        Dir(deep);
        for (int level = 1; level <= 9; ++level) Dir(deep = Child(deep, U16("n" + std::to_string(level))));
        File(Child(deep, u"leaf"), Pattern(4097, 1));
        Dir(Child(top, u"sizes"));
        for (size_t size : sizes)
            File(Child(top, U16("sizes\\s" + std::to_string(size))), Pattern(size, static_cast<uint32_t>(size)));
    }
};

void AddBytes(std::optional<Bytes>& contents, const Bytes& bytes) {
    if (!contents) contents.emplace();
    contents->insert(contents->end(), bytes.begin(), bytes.end());
}

std::u16string LinkName(int i) { return U16("link " + std::string(60, '-') + " " + std::to_string(i)); }

// What libntfs-3g fills the read test's volume with: entries that outgrow
// their record (an object with 50 long names, a file written into
// one-cluster holes), a sparse file initialized only in part, and a tree of
// deep paths, sizes, Unicode names, hard links and a DOS alias.
Tree FillThroughLibntfs3g(const std::string& image) {
    Ntfs3gTree writer(image, false);
    TreeWriter fill{{}, [&](const std::u16string& path, const std::optional<Bytes>& contents) {
                        contents ? void(writer.MakeFile(path, *contents)) : void(writer.MakeDirectory(path));
                    }};
    fill.File(u"linked", Pattern(3000, 1));
    for (int i = 0; i < 50; ++i) writer.Link(u"linked", LinkName(i));
    // Free space only in one-cluster holes: a file written there takes hundreds of runs.
    for (const char16_t* path : {u"fragmented", u"ballast"}) writer.MakeFile(path);
    for (int i = 0; i < 600; ++i) writer.MakeFile(U16("filler " + std::to_string(i)), Pattern(4096, i));
    for (size_t chunk : {1u << 20, 4096u}) try {
            for (;;) writer.Append(u"ballast", Bytes(chunk));
        } catch (const std::runtime_error&) {  // the volume is full
        }
    for (int i = 0; i < 600; i += 2) writer.Remove(U16("filler " + std::to_string(i)));
    for (int i = 1; i < 600; i += 2) fill.tree[U16("filler " + std::to_string(i))] = Pattern(4096, i);
    for (uint32_t i = 0; i < 250; ++i) writer.Append(u"fragmented", Pattern(4096, i));
    for (uint32_t i = 0; i < 250; ++i) AddBytes(fill.tree[u"fragmented"], Pattern(4096, i));
    writer.Remove(u"ballast");
    fill.File(u"sparse", Pattern(100, 4));
    writer.Resize(u"sparse", 300000);
    fill.tree[u"sparse"]->resize(300000);
    fill.DeepAndSized(u"deep", {0, 1, 895, 896, 4096, 10 * 1024 * 1024 + 123});
    fill.Dir(u"unicode");
    for (const char16_t* name : {u"\u00e9t\u00e9.txt", u"\u65e5\u672c\u8a9e", u"\U0001F600 smile \U00010348"})
        fill.File(Child(u"unicode", name), Pattern(100, name[0]));
    fill.Dir(u"links");
    fill.File(u"links\\original", Pattern(5000, 6));
    writer.Link(u"links\\original", u"deep\\sizes\\linked here");
    fill.tree[u"deep\\sizes\\linked here"] = fill.tree[u"links\\original"];
    fill.File(u"links\\A Long File Name.text", Pattern(77, 7));
    writer.SetDosName(u"links\\A Long File Name.text", "ALONGF~1.TEX");

    return fill.tree;
}

// A session that reads everything and changes nothing, and refuses a change
// (`refusal` is the start of its reason).
void ExpectReadOnlySession(const std::string& image, const Tree& tree, const std::string& refusal) {
    MemoryDevice device = MemoryDevice::FromFile(image);
    Ntfs3gTree reference(image, true);
    LogCapture log;
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ExpectSameTree(volume, reference, tree);
    // A name found by its DOS alias (the tree compares records, so the hard
    // links are one object for us as for libntfs-3g).
    EXPECT_EQ(ReadThroughHandles(volume, u"links\\alongf~1.tex"), *tree.at(u"links\\A Long File Name.text"));
    NtfsFileHandle file;
    EXPECT_FALSE(NtfsCreateFile(L"refused", file, volume));
    EXPECT_NE(log.Errors().at(0).find(refusal), std::string::npos) << log.Errors()[0];
    EXPECT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(log.Errors().size(), 1u);
    EXPECT_EQ(device.writeCount, 0u);
}

void Append(NtfsFileHandle file, std::optional<Bytes>& contents, const Bytes& bytes) {
    size_t size = contents ? contents->size() : 0;
    EXPECT_TRUE(SetFileSize(size + bytes.size(), file));
    EXPECT_TRUE(NtfsWriteFile(size, bytes.data(), static_cast<unsigned>(bytes.size()), file));
    AddBytes(contents, bytes);
}

// Our changes to what libntfs-3g wrote: appends to a resident file, which
// leaves its record, and to the linked and the fragmented file, and twelve
// files grown in turns until their runs outgrow a record: the last three
// need an attribute list.
void GrowThroughHandles(NtfsVolumeHandle volume, Tree& tree) {
    for (const char16_t* path : {u"deep\\sizes\\s1", u"linked", u"fragmented"}) {
        NtfsFileHandle file;
        EXPECT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(path).c_str(), file, volume));
        Append(file, tree[path], Pattern(5000, 3));
        EXPECT_TRUE(SetFileAttributesAndTime({1, 2, 3, 0x20}, file) && NtfsCloseFile(file));
    }
    std::vector<NtfsFileHandle> grown(12);
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(NtfsCreateFile((L"grown" + std::to_wstring(i)).c_str(), grown[i], volume));
    for (uint32_t step = 0; step < 384; ++step)
        for (int i = 0; i < 12; ++i) Append(grown[i], tree[U16("grown" + std::to_string(i))], Pattern(4096, step));
    for (NtfsFileHandle& file : grown) EXPECT_TRUE(NtfsCloseFile(file));
}

bool ScheduledForCheck(const std::string& image) {
    return RunCommand("ntfsinfo -m " + ShellQuote(image)).output.find("scheduled for check") != std::string::npos;
}

}  // namespace

TEST(InteropRead, WhatLibntfs3gWroteReadsTheSameReadingWritesNothingAndOurChangesReadBack) {
    if (!HaveCheckers()) GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
    TempDir dir;
    const std::string image = dir.File("filled.img");
    MakeNtfsImage(image, {64ull << 20, 4096, 512, ""});
    Tree tree = FillThroughLibntfs3g(image);
    auto relink = [&](int first, int last) {
        for (int i = first; i <= last; ++i) tree[LinkName(i)] = tree[u"linked"];
    };
    relink(0, 49);

    tree[u"hiberfil.sys"] = Bytes{'h', 'i', 'b', 'r'};
    tree[u"hiberfil.sys"]->resize(4096);  // whole, so that libntfs-3g writes to the volume again once resumed
    Ntfs3gTree(image, false).MakeFile(u"hiberfil.sys", *tree[u"hiberfil.sys"]);
    ExpectReadOnlySession(image, tree, "Volume is open for reading only: Windows left it hibernated (hiberfil.sys)");
    // Windows resumed: the signature is gone, and the volume may be written
    // again (libntfs-3g would not change a hibernated one).
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    const std::string signature = "hibr";
    std::fill_n(std::search(bytes.begin(), bytes.end(), signature.begin(), signature.end()), 4, 0);
    WriteFileBytes(image, bytes);
    tree[u"hiberfil.sys"] = Bytes(4096);

    // Our session marks the volume dirty until it closes.
    NtfsVolumeHandle volume;
    MemoryDevice device = MemoryDevice::FromFile(image);
    {
        LogCapture log;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        GrowThroughHandles(volume, tree);
        device.SaveToFile(image);
        EXPECT_TRUE(ScheduledForCheck(image));
        EXPECT_TRUE(NtfsCloseVolume(volume));
        EXPECT_EQ(log.Errors(), std::vector<std::string>{});
    }
    device.SaveToFile(image);
    EXPECT_FALSE(ScheduledForCheck(image));
    relink(0, 49);
    ExpectEveryReaderAgrees(image, tree);

    // libntfs-3g changes what we saved, and we read it again.
    {
        Ntfs3gTree writer(image, false);
        for (const char16_t* path : {u"linked", u"grown0"}) writer.Append(path, Pattern(7000, 9));
        writer.Link(u"linked", LinkName(50));
        writer.Remove(LinkName(0));
    }
    for (const char16_t* path : {u"linked", u"grown0"}) AddBytes(tree[path], Pattern(7000, 9));
    tree.erase(LinkName(0));
    relink(1, 50);
    ExpectEveryReaderAgrees(image, tree);

    // A volume that someone else left dirty keeps its flag, with a warning.
    ntfs_volume* theirs = ntfs_mount(image.c_str(), 0);
    ASSERT_TRUE(theirs);
    ntfs_volume_write_flags(theirs, VOLUME_IS_DIRTY);
    ntfs_umount(theirs, FALSE);
    device = MemoryDevice::FromFile(image);
    {
        LogCapture log;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        WriteThroughHandles(volume, u"y", *(tree[u"y"] = Pattern(10, 1)));
        EXPECT_TRUE(NtfsCloseVolume(volume));
        EXPECT_EQ(log.Texts(2), std::vector<std::string>{"Volume is marked dirty: a consistency check is pending; it stays marked"});
    }
    device.SaveToFile(image);
    EXPECT_TRUE(ScheduledForCheck(image));

    // A journal whose restart area still lists a client at work.
    std::vector<uint8_t> page(4096, 0);
    volcore::CByteWriter header(page);
    std::memcpy(page.data() + volcore::RestartPage::Magic, "RSTR", 4);
    header.U16(volcore::UpdateSequence::Offset, volcore::RestartPage::HeaderSize);
    header.U16(volcore::UpdateSequence::Count, volcore::UpdateSequence::CountFor(4096));
    header.U32(volcore::RestartPage::SystemPageSize, 4096);
    header.U16(volcore::RestartPage::RestartAreaOffset, 0x30);
    volcore::MstProtect(page, 1, 4096);
    EngineVolume engine(image);
    volcore::CFileEntry::Load(volcore::MakeReference(volcore::kLogFileRecord, 0), engine.Volume())
        ->GetAttribute(volcore::AttrType::Data)->WriteData(0, page.data(), 4096);
    engine.Close();
    ExpectReadOnlySession(image, tree, "Volume is open for reading only: its $LogFile holds changes that Windows has not replayed");
}

namespace {

// Up to 64 KiB clusters from mkntfs; 128 KiB to 2 MiB clusters as Windows 10
// formats them (the sectors-per-cluster byte above 0x80 means 2^(256 - value)
// sectors; MFT records and index blocks are smaller than a cluster), 128 KiB
// from our formatter, 2 MiB from mkntfs.
struct Geometry {
    uint32_t clusterSize;
    uint32_t sectorSize;
    bool ourFormatter = false;
};

// Times and every attribute bit stamped on a file and a directory: only the
// settable bits are kept, and the directory's index flag is added.
const NtfsAttributesAndTime kFileStamp{0x01D5000000000011ull, 0x01D5000000000022ull, 0x01D5000000000033ull,
                                       0xFFFFFFFFu};
const NtfsAttributesAndTime kDirStamp{0x01C0000000000001ull, 0x01C0000000000002ull, 0x01C0000000000003ull,
                                      0xFFFFFFFFu};

class InteropWrite : public ::testing::TestWithParam<Geometry> {};

// The first session builds a tree through the handle family: deep paths,
// sizes around where data leaves its record, Unicode names and enough names
// for index blocks.
Tree WriteThroughHandleFamily(NtfsVolumeHandle volume) {
    TreeWriter write{{}, [&](const std::u16string& path, const std::optional<Bytes>& contents) {
                         if (contents) return WriteThroughHandles(volume, path, *contents);
                         NtfsDirHandle handle;
                         ASSERT_TRUE(NtfsCreateDir(volcore::Utf16ToWide(path).c_str(), handle, volume)) << Utf8(path);
                         ASSERT_TRUE(NtfsCloseDir(handle));
                     }};
    write.DeepAndSized(u"w", {0, 1, 895, 896, 4096, 70000, 3 * 1024 * 1024 + 5});
    for (uint32_t n = 0; n < 40; ++n) write.File(U16("w\\sizes\\name " + std::to_string(n)), Pattern(n * 10, n));
    write.Dir(u"w\\unicode \u00e9");
    for (const char16_t* name : {u"\U0001F600\U0001F4A9", u"\u65e5\u672c\u8a9e.txt", u"\u00c5ngstr\u00f6m"})
        write.File(Child(u"w\\unicode \u00e9", name), Pattern(50, name[0]));
    return write.tree;
}

// The second session changes what the first wrote. A file grown in place in
// three steps, cut short, grown again and written past what was kept: the
// bytes between read as zeros. One empty, one emptied, one created and
// deleted; a file and a directory stamped.
void ChangeThroughHandleFamily(NtfsVolumeHandle volume, Tree& tree) {
    Bytes grown = Pattern(200000, 9);
    NtfsFileHandle handle;
    EXPECT_TRUE(NtfsCreateFile(L"w\\grow", handle, volume));
    for (size_t size : {10, 5000, 200000}) {
        EXPECT_TRUE(SetFileSize(size, handle));
        EXPECT_TRUE(NtfsWriteFile(0, grown.data(), static_cast<unsigned>(size), handle));
    }
    EXPECT_TRUE(SetFileSize(777, handle) && SetFileSize(8000, handle) && NtfsWriteFile(7000, "tail", 4, handle));
    EXPECT_TRUE(NtfsCloseFile(handle));
    tree[u"w\\grow"] = Bytes(grown.begin(), grown.begin() + 777);
    tree[u"w\\grow"]->resize(8000);
    std::copy_n("tail", 4, tree[u"w\\grow"]->begin() + 7000);
    EXPECT_TRUE(NtfsCreateFile(L"w\\empty", handle, volume) && NtfsCloseFile(handle));
    EXPECT_TRUE(NtfsCreateFile(L"w\\emptied", handle, volume) && SetFileSize(5000, handle) && SetFileSize(0, handle));
    EXPECT_TRUE(NtfsCloseFile(handle));
    tree[u"w\\empty"] = tree[u"w\\emptied"] = Bytes{};
    WriteThroughHandles(volume, u"w\\doomed", grown);
    EXPECT_TRUE(NtfsOpenFile(L"w\\doomed", handle, volume) && NtfsDeleteFile(handle));

    NtfsDirHandle stampedDir;
    EXPECT_TRUE(NtfsOpenFile(L"w\\sizes\\s895", handle, volume) && SetFileAttributesAndTime(kFileStamp, handle));
    EXPECT_TRUE(NtfsCloseFile(handle));
    EXPECT_TRUE(NtfsOpenDir(L"w\\n1", stampedDir, volume) && SetDirAttributesAndTime(kDirStamp, stampedDir));
    EXPECT_TRUE(NtfsCloseDir(stampedDir));
}

// Files libntfs-3g compresses (LZNT1 in units of 16 clusters: stored
// compressed, as they are, or as holes), then changes: units rewritten, a
// hole filled, the end moved.
void CompressThroughLibntfs3g(Ntfs3gTree& writer, size_t unit, Tree& tree) {
    Bytes mixed = TextSample(6 * unit + 999, 3), holes(9 * unit + 100, 0);
    std::fill_n(mixed.begin() + static_cast<long>(unit), unit, 0);
    const Bytes noise = Pattern(2 * unit, 4);
    std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(3 * unit));
    const Tree files = {{u"c\\text.txt", TextSample(5 * unit + 1234, 1)},
                        {u"c\\random.bin", Pattern(3 * unit - 77, 2)},
                        {u"c\\mixed.bin", mixed},
                        {u"c\\small.txt", TextSample(3000, 6)}};
    writer.EnableCompression();
    writer.MakeDirectory(u"c");
    writer.SetAttributes(u"c", 0x10 | 0x800);  // a compressed directory: new files are compressed
    for (const auto& [path, bytes] : files) writer.MakeFile(path, *bytes);
    writer.MakeFile(u"c\\holes.bin");
    writer.Resize(u"c\\holes.bin", holes.size());  // a file with holes, written in a few places
    for (const size_t at : {unit + 10, 4 * unit, 9 * unit}) {
        const Bytes piece = at == 4 * unit ? Pattern(unit + 3, 9) : TextSample(100, 10);
        writer.WriteAt(u"c\\holes.bin", at, piece);
        std::copy(piece.begin(), piece.end(), holes.begin() + static_cast<long>(at));
    }
    tree.insert(files.begin(), files.end());
    tree[u"c"] = std::nullopt;
    tree[u"c\\holes.bin"] = holes;
    for (const auto& [path, bytes] : tree)
        EXPECT_TRUE(!bytes || path.rfind(u"c\\", 0) != 0 || (writer.DataFlags(path) & 1)) << Utf8(path) << " is not compressed";

    const Bytes more = TextSample(unit / 2, 11);
    for (const auto& [path, at] : {std::pair{u"c\\text.txt", unit - 100}, {u"c\\holes.bin", 6 * unit}}) {
        writer.WriteAt(path, at, more);
        std::copy(more.begin(), more.end(), tree[path]->begin() + static_cast<long>(at));
    }
    writer.Append(u"c\\random.bin", more);
    AddBytes(tree[u"c\\random.bin"], more);
}

void ExpectStampsSeenByOthers(const std::string& image) {
    Ntfs3gTree reader(image, true);
    Ntfs3gStat file = reader.Stat(u"w\\sizes\\s895");
    EXPECT_EQ(file.creationTime, kFileStamp.creationTime);
    EXPECT_EQ(file.modificationTime, kFileStamp.lastWriteTime);
    EXPECT_EQ(file.accessTime, kFileStamp.lastAccessTime);
    EXPECT_EQ(file.attributes, 0x31A7u);
    Ntfs3gStat dir = reader.Stat(u"w\\n1");
    EXPECT_EQ(dir.creationTime, kDirStamp.creationTime);
    EXPECT_EQ(dir.attributes, 0x100031A7u);
}

}  // namespace

TEST_P(InteropWrite, WhatWeWriteOthersReadAndWeReadWhatOthersChange) {
    if (!HaveCheckers()) GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
    const Geometry geometry = GetParam();
    TempDir dir;
    const std::string image = dir.File("ours.img");
    // mkntfs needs room for its journal in 2 MiB clusters.
    const uint64_t size = geometry.clusterSize > (1u << 20) ? 512ull << 20 : 48ull << 20;
    if (!geometry.ourFormatter) MakeNtfsImage(image, {size, geometry.clusterSize, geometry.sectorSize, ""});
    MemoryDevice device = geometry.ourFormatter ? FormattedMemoryDevice(size, geometry.clusterSize)
                                                : MemoryDevice::FromFile(image);
    const volcore::CByteReader boot(device.Bytes().data(), volcore::kBootSectorSize);
    const uint32_t sectors = boot.U8(volcore::BootField::SectorsPerCluster);
    ASSERT_EQ(boot.U16(volcore::BootField::BytesPerSector) * (sectors > 0x80 ? 1u << (256 - sectors) : sectors),
              geometry.clusterSize);
    LogCapture log;
    Tree tree;
    for (int session = 0; session < 2; ++session) {
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        session == 0 ? void(tree = WriteThroughHandleFamily(volume)) : ChangeThroughHandleFamily(volume, tree);
        ASSERT_TRUE(NtfsCloseVolume(volume));
    }
    ASSERT_EQ(log.Errors(), std::vector<std::string>{});
    device.SaveToFile(image);
    ExpectEveryReaderAgrees(image, tree);
    EXPECT_TRUE(NtfsckAccepts(image));
    ExpectStampsSeenByOthers(image);

    // libntfs-3g changes our volume: a new file, appends and a removal, and
    // compressed files where clusters allow compression (4 KiB at most).
    {
        Ntfs3gTree writer(image, false);
        if (geometry.clusterSize <= 4096) CompressThroughLibntfs3g(writer, 16 * geometry.clusterSize, tree);
        writer.MakeFile(u"w\\from libntfs-3g", *(tree[u"w\\from libntfs-3g"] = Pattern(12345, 77)));
        for (const char16_t* path : {u"w\\sizes\\s4096", u"w\\empty"}) {
            writer.Append(path, Pattern(5000, 78));
            AddBytes(tree[path], Pattern(5000, 78));
        }
        writer.Remove(u"w\\grow");
        tree.erase(u"w\\grow");
    }
    ExpectEveryReaderAgrees(image, tree);

    EXPECT_EQ(log.Errors(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(ClusterAndSectorSizes, InteropWrite,
                         ::testing::Values(Geometry{512, 512}, Geometry{4096, 512}, Geometry{65536, 512},
                                           Geometry{4096, 4096}, Geometry{131072, 512, true}, Geometry{2097152, 512}),
                         [](const auto& info) {
                             return "c" + std::to_string(info.param.clusterSize) + "_s" +
                                    std::to_string(info.param.sectorSize) + (info.param.ourFormatter ? "_ours" : "");
                         });
