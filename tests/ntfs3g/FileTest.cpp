// Files and directories through the family: what transfers refuse,
// attributes and times, creation and removal rules.
#include "FamilyFixture.h"

namespace volcore::test {

TEST_F(FamilyTest, TransfersAndCreationRefuseWhatTheyCannotDoExactly) {
    Mount();
    file::handle h;
    uint64_t size = 99;
    uint8_t byte = 0;
    const std::vector<uint8_t> content = Pattern(100, 2);
    ASSERT_TRUE(file::create(h, "data.bin", volume) && file::getSize(h, size));
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(file::read(h, 0, &byte, 1));
    EXPECT_TRUE(file::write(h, 0, nullptr, 0) && file::write(h, 0, content.data(), 100));
    std::vector<uint8_t> buffer(10);
    EXPECT_FALSE(file::read(h, 95, buffer.data(), 10) || file::read(h, 0, nullptr, 10) ||
                 file::read(h, uint64_t{1} << 63, buffer.data(), 1) || file::write(h, 0, nullptr, 1) ||
                 file::write(h, uint64_t{1} << 63, &byte, 1) || file::setSize(h, uint64_t{1} << 63));
    ExpectErrors({"failed to read data", "failed to read data", "failed to read data", "failed to read data",
                  "failed to write data", "failed to write data", "failed to set attr size"});
    EXPECT_TRUE(file::close(h));
    EXPECT_EQ(ReadWhole("DATA.BIN"), content);

    CreateFileWith("Keep.txt", {1, 2, 3});
    ASSERT_TRUE(directory::create("Dir", volume));
    file::handle refused;
    EXPECT_FALSE(file::create(refused, "KEEP.TXT", volume) || file::create(refused, "dir", volume) ||
                 directory::create("keep.txt", volume) || file::create(refused, "missing/x", volume) ||
                 file::open(refused, "nothing", volume) || file::remove("nothing", volume) ||
                 file::create(refused, "x", filesystem::handle{}));
    EXPECT_EQ(refused.ptr, nullptr);
    ExpectErrors({"already exists", "already exists", "already exists", "failed to open directory", "file not found",
                  "file not found", "volume handle is invalid"});
    EXPECT_EQ(ReadWhole("keep.txt"), (std::vector<uint8_t>{1, 2, 3}));

    // A non-empty directory stays; either remove deletes whatever the path names.
    CreateFileWith("Dir/inner", {4});
    EXPECT_FALSE(directory::remove("dir", volume));
    ExpectErrors({"failed to delete file"});
    EXPECT_TRUE(directory::remove("DIR/INNER", volume) && file::remove("dir", volume) && file::remove("keep.txt", volume));
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
}

}  // namespace volcore::test
