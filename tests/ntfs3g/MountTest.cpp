// Mounting, dismounting and the family's reporting, including failing device
// callbacks.
#include "FamilyFixture.h"
#include "disk/RecordFormat.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

// Rewrites the NTFS version in $Volume through libntfs-3g, which keeps the
// mirror of the record in step.
void SetNtfsVersion(MemoryDevice& memory, const TempDir& temp, uint8_t major, uint8_t minor) {
    const std::string path = temp.File("version.img");
    memory.SaveToFile(path);
    ntfs_volume* mounted = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    ntfs_attr* information = mounted ? ntfs_attr_open(mounted->vol_ni, AT_VOLUME_INFORMATION, AT_UNNAMED, 0) : nullptr;
    const uint8_t version[] = {major, minor};
    EXPECT_TRUE(information && ntfs_attr_pwrite(information, VolumeInformation::MajorVersion, 2, version) == 2);
    if (information) ntfs_attr_close(information);
    if (mounted) ntfs_umount(mounted, FALSE);
    memory.Bytes() = ReadFileBytes(path);
}

}  // namespace

TEST_F(FamilyTest, MountsReportProgressAndRefusalsSayWhy) {
    struct Case {
        const char* what;
        std::function<void(MemoryDevice&)> damage;
        Lines reasons = {"failed to mount volume"};
    };
    // A failed read is the mount's failure: no line of its own.
    const std::vector<Case> cases = {
        {"boot sector unreadable",
         [](MemoryDevice& m) { m.failRead = [](uint64_t offset, uint32_t) { return offset < 512; }; }},
        {"zeroed volume", [](MemoryDevice& m) { std::fill(m.Bytes().begin(), m.Bytes().end(), 0); }},
        {"NTFS 1.2", [this](MemoryDevice& m) { SetNtfsVersion(m, temp, 1, 2); }, {"unsupported NTFS version"}},
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
        Lines expected = {"Failed to mount NTFS"};
        expected.insert(expected.end(), c.reasons.begin(), c.reasons.end());
        EXPECT_EQ(log->Lines().size(), expected.size() + 1);
        EXPECT_EQ(log->Errors(), expected);
        EXPECT_TRUE(memory.Bytes() == before);
    }
    // The same patch with a version libntfs-3g writes mounts: the refusal is for the version.
    ResetImage();
    SetNtfsVersion(memory, temp, 3, 0);
    Mount();
    Dismount();
    // Progress reaches the callback as information, and nothing once it is gone.
    EXPECT_EQ(log->Infos(), (Lines{"Mounting NTFS", "Dismounting NTFS"}));
    EXPECT_TRUE(log->Errors().empty());
    log->Clear();
    logging::deinitialize();
    memory.failRead = [](uint64_t offset, uint32_t) { return offset < 512; };
    filesystem::handle h;
    EXPECT_FALSE(filesystem::open(h, dev) || filesystem::close(h) || file::remove("x", h));
    EXPECT_TRUE(log->Lines().empty());
}

// A failing transfer fails its call, not the process; once the device works
// again so does the file, and a failed close keeps the handle for another try.
TEST_F(FamilyTest, FailingTransfersFailTheOperationNotTheProcess) {
    Mount();
    const std::vector<uint8_t> content = Pattern(256 * 1024, 7);
    CreateFileWith("big.bin", content);
    file::handle h;
    const file::attributes stamp{0x1, 130000000000000000ull, 130000000000000000ull, 130000000000000000ull, 0};
    ASSERT_TRUE(file::open(h, "big.bin", volume) && file::setAttributes(h, stamp));
    log->Clear();
    memory.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::close(h));
    ExpectErrors({"failed to close inode", "failed to write 4096 bytes at offset [0-9]+: I/O error"});
    memory.failWrite = nullptr;
    file::attributes after;
    ASSERT_TRUE(file::close(h) && file::open(h, "big.bin", volume) && file::getAttributes(h, after) && file::close(h));
    EXPECT_EQ(after.creationTime, stamp.creationTime);
    EXPECT_EQ(after.fileAttributes & 0x2023, 0x1u);
    // That failed write left the volume read-only: a new mount starts afresh.
    EXPECT_FALSE(filesystem::close(volume));
    volume = {};
    Mount();

    std::vector<uint8_t> buffer(64 * 1024);
    ASSERT_TRUE(file::open(h, "big.bin", volume) && file::read(h, 4096, buffer.data(), 64 * 1024));
    log->Clear();
    memory.failRead = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::read(h, 128 * 1024, buffer.data(), 64 * 1024));
    memory.failRead = nullptr;
    memory.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::write(h, 8192, buffer.data(), 4096));
    ExpectErrors({"failed to read data", "failed to read 65536 bytes at offset [0-9]+: I/O error", "failed to write data",
                  "failed to write 4096 bytes at offset [0-9]+: I/O error"});
    memory.failWrite = nullptr;

    // Once the device works again the file reads, but after a failed write
    // nothing changes any more, and the volume's close reports the failure.
    ASSERT_TRUE(file::read(h, 0, buffer.data(), static_cast<uint32_t>(buffer.size())));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin()));
    EXPECT_FALSE(file::setSize(h, 0));
    EXPECT_TRUE(file::close(h));
    EXPECT_FALSE(filesystem::close(volume));
    volume = {};
    ExpectErrors({"volume is read-only after a failed write", "Failed to dismount NTFS", "failed to write volume: I/O error"});
}

}  // namespace volcore::test
