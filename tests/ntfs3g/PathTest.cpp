// Path preparation, alone and as it reaches each operation.
#include "FamilyFixture.h"
#include "ntfs3g/PathRules.h"

namespace volcore::test {
namespace {

bool Exists(const char* path, filesystem::handle volume) {
    file::handle h;
    return file::open(h, path, volume) && file::close(h);
}

int CountEntries(const char* path, filesystem::handle volume) {
    int count = 0;
    const bool listed = directory::fetch(path, volume, [](const directory::dirEntry&, void* n) {
        ++*static_cast<int*>(n);
        return true;
    }, &count);
    return listed ? count : -1;
}

}  // namespace

TEST(PathRules, NormalizeSplitAndConvert) {
    EXPECT_EQ(fsfamily::normalizePath("a\\b/c\\\\"), "a/b/c//");
    EXPECT_EQ(fsfamily::normalizePath(""), "");
    const std::pair<const char*, fsfamily::splitResult> splits[] = {
        {"a//b/", {"b", "/a"}}, {"a\\b/./c", {"c", "/a/b"}}, {"a/../b", {"b", ""}}, {"x/...", {"...", "/x"}}};
    for (const auto& [path, expected] : splits) {
        const auto split = fsfamily::splitPath(path);
        EXPECT_EQ(std::tie(split.parentPath, split.name), std::tie(expected.parentPath, expected.name)) << path;
    }
    // Characters beyond the BMP take two units each.
    EXPECT_EQ(fsfamily::convertName("\xC3\xA9\xF0\x9F\x98\x80").size(), 3u);
}

TEST_F(FamilyTest, PathsAsTheyReachOperations) {
    Mount();
    ASSERT_TRUE(directory::create("a", volume) && directory::create("a\\b", volume));
    CreateFileWith("a\\b/c", {1, 2, 3});
    EXPECT_TRUE(Exists("a/b/c", volume) && Exists("\\A\\B\\C", volume) && Exists("//a//b//c", volume));

    // Creation resolves "..", while the whole-path lookup of open does not.
    CreateFileWith("a/../top", {9});
    EXPECT_TRUE(Exists("top", volume));
    log->Clear();
    EXPECT_FALSE(Exists("a/../top", volume));
    ExpectErrors({"file not found"});

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
    for (const char* root : {"", "/", "\\"}) EXPECT_GT(CountEntries(root, volume), 10) << root;
    log->Clear();
    EXPECT_EQ(CountEntries(nullptr, volume), -1);
    ExpectErrors({"cannot normalize empty path"});
}

}  // namespace volcore::test
