// Mounting, dismounting and the family's reporting, including failing device
// callbacks.
#include "FamilyFixture.h"
#include "base/Bytes.h"

namespace volcore::test {
namespace {

using Lines = std::vector<std::string>;

// Sets the NTFS version in $Volume's $VOLUME_INFORMATION of an mkntfs image
// held in memory, in $MFT and in $MFTMirr alike (1 KiB records, the value well
// inside the first sector).
void SetNtfsVersion(std::vector<uint8_t>& image, uint8_t major, uint8_t minor) {
    const volcore::CByteReader boot(image.data(), 512);
    const uint64_t clusterSize = uint64_t{boot.U16(0x0B)} * boot.U8(0x0D);
    for (const size_t mftCluster : {0x30, 0x38}) {
        const volcore::CByteWriter record(image.data() + boot.U64(mftCluster) * clusterSize + 3 * 1024, 1024);
        size_t offset = record.Reader().U16(0x14);
        while (record.Reader().U32(offset) != 0x70) offset += record.Reader().U32(offset + 4);
        const size_t value = offset + record.Reader().U16(offset + 0x14);
        record.U8(value + 8, major);
        record.U8(value + 9, minor);
    }
}

}  // namespace

TEST_F(FamilyTest, MountAndDismountReportOnlyProgress) {
    Mount();
    EXPECT_EQ(log->Infos(), Lines{"Mounting NTFS"});
    Dismount();
    EXPECT_EQ(log->Infos(), (Lines{"Mounting NTFS", "Dismounting NTFS"}));
    EXPECT_TRUE(log->Errors().empty());

    // The volume survives the round trip and mounts again.
    Mount();
    Dismount();
}

TEST_F(FamilyTest, DismountOfZeroHandleFails) {
    EXPECT_FALSE(filesystem::close(filesystem::handle{}));
    EXPECT_EQ(log->Errors(), (Lines{"Failed to dismount NTFS", "volume handle is invalid"}));
}

TEST_F(FamilyTest, RefusedMountsSayWhyAndNothingElse) {
    struct Case {
        const char* what;
        std::function<void(MemoryDevice&)> damage;
        Lines reasons = {"failed to mount volume"};
    };
    const Lines unreadable = {"failed to mount volume", "failed to read 512 bytes at offset 0: I/O error"};
    const std::vector<Case> cases = {
        {"boot sector unreadable",
         [](MemoryDevice& m) { m.failRead = [](uint64_t offset, uint32_t) { return offset < 512; }; }, unreadable},
        {"every read fails", [](MemoryDevice& m) { m.failRead = [](uint64_t, uint32_t) { return true; }; }, unreadable},
        {"zeroed volume", [](MemoryDevice& m) { std::fill(m.Bytes().begin(), m.Bytes().end(), 0); }},
        {"NTFS 1.2", [](MemoryDevice& m) { SetNtfsVersion(m.Bytes(), 1, 2); }, {"unsupported NTFS version"}},
        {"empty device", [](MemoryDevice& m) { m.Bytes().clear(); }, unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImage();
        c.damage(memory);
        const std::vector<uint8_t> before = memory.Bytes();
        filesystem::handle untouched{reinterpret_cast<void*>(0x1234)};
        EXPECT_FALSE(filesystem::open(untouched, dev));
        EXPECT_EQ(untouched.ptr, reinterpret_cast<void*>(0x1234));
        // libntfs-3g's own complaints never reach the callback.
        Lines expected = {"Failed to mount NTFS"};
        expected.insert(expected.end(), c.reasons.begin(), c.reasons.end());
        EXPECT_EQ(log->Lines().size(), expected.size() + 1);
        EXPECT_EQ(log->Errors(), expected);
        EXPECT_TRUE(memory.Bytes() == before);
    }
    // The same patch with a version libntfs-3g writes mounts: the refusal is for the version.
    ResetImage();
    SetNtfsVersion(memory.Bytes(), 3, 0);
    Mount();
}

TEST_F(FamilyTest, NothingIsSentWithoutCallback) {
    logging::deinitialize();
    memory.failRead = [](uint64_t offset, uint32_t) { return offset < 512; };
    filesystem::handle h;
    EXPECT_FALSE(filesystem::open(h, dev));
    EXPECT_FALSE(filesystem::close(h));
    EXPECT_FALSE(file::remove("x", h));
    EXPECT_TRUE(log->Lines().empty());
}

TEST_F(FamilyTest, FailingTransfersFailTheOperationNotTheProcess) {
    Mount();
    const std::vector<uint8_t> content = Pattern(256 * 1024, 7);
    CreateFileWith("big.bin", content);
    file::handle h;
    ASSERT_TRUE(file::open(h, "big.bin", volume));
    std::vector<uint8_t> buffer(64 * 1024);
    ASSERT_TRUE(file::read(h, 4096, buffer.data(), static_cast<uint32_t>(buffer.size())));

    log->Clear();
    memory.failRead = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::read(h, 128 * 1024, buffer.data(), static_cast<uint32_t>(buffer.size())));
    memory.failRead = nullptr;
    memory.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::write(h, 8192, buffer.data(), 4096));
    EXPECT_EQ(log->Errors(), (Lines{"failed to read data", "failed to read 65536 bytes at offset 19005440: I/O error",
                                    "failed to write data", "failed to write 4096 bytes at offset 18882560: I/O error"}));
    memory.failWrite = nullptr;

    // Once the device works again the file reads, but after a failed write
    // nothing changes any more, and the volume's close reports the failure.
    ASSERT_TRUE(file::read(h, 0, buffer.data(), static_cast<uint32_t>(buffer.size())));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin()));
    log->Clear();
    EXPECT_FALSE(file::setSize(h, 0));
    EXPECT_TRUE(file::close(h));
    EXPECT_FALSE(filesystem::close(volume));
    volume = {};
    EXPECT_EQ(log->Errors(), (Lines{"volume is read-only after a failed write", "Failed to dismount NTFS",
                                    "failed to write volume: I/O error"}));
}

}  // namespace volcore::test
