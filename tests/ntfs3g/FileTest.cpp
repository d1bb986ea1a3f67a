// Files and directories through the family: data round trips, sizes,
// attributes and times, creation and removal rules.
#include "FamilyFixture.h"

namespace volcore::test {
namespace {

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(FamilyTest, FileDataRoundTrip) {
    Mount();
    file::handle h;
    ASSERT_TRUE(file::create(h, "data.bin", volume));
    uint64_t size = 99;
    EXPECT_TRUE(file::getSize(h, size));
    EXPECT_EQ(size, 0u);
    uint8_t byte = 0;
    EXPECT_FALSE(file::read(h, 0, &byte, 1));
    EXPECT_TRUE(file::write(h, 0, nullptr, 0));

    // Small (resident), then large enough to move to clusters.
    const std::vector<uint8_t> small = Pattern(100, 1);
    ASSERT_TRUE(file::write(h, 0, small.data(), 100));
    std::vector<uint8_t> buffer(10);
    EXPECT_FALSE(file::read(h, 95, buffer.data(), 10));
    EXPECT_FALSE(file::read(h, 0, nullptr, 10));
    EXPECT_FALSE(file::read(h, uint64_t{1} << 63, buffer.data(), 1));
    EXPECT_EQ(log->Errors(), (Lines{"failed to read data", "failed to read data", "failed to read data",
                                    "failed to read data"}));
    std::vector<uint8_t> content = Pattern(300 * 1024, 2);
    std::copy(small.begin(), small.end(), content.begin());
    ASSERT_TRUE(file::write(h, 100, content.data() + 100, static_cast<uint32_t>(content.size() - 100)));
    EXPECT_TRUE(file::getSize(h, size));
    EXPECT_EQ(size, content.size());

    // Growth is zero-filled; shrinking keeps the prefix.
    ASSERT_TRUE(file::setSize(h, 400 * 1024));
    buffer.assign(100 * 1024, 0xAA);
    ASSERT_TRUE(file::read(h, 300 * 1024, buffer.data(), static_cast<uint32_t>(buffer.size())));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));
    ASSERT_TRUE(file::setSize(h, 5000));
    EXPECT_TRUE(file::getSize(h, size));
    EXPECT_EQ(size, 5000u);
    EXPECT_FALSE(file::setSize(h, uint64_t{1} << 63));
    EXPECT_TRUE(file::close(h));
    content.resize(5000);

    // Write past the end extends, then the volume round trip keeps it all.
    ASSERT_TRUE(file::open(h, "DATA.BIN", volume));
    const std::vector<uint8_t> tail = Pattern(3000, 3);
    ASSERT_TRUE(file::write(h, 8000, tail.data(), 3000));
    EXPECT_TRUE(file::close(h));
    content.resize(8000, 0);
    content.insert(content.end(), tail.begin(), tail.end());
    Dismount();
    Mount();
    EXPECT_EQ(ReadWhole("data.bin"), content);

    // The independent reader agrees.
    const std::string image = SaveImage();
    const std::string copy = temp.File("data.copy");
    ASSERT_EQ(RunCommand("ntfscat " + ShellQuote(image) + " /data.bin > " + ShellQuote(copy)).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(copy), content);
}

TEST_F(FamilyTest, CreateOpenRemoveRules) {
    Mount();
    CreateFileWith("Keep.txt", {1, 2, 3});
    ASSERT_TRUE(directory::create("Dir", volume));
    log->Clear();
    file::handle h;
    EXPECT_FALSE(file::create(h, "KEEP.TXT", volume));
    EXPECT_FALSE(file::create(h, "dir", volume));
    EXPECT_FALSE(directory::create("keep.txt", volume));
    EXPECT_FALSE(file::create(h, "missing/x", volume));
    EXPECT_FALSE(file::open(h, "nothing", volume));
    EXPECT_FALSE(file::remove("nothing", volume));
    EXPECT_FALSE(file::create(h, "x", filesystem::handle{}));
    EXPECT_EQ(h.ptr, nullptr);
    EXPECT_EQ(log->Errors(), (Lines{"already exists", "already exists", "already exists", "failed to open directory",
                                    "file not found", "file not found", "volume handle is invalid"}));
    EXPECT_EQ(ReadWhole("keep.txt"), (std::vector<uint8_t>{1, 2, 3}));

    // A non-empty directory stays; either remove deletes whatever the path names.
    CreateFileWith("Dir/inner", {4});
    log->Clear();
    EXPECT_FALSE(directory::remove("dir", volume));
    EXPECT_EQ(log->Errors(), Lines{"failed to delete file"});
    EXPECT_TRUE(directory::remove("DIR/INNER", volume));
    EXPECT_TRUE(file::remove("dir", volume));
    EXPECT_TRUE(file::remove("keep.txt", volume));
    EXPECT_EQ(Listing("").size(), Listing("/").size());
    EXPECT_FALSE(Listing("").count("Keep.txt") || Listing("").count("Dir"));
}

TEST_F(FamilyTest, AttributesAndTimesReachInodeAndIndex) {
    Mount();
    CreateFileWith("stamped", Pattern(1234, 4));
    file::handle h;
    ASSERT_TRUE(file::open(h, "stamped", volume));
    file::attributes before;
    ASSERT_TRUE(file::getAttributes(h, before));
    EXPECT_EQ(before.size, 1234u);
    EXPECT_EQ(before.fileAttributes & 0x10, 0u);

    file::attributes wanted;
    wanted.fileAttributes = 0xFFFFFFFF;
    wanted.creationTime = 130000000000000000ull;
    wanted.lastAccessTime = 130000000000000001ull;
    wanted.lastWriteTime = 130000000000000002ull;
    wanted.size = 1;  // ignored
    ASSERT_TRUE(file::setAttributes(h, wanted));
    ASSERT_TRUE(file::close(h));
    Dismount();
    Mount();

    ASSERT_TRUE(file::open(h, "STAMPED", volume));
    file::attributes after;
    ASSERT_TRUE(file::getAttributes(h, after));
    EXPECT_EQ(after.fileAttributes, (before.fileAttributes & ~0x2023u) | 0x2023u);
    EXPECT_EQ(after.creationTime, wanted.creationTime);
    EXPECT_EQ(after.lastAccessTime, wanted.lastAccessTime);
    EXPECT_EQ(after.lastWriteTime, wanted.lastWriteTime);
    EXPECT_EQ(after.size, 1234u);
    const directory::dirEntry listed = Listing("").at("stamped");
    EXPECT_EQ(listed.fileAttributes & 0x2023, 0x2023u);
    EXPECT_EQ(listed.creationTime, wanted.creationTime);
    EXPECT_EQ(listed.lastWriteTime, wanted.lastWriteTime);
    EXPECT_EQ(listed.size, 1234u);

    wanted.fileAttributes = 0;
    ASSERT_TRUE(file::setAttributes(h, wanted));
    ASSERT_TRUE(file::close(h));
    ASSERT_TRUE(file::open(h, "stamped", volume));
    ASSERT_TRUE(file::getAttributes(h, after));
    EXPECT_EQ(after.fileAttributes & 0x2023, 0u);
    EXPECT_EQ(after.fileAttributes, before.fileAttributes & ~0x2023u);
    EXPECT_TRUE(file::close(h));

    // A directory opens like a file and says what it is.
    ASSERT_TRUE(directory::create("folder", volume));
    ASSERT_TRUE(file::open(h, "folder", volume));
    ASSERT_TRUE(file::getAttributes(h, after));
    EXPECT_NE(after.fileAttributes & 0x10, 0u);
    EXPECT_TRUE(file::close(h));
    const directory::dirEntry folder = Listing("").at("folder");
    EXPECT_NE(folder.fileAttributes & 0x10, 0u);
    EXPECT_EQ(folder.size, 0u);
}

TEST_F(FamilyTest, FailedCloseKeepsTheHandleForAnotherTry) {
    Mount();
    CreateFileWith("pending", Pattern(10, 8));
    file::handle h;
    ASSERT_TRUE(file::open(h, "pending", volume));
    file::attributes stamp{0x1, 130000000000000000ull, 130000000000000000ull, 130000000000000000ull, 0};
    ASSERT_TRUE(file::setAttributes(h, stamp));
    log->Clear();
    memory.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(file::close(h));
    EXPECT_EQ(log->Errors(), (Lines{"failed to close inode", "failed to write 4096 bytes at offset 81920: I/O error"}));
    memory.failWrite = nullptr;
    ASSERT_TRUE(file::close(h));

    ASSERT_TRUE(file::open(h, "pending", volume));
    file::attributes after;
    ASSERT_TRUE(file::getAttributes(h, after));
    EXPECT_EQ(after.creationTime, stamp.creationTime);
    EXPECT_EQ(after.fileAttributes & 0x2023, 0x1u);
    EXPECT_TRUE(file::close(h));
}

}  // namespace volcore::test
