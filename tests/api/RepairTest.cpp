// The repair of what an interrupted session leaves: each kind of damage made
// on a volume our engine wrote, then repaired; our check, the real fsck,
// ntfsfix and libntfs-3g must then accept the volume and read every file, a
// second repair must change nothing, and damage the repair does not know must
// be refused without a byte changed.
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "base/IoDevice.h"
#include "entries/FileEntry.h"
#include "objects/Directory.h"
#include "support/EngineVolume.h"
#include "support/ImageEditor.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"
#include "volkit/check.h"
#include "volume/Bitmap.h"
#include "volume/Mft.h"
#include "objects/Volume.h"
#include "objects/VolumeSession.h"

using namespace volcore;
using namespace volcore::test;
namespace api = volkit::api;

namespace {

// A directory with enough names to need index blocks, a subdirectory, and
// files resident, just past the resident limit and large.
Tree WrittenTree(MemoryDevice& memory) {
    Tree tree;
    api::NtfsVolumeHandle volume;
    EXPECT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
    for (const wchar_t* path : {L"docs", L"docs\\sub"}) {
        api::NtfsDirHandle dir;
        EXPECT_TRUE(api::NtfsCreateDir(path, dir, volume) && api::NtfsCloseDir(dir));
    }
    auto store = [&](const std::string& path, size_t size) {
        tree[U16(path)] = Pattern(size, static_cast<uint32_t>(path.size() + size));
        WriteThroughHandles(volume, U16(path), *tree[U16(path)]);
    };
    for (int i = 0; i < 40; ++i) store("docs\\file " + std::to_string(i), 10 + i);
    store("docs\\sub\\near limit", 895);
    store("docs\\sub\\large", 70000);
    EXPECT_TRUE(api::NtfsCloseVolume(volume));
    return tree;
}

// An engine session on the image, as a damaging driver would run it.
void WithEngine(MemoryDevice& memory, const std::function<void(CVolume&)>& change) {
    CVolume volume(std::make_shared<CIoDeviceImpl>(memory.Api()));
    change(volume);
    volume.Flush();
}

// Drops the entry of `path` from its directory: its record stays in use, unlisted.
void Unlist(CVolume& volume, const std::u16string& directory, const std::u16string& name) {
    CDirectory::Open(volume, volume.ResolvePath(directory))->RemoveEntry(name);
}

// Sets the initialized size of an attribute of one of the first records to 0,
// in $MFT, in its mirror copy or in both: all of it then reads as zeros.
void ForgetBits(MemoryDevice& memory, uint64_t number, uint32_t type, bool inMft, bool inMirror) {
    CTestVolume volume(std::make_shared<CIoDeviceImpl>(memory.Api()), ELoadDepth::BootSector);
    const uint32_t size = volume.GetMftRecordSize();
    for (uint64_t lcn : {volume.GetMftLcn(), volume.GetMftMirrorLcn()}) {
        if (!(lcn == volume.GetMftLcn() ? inMft : inMirror)) continue;
        ImageEditor record(memory.Bytes(), lcn * volume.GetClusterSize() + number * size, size);
        for (size_t at = record.Field(FileRecord::FirstAttribute, 2); record.Field(at, 4) != AttrType::End;
             at += record.Field(at + AttrRecord::Length, 4))
            if (record.Field(at + AttrRecord::Type, 4) == type) record.SetField(at + AttrRecord::InitializedSize, 8, 0);
    }
}

struct DamageCase {
    const char* name;
    const char* reported;  // a code the check reports before the repair
    std::function<void(MemoryDevice&)> damage;
    // Where a relinked object lands when not where it was.
    std::map<std::u16string, std::u16string> moved = {};
};

const std::vector<DamageCase>& DamageCases() {
    static const std::vector<DamageCase> cases = {
        {"dirty flag only", nullptr,
         [](MemoryDevice& memory) {
             CTestVolume volume(std::make_shared<CIoDeviceImpl>(memory.Api()), ELoadDepth::Mft);
             WriteVolumeFlags(volume, ReadVolumeFlags(volume) | VolumeInformation::FlagDirty);
         }},
        {"records in use past the MFT bitmap's initialized size", "record-unmarked",
         [](MemoryDevice& memory) { ForgetBits(memory, kMftRecord, AttrType::Bitmap, true, true); }},
        {"clusters in use past $Bitmap's initialized size", "cluster-unmarked",
         [](MemoryDevice& memory) { ForgetBits(memory, kBitmapRecord, AttrType::Data, true, false); }},
        {"index block free in its bitmap", "index-bitmap",
         [](MemoryDevice& memory) {
             WithEngine(memory, [](CVolume& volume) {
                 FileEntryPtr docs = volume.OpenEntry(volume.ResolvePath(u"docs"));
                 CBitmap bitmap(docs->GetAttribute(AttrType::Bitmap, u"$I30"));
                 bitmap.Clear(0);
                 bitmap.Set(bitmap.GetSize() - 1);
                 bitmap.Flush();
                 docs->MarkDirty();
                 docs->Save();
             });
         }},
        {"stale size copies", "index-entry-stale",
         [](MemoryDevice& memory) {
             WithEngine(memory, [](CVolume& volume) {
                 auto sub = CDirectory::Open(volume, volume.ResolvePath(u"docs\\sub"));
                 for (const char16_t* name : {u"near limit", u"large"}) {
                     SIndexEntryValue value = sub->GetEntry(name);
                     value.allocatedSize = value.dataSize = 8;
                     sub->GetIndex().UpdateEntry(name, value);
                 }
             });
         }},
        {"a file no directory lists", "record-orphaned",
         [](MemoryDevice& memory) { WithEngine(memory, [](CVolume& volume) { Unlist(volume, u"docs", u"file 7"); }); }},
        {"a directory no directory lists", "record-orphaned",
         [](MemoryDevice& memory) { WithEngine(memory, [](CVolume& volume) { Unlist(volume, u"docs", u"sub"); }); }},
        {"an unlisted file whose name was taken since", "record-orphaned",
         [](MemoryDevice& memory) {
             WithEngine(memory, [](CVolume& volume) {
                 Unlist(volume, u"docs", u"file 9");
                 CFile::CreateByPath(volume, u"docs\\file 9")->Flush();
             });
         },
         {{u"docs\\file 9", u"found.000\\file 9"}}},
        {"a mirror behind $MFT", "mft-mirror",
         [](MemoryDevice& memory) { ForgetBits(memory, kMftRecord, AttrType::Bitmap, false, true); }},
        {"an index block torn by a cut", "index",
         [](MemoryDevice& memory) {
             uint64_t at = 0;
             WithEngine(memory, [&at](CVolume& volume) {
                 AttributePtr blocks = volume.OpenEntry(volume.ResolvePath(u"docs"))->GetAttribute(
                     AttrType::IndexAllocation, u"$I30");
                 at = blocks->GetRuns().begin()->second.lcn * volume.GetClusterSize() + 510;
             });
             memory.Bytes()[at] ^= 0xFF;  // the sector's last bytes no longer match its update sequence
         }},
    };
    return cases;
}

}  // namespace

TEST(Repair, EveryKindOfLeftoverIsRepairedAndOthersAcceptTheResult) {
    MemoryDevice written = FormattedMemoryDevice(16 << 20);
    const Tree tree = WrittenTree(written);
    // Each row starts from a clean volume: whatever the engine's own sessions
    // still leave (bits past the MFT bitmap's initialized size, a size copy
    // left behind by a move out of the record) is repaired first.
    api::NtfsCheckSummary summary;
    ASSERT_TRUE(api::NtfsRepairVolume(written.Api(), nullptr, nullptr, summary));
    ASSERT_TRUE(CheckVolume(written.Api()).Clean()) << CheckVolume(written.Api()).Describe();
    for (const DamageCase& row : DamageCases()) {
        SCOPED_TRACE(row.name);
        MemoryDevice memory = written;
        row.damage(memory);
        const CheckOutcome before = CheckVolume(memory.Api());
        if (row.reported) {
            EXPECT_TRUE(before.Mentions(row.reported)) << before.Describe();
        }
        api::NtfsCheckSummary after;
        LogCapture log;
        ASSERT_TRUE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after)) << testing::PrintToString(log.Errors());
        EXPECT_TRUE(CheckVolume(memory.Api()).Clean()) << CheckVolume(memory.Api()).Describe();

        const std::vector<uint8_t> once = memory.Bytes();
        ASSERT_TRUE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after));
        EXPECT_TRUE(memory.Bytes() == once) << "a second repair changed the volume";

        Tree expected;
        for (const auto& [path, contents] : tree) {
            auto moved = row.moved.find(path);
            expected[moved == row.moved.end() ? path : moved->second] = contents;
        }
        if (!row.moved.empty()) expected[u"docs\\file 9"] = Bytes{};
        ExpectOutsideReadersAccept(memory.Bytes(), expected, row.name);
    }
}

// Raises the link count of a file's record in place.
void WrongLinkCount(MemoryDevice& memory, const std::u16string& path) {
    uint64_t number = 0;
    WithEngine(memory, [&](CVolume& volume) { number = RecordNumber(volume.ResolvePath(path)); });
    CTestVolume raw(std::make_shared<CIoDeviceImpl>(memory.Api()), ELoadDepth::BootSector);
    ImageEditor record(memory.Bytes(), raw.GetMftLcn() * raw.GetClusterSize() + number * raw.GetMftRecordSize(),
                       raw.GetMftRecordSize());
    record.SetField(FileRecord::LinkCount, 2, 3);
}

TEST(Repair, WhatItCannotRepairIsRefusedWithNothingWritten) {
    struct Row {
        const char* name;
        std::function<void(MemoryDevice&)> damage;
        const char* reason;  // what the one Error line says after "Failed to repair NTFS volume: "
    };
    const std::vector<Row> rows = {
        {"a wrong link count beside an orphan", [](MemoryDevice& memory) { WrongLinkCount(memory, u"docs\\file 2"); },
         "no repair is known for: Record "},
        {"an orphan on a volume Windows left hibernated",
         [](MemoryDevice& memory) {
             api::NtfsVolumeHandle volume;
             ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
             WriteThroughHandles(volume, u"hiberfil.sys", Bytes{'h', 'i', 'b', 'r', 0, 0, 0, 0});
             ASSERT_TRUE(api::NtfsCloseVolume(volume));
         },
         "it must not be written: Windows left it hibernated"},
    };
    MemoryDevice written = FormattedMemoryDevice(16 << 20);
    WrittenTree(written);
    api::NtfsCheckSummary after;
    ASSERT_TRUE(api::NtfsRepairVolume(written.Api(), nullptr, nullptr, after));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemoryDevice memory = written;
        WithEngine(memory, [](CVolume& volume) { Unlist(volume, u"docs", u"file 1"); });
        row.damage(memory);
        const std::vector<uint8_t> damaged = memory.Bytes();
        LogCapture log;
        EXPECT_FALSE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after));
        ASSERT_EQ(log.Errors().size(), 1u) << testing::PrintToString(log.Errors());
        EXPECT_EQ(log.Errors()[0].rfind(std::string("Failed to repair NTFS volume: ") + row.reason, 0), 0u)
            << log.Errors()[0];
        EXPECT_TRUE(memory.Bytes() == damaged);
    }
}

// A repair cut off at any of its writes (from there on nothing lands, as in a
// power cut) leaves a volume that the next repair finishes.
TEST(Repair, ARepairCutAtAnyWriteIsFinishedByTheNext) {
    MemoryDevice damaged = FormattedMemoryDevice(16 << 20);
    const Tree tree = WrittenTree(damaged);
    api::NtfsCheckSummary after;
    ASSERT_TRUE(api::NtfsRepairVolume(damaged.Api(), nullptr, nullptr, after));
    // In an order the damaging sessions can follow: the engine refuses to edit
    // an index whose bitmap is damaged or to write a volume whose MFT bitmap is.
    for (size_t row : {4, 5, 6, 2, 1, 9}) DamageCases()[row].damage(damaged);
    MemoryDevice counted = damaged;
    counted.writeCount = 0;
    ASSERT_TRUE(api::NtfsRepairVolume(counted.Api(), nullptr, nullptr, after));
    ASSERT_GT(counted.writeCount, 1u);
    for (uint64_t cut = 1; cut <= counted.writeCount; ++cut) {
        SCOPED_TRACE("cut at write " + std::to_string(cut));
        MemoryDevice memory = damaged;
        memory.writeCount = 0;
        memory.failWrite = [&memory, cut](uint64_t, uint32_t) { return memory.writeCount >= cut; };
        LogCapture log;
        EXPECT_FALSE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after));
        memory.failWrite = nullptr;
        EXPECT_TRUE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after)) << testing::PrintToString(log.Errors());
        const CheckOutcome check = CheckVolume(memory.Api());
        EXPECT_TRUE(check.Clean()) << check.Describe();
        api::NtfsVolumeHandle volume;
        ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
        for (const auto& [path, contents] : tree)
            if (contents) {
                EXPECT_EQ(ReadThroughHandles(volume, path), *contents) << Utf8(path);
            }
        EXPECT_TRUE(api::NtfsCloseVolume(volume));
    }
}
