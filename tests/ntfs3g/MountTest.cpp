// Mounting, dismounting and the family's reporting, including failing device
// callbacks.
#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "entries/RecordFormat.h"
#include "volume/BootSector.h"

namespace volcore::test {
namespace {

// Sets the NTFS version in $Volume's $VOLUME_INFORMATION of an mkntfs image
// held in memory, in $MFT and in $MFTMirr alike (1 KiB records, the value well
// inside the first sector, so clear of the update sequence).
void SetNtfsVersion(std::vector<uint8_t>& image, uint8_t major, uint8_t minor) {
    const CByteReader boot(image.data(), kBootSectorSize);
    const uint64_t clusterSize = uint64_t{boot.U16(BootField::BytesPerSector)} * boot.U8(BootField::SectorsPerCluster);
    for (const size_t mftCluster : {BootField::MftLcn, BootField::MftMirrorLcn}) {
        const CByteWriter record(image.data() + boot.U64(mftCluster) * clusterSize + kVolumeRecord * 1024, 1024);
        size_t at = record.Reader().U16(FileRecord::FirstAttribute);
        while (record.Reader().U32(at + AttrRecord::Type) != AttrType::VolumeInformation)
            at += record.Reader().U32(at + AttrRecord::Length);
        const size_t value = at + record.Reader().U16(at + AttrRecord::ValueOffset);
        record.U8(value + VolumeInformation::MajorVersion, major);
        record.U8(value + VolumeInformation::MinorVersion, minor);
    }
}

}  // namespace

TEST_F(FamilyTest, MountAndDismountReportOnlyProgressAndOnlyToACallback) {
    Mount();
    Dismount();
    EXPECT_EQ(log->Infos(), (Lines{"Mounting NTFS", "Dismounting NTFS"}));
    EXPECT_TRUE(log->Errors().empty());
    Mount();  // the volume survives the round trip

    log->Clear();
    logging::deinitialize();
    Dismount();
    memory.failRead = [](uint64_t offset, uint32_t) { return offset < 512; };
    filesystem::handle h;
    EXPECT_FALSE(filesystem::open(h, dev) || filesystem::close(h) || file::remove("x", h));
    EXPECT_TRUE(log->Lines().empty());
}

TEST_F(FamilyTest, RefusedMountsSendExactlyTwoErrorLines) {
    const struct {
        const char* what;
        std::function<void(MemoryDevice&)> damage;
        const char* reason = "failed to mount volume";
    } cases[] = {
        {"boot sector unreadable", [](MemoryDevice& m) { m.failRead = [](uint64_t offset, uint32_t) { return offset < 512; }; }},
        {"every read fails", [](MemoryDevice& m) { m.failRead = [](uint64_t, uint32_t) { return true; }; }},
        {"zeroed volume", [](MemoryDevice& m) { std::fill(m.Bytes().begin(), m.Bytes().end(), 0); }},
        {"NTFS 1.2", [](MemoryDevice& m) { SetNtfsVersion(m.Bytes(), 1, 2); }, "unsupported NTFS version"},
        {"empty device", [](MemoryDevice& m) { m.Bytes().clear(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImage();
        c.damage(memory);
        const std::vector<uint8_t> before = memory.Bytes();
        filesystem::handle untouched{reinterpret_cast<void*>(0x1234)};
        EXPECT_FALSE(filesystem::open(untouched, dev));
        EXPECT_EQ(untouched.ptr, reinterpret_cast<void*>(0x1234));
        // libntfs-3g's own complaints never reach the callback.
        EXPECT_EQ(log->Infos(), Lines{"Mounting NTFS"});
        EXPECT_EQ(log->Errors(), (Lines{"Failed to mount NTFS", c.reason}));
        EXPECT_TRUE(memory.Bytes() == before);
    }
    // The same patch with a version libntfs-3g writes mounts: the refusal is for the version.
    ResetImage();
    SetNtfsVersion(memory.Bytes(), 3, 0);
    Mount();
}

// A failing transfer fails its call, not the process; once the device works
// again so does the file, and a failed close keeps the handle for another try.
TEST_F(FamilyTest, FailingTransfersFailTheOperationNotTheProcess) {
    Mount();
    const std::vector<uint8_t> content = Pattern(256 * 1024, 7);
    CreateFileWith("big.bin", content);
    file::handle h;
    std::vector<uint8_t> buffer(64 * 1024);
    ASSERT_TRUE(file::open(h, "big.bin", volume) && file::read(h, 4096, buffer.data(), 64 * 1024));
    log->Clear();
    memory.failRead = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::read(h, 128 * 1024, buffer.data(), 64 * 1024));
    memory.failRead = nullptr;
    memory.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::write(h, 8192, buffer.data(), 4096));
    const file::attributes stamp{0x1, 130000000000000000ull, 130000000000000000ull, 130000000000000000ull, 0};
    ASSERT_TRUE(file::setAttributes(h, stamp));
    EXPECT_FALSE(file::close(h));
    ExpectErrors({"failed to read data", "failed to write data", "failed to close inode"});
    memory.failWrite = nullptr;
    ASSERT_TRUE(file::read(h, 0, buffer.data(), 64 * 1024));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin()));
    ASSERT_TRUE(file::close(h));

    file::attributes after;
    ASSERT_TRUE(file::open(h, "big.bin", volume) && file::getAttributes(h, after) && file::close(h));
    EXPECT_EQ(after.creationTime, stamp.creationTime);
    EXPECT_EQ(after.fileAttributes & 0x2023, 0x1u);
    EXPECT_EQ(ReadWhole("big.bin"), content);
}

}  // namespace volcore::test
