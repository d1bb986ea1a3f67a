// Files and directories through the family: data round trips, sizes,
// attributes and times, creation and removal rules.
#include "FamilyFixture.h"

namespace volcore::test {

TEST_F(FamilyTest, FileDataRoundTrip) {
    Mount();
    file::handle h;
    uint64_t size = 99;
    uint8_t byte = 0;
    ASSERT_TRUE(file::create(h, "data.bin", volume) && file::getSize(h, size));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(file::read(h, 0, &byte, 1));
    EXPECT_TRUE(file::write(h, 0, nullptr, 0));

    // Small (resident), then large enough to move to clusters.
    std::vector<uint8_t> content = Pattern(300 * 1024, 2), buffer(100 * 1024, 0xAA);
    ASSERT_TRUE(file::write(h, 0, content.data(), 100));
    EXPECT_FALSE(file::read(h, 95, buffer.data(), 10) || file::read(h, 0, nullptr, 10) ||
                 file::read(h, uint64_t{1} << 63, buffer.data(), 1));
    ExpectErrors(Lines(4, "failed to read data"));
    ASSERT_TRUE(file::write(h, 100, content.data() + 100, static_cast<uint32_t>(content.size() - 100)));
    EXPECT_TRUE(file::getSize(h, size));
    EXPECT_EQ(size, content.size());

    // Growth is zero-filled; shrinking keeps the prefix.
    ASSERT_TRUE(file::setSize(h, 400 * 1024) && file::read(h, 300 * 1024, buffer.data(), 100 * 1024));
    EXPECT_EQ(buffer, std::vector<uint8_t>(100 * 1024, 0));
    ASSERT_TRUE(file::setSize(h, 5000) && file::getSize(h, size));
    EXPECT_EQ(size, 5000u);
    EXPECT_FALSE(file::setSize(h, uint64_t{1} << 63));
    EXPECT_TRUE(file::close(h));

    // Write past the end extends, then the volume round trip keeps it all.
    const std::vector<uint8_t> tail = Pattern(3000, 3);
    ASSERT_TRUE(file::open(h, "DATA.BIN", volume) && file::write(h, 8000, tail.data(), 3000) && file::close(h));
    content.resize(5000);
    content.resize(8000, 0);
    content.insert(content.end(), tail.begin(), tail.end());
    Dismount();
    Mount();
    EXPECT_EQ(ReadWhole("data.bin"), content);

    // The independent reader agrees.
    const std::string image = SaveImage(), copy = temp.File("data.copy");
    ASSERT_EQ(RunCommand("ntfscat " + ShellQuote(image) + " /data.bin > " + ShellQuote(copy)).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(copy), content);
}

TEST_F(FamilyTest, CreateOpenRemoveRules) {
    Mount();
    CreateFileWith("Keep.txt", {1, 2, 3});
    ASSERT_TRUE(directory::create("Dir", volume));
    log->Clear();
    file::handle h;
    EXPECT_FALSE(file::create(h, "KEEP.TXT", volume) || file::create(h, "dir", volume) ||
                 directory::create("keep.txt", volume) || file::create(h, "missing/x", volume) ||
                 file::open(h, "nothing", volume) || file::remove("nothing", volume) ||
                 file::create(h, "x", filesystem::handle{}));
    EXPECT_EQ(h.ptr, nullptr);
    ExpectErrors({"already exists", "already exists", "already exists", "failed to open directory", "file not found",
                  "file not found", "volume handle is invalid"});
    EXPECT_EQ(ReadWhole("keep.txt"), (std::vector<uint8_t>{1, 2, 3}));

    // A non-empty directory stays; either remove deletes whatever the path names.
    CreateFileWith("Dir/inner", {4});
    log->Clear();
    EXPECT_FALSE(directory::remove("dir", volume));
    ExpectErrors({"failed to delete file"});
    EXPECT_TRUE(directory::remove("DIR/INNER", volume) && file::remove("dir", volume) && file::remove("keep.txt", volume));
    EXPECT_EQ(Listing("").size(), Listing("/").size());
    EXPECT_FALSE(Listing("").count("Keep.txt") || Listing("").count("Dir"));
}

// Only the read-only, hidden, system and archive flags (0x2023) are the
// caller's to set; they and the times reach the inode and the index alike.
TEST_F(FamilyTest, AttributesAndTimesReachInodeAndIndex) {
    Mount();
    CreateFileWith("stamped", Pattern(1234, 4));
    ASSERT_TRUE(directory::create("folder", volume));
    file::handle h;
    file::attributes before, after, wanted{0xFFFFFFFF, 130000000000000000ull, 130000000000000001ull, 130000000000000002ull, 1};
    ASSERT_TRUE(file::open(h, "stamped", volume) && file::getAttributes(h, before));
    EXPECT_EQ(before.size, 1234u);
    EXPECT_EQ(before.fileAttributes & 0x10, 0u);
    for (const uint32_t flags : {0xFFFFFFFFu, 0u}) {
        wanted.fileAttributes = flags;
        ASSERT_TRUE(file::setAttributes(h, wanted) && file::close(h));
        Dismount();
        Mount();
        ASSERT_TRUE(file::open(h, "STAMPED", volume) && file::getAttributes(h, after));
        const directory::dirEntry listed = Listing("").at("stamped");
        EXPECT_EQ(after.fileAttributes, (before.fileAttributes & ~0x2023u) | (flags & 0x2023u));
        EXPECT_EQ(listed.fileAttributes & 0x2023, flags & 0x2023u);
        for (const auto& [creation, access, write, size] :
             {std::tuple{after.creationTime, after.lastAccessTime, after.lastWriteTime, after.size},
              std::tuple{listed.creationTime, listed.lastAccessTime, listed.lastWriteTime, listed.size}}) {
            EXPECT_EQ(std::tie(creation, access, write), std::tie(wanted.creationTime, wanted.lastAccessTime, wanted.lastWriteTime));
            EXPECT_EQ(size, 1234u);  // the size given is ignored
        }
    }
    EXPECT_TRUE(file::close(h));

    // A directory opens like a file and says what it is.
    ASSERT_TRUE(file::open(h, "folder", volume) && file::getAttributes(h, after) && file::close(h));
    EXPECT_NE(after.fileAttributes & 0x10, 0u);
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
