// Paths as they reach each operation: separators, steps, and refusals.
#include "FamilyFixture.h"

namespace volcore::test {
namespace {

bool Exists(const char* path, filesystem::handle volume) {
    file::handle h;
    return file::open(h, path, volume) && file::close(h);
}

}  // namespace

TEST_F(FamilyTest, PathsAsTheyReachOperations) {
    Mount();
    ASSERT_TRUE(directory::create("a", volume) && directory::create("a\\b", volume));
    CreateFileWith("a\\b/c", {1, 2, 3});
    EXPECT_TRUE(Exists("a/b/c", volume) && Exists("\\A\\B\\C", volume) && Exists("//a//b//c", volume));

    // Creation resolves "..", while the whole-path lookup of open and of
    // either remove does not: they remove only what the path names as written.
    CreateFileWith("a/../top", {9});
    EXPECT_TRUE(Exists("top", volume));
    log->Clear();
    EXPECT_FALSE(Exists("a/../top", volume) || file::remove("a/../top", volume) ||
                 directory::remove("a\\..\\top", volume));
    ExpectErrors(Lines(3, "file not found"));
    EXPECT_EQ(ReadWhole("top"), (std::vector<uint8_t>{9}));

    const char* const empty = "path contains no elements";
    const char* const outside = "relative path points outside of the given path";
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "cannot normalize empty path"}, {"", empty}, {"/", empty}, {"//", empty}, {".", empty},
        {"./.", empty}, {"a/..", empty}, {"..", outside}, {"a/../..", outside}, {"/../a", outside},
        {"a/bad\xFF", "failed to convert path"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path ? path : "(null)");
        log->Clear();
        file::handle h;
        EXPECT_FALSE(file::create(h, path, volume) || file::remove(path, volume) || directory::create(path, volume) ||
                     directory::remove(path, volume));
        EXPECT_EQ(h.ptr, nullptr);
        // Removal looks the whole path up before the name is converted.
        const char* lookup = std::string(message) == "failed to convert path" ? "file not found" : message;
        ExpectErrors({message, lookup, message, lookup});
        // Of these, open takes only the root itself, for its attributes and times, never its data.
        const bool root = path && (std::string(path).empty() || std::string(path) == "/" || std::string(path) == "//");
        ASSERT_EQ(file::open(h, path, volume), root);
        uint8_t byte = 0;
        EXPECT_FALSE(root && (file::read(h, 0, &byte, 1) || file::write(h, 0, &byte, 1) || file::setSize(h, 1)));
        EXPECT_TRUE(!root || file::close(h));
    }

    // fetch does not split: empty and "/" name the root; null still fails.
    for (const char* root : {"", "/", "\\"}) EXPECT_GT(Listing(root).size(), 10u) << root;
    log->Clear();
    EXPECT_FALSE(directory::fetch(nullptr, volume, [](const directory::dirEntry&, void*) { return true; }, nullptr));
    ExpectErrors({"cannot normalize empty path"});
}

}  // namespace volcore::test
