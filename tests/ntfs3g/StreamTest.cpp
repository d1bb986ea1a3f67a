// Named streams through the family: "file:name" paths beside handles on the
// file itself, what the listing reports while they are open, removal, and
// what such paths refuse; a real fsck judges the volume afterwards.
#include "FamilyFixture.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

namespace volcore::test {

using StreamSizes = std::map<std::string, uint64_t>;

StreamSizes StreamsOf(const char* path, filesystem::handle volume) {
    StreamSizes sizes;
    EXPECT_TRUE(file::fetchStreams(path, volume, [](const file::streamEntry& entry, void* sizes) {
        (*static_cast<StreamSizes*>(sizes))[NameOf(entry.name)] = entry.size;
        return true;
    }, &sizes)) << path;
    return sizes;
}

TEST_F(FamilyTest, StreamsBesideTheFileSurviveSessionsAndGoWithIt) {
    Mount();
    const std::vector<uint8_t> big = Pattern(70000, 1), main = Pattern(3000, 2);
    CreateFileWith("new:big", big);  // makes the file too
    file::handle whole, stream, small;
    ASSERT_TRUE(file::open(whole, "NEW", volume) && file::write(whole, 0, main.data(), 3000));
    ASSERT_TRUE(file::create(small, "new:Small", volume) && file::write(small, 0, "abc", 3));
    ASSERT_TRUE(file::open(stream, "new:BIG:$data", volume) && file::setSize(stream, 50000));
    EXPECT_EQ(StreamsOf("new", volume), (StreamSizes{{"big", 50000}, {"Small", 3}}));
    uint64_t size = 0;
    EXPECT_TRUE(file::getSize(stream, size) && size == 50000 && file::getSize(whole, size) && size == 3000);
    ASSERT_TRUE(file::remove("new:small", volume));
    EXPECT_FALSE(file::read(small, 0, &size, 1));
    ExpectErrors({"stream has been removed"});
    for (file::handle h : {small, stream, whole}) EXPECT_TRUE(file::close(h));
    Dismount();

    Mount();
    EXPECT_EQ(ReadWhole("new:big"), std::vector<uint8_t>(big.begin(), big.begin() + 50000));
    EXPECT_EQ(ReadWhole("new::$DATA"), main);
    EXPECT_EQ(StreamsOf("new:BIG", volume), (StreamSizes{{"big", 50000}}));
    file::handle refused;
    EXPECT_FALSE(file::open(refused, "new:", volume) || file::open(refused, "new:big:$INDEX", volume) ||
                 file::create(refused, "new:big", volume) || file::open(refused, "new:none", volume) ||
                 file::create(refused, "new:a*b", volume) || file::create(refused, "$MFT:x", volume) ||
                 file::remove("new:none", volume) || file::open(refused, "none:big", volume));
    ExpectErrors({"invalid stream name", "invalid stream type", "already exists", "stream not found", ".+",
                  "cannot change a system file", "stream not found", "file not found"});
    // Clusters the removed streams kept would show as leaks.
    ASSERT_TRUE(file::open(stream, "new:big", volume) && file::remove("new", volume));
    EXPECT_FALSE(file::read(stream, 0, &size, 1));
    ExpectErrors({"file has been removed"});
    EXPECT_TRUE(file::close(stream));
    const std::string image = SaveImage();
    const CheckOutcome check = CheckVolume(memory.Api());
    EXPECT_TRUE(check.Clean()) << check.Describe();
    EXPECT_TRUE(NtfsckAccepts(image));
}

}  // namespace volcore::test
