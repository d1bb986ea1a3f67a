// Path preparation, alone and as it reaches each operation.
#include <stdexcept>

#include "FamilyFixture.h"
#include "ntfs3g/PathRules.h"

namespace volcore::test {
namespace {

using fsfamily::splitPath;

bool Exists(const char* path, filesystem::handle volume) {
    file::handle h;
    if (!file::open(h, path, volume)) return false;
    EXPECT_TRUE(file::close(h));
    return true;
}

}  // namespace

TEST(PathRules, NormalizeSplitAndConvert) {
    EXPECT_EQ(fsfamily::normalizePath("a\\b/c\\\\"), "a/b/c//");
    EXPECT_EQ(fsfamily::normalizePath(""), "");
    EXPECT_EQ(FailureOf([] { fsfamily::normalizePath(nullptr); }), "cannot normalize empty path");

    const auto split = splitPath("a//b/");
    EXPECT_EQ(split.parentPath, "/a");
    EXPECT_EQ(split.name, "b");
    EXPECT_EQ(splitPath("a\\b/./c").parentPath, "/a/b");
    EXPECT_EQ(splitPath("a/../b").parentPath, "");
    EXPECT_EQ(splitPath("a/../b").name, "b");
    EXPECT_EQ(splitPath("x/...").name, "...");
    for (const char* empty : {"", "/", "//", ".", "./.", "a/.."})
        EXPECT_EQ(FailureOf([&] { splitPath(empty); }), "path contains no elements") << empty;
    for (const char* outside : {"..", "a/../..", "/../a"})
        EXPECT_EQ(FailureOf([&] { splitPath(outside); }), "relative path points outside of the given path") << outside;

    // Characters beyond the BMP take two units each.
    EXPECT_EQ(fsfamily::convertName("\xC3\xA9\xF0\x9F\x98\x80").size(), 3u);
    EXPECT_EQ(FailureOf([] { fsfamily::convertName("bad\xFF"); }), "failed to convert path");
}

TEST_F(FamilyTest, PathsAsTheyReachOperations) {
    Mount();
    ASSERT_TRUE(directory::create("a", volume));
    ASSERT_TRUE(directory::create("a\\b", volume));
    CreateFileWith("a\\b/c", {1, 2, 3});
    EXPECT_TRUE(Exists("a/b/c", volume));
    EXPECT_TRUE(Exists("\\A\\B\\C", volume));
    EXPECT_TRUE(Exists("//a//b//c", volume));

    // Creation resolves "..", while the whole-path lookup of open does not.
    CreateFileWith("a/../top", {9});
    EXPECT_TRUE(Exists("top", volume));
    log->Clear();
    EXPECT_FALSE(Exists("a/../top", volume));
    EXPECT_EQ(log->Errors(), std::vector<std::string>{"file not found"});

    struct Case {
        const char* path;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, "cannot normalize empty path"},
        {"", "path contains no elements"},
        {"/", "path contains no elements"},
        {"a/..", "path contains no elements"},
        {"..", "relative path points outside of the given path"},
        {"a/../..", "relative path points outside of the given path"},
        {"a/bad\xFF", "failed to convert path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        log->Clear();
        file::handle h;
        EXPECT_FALSE(file::create(h, c.path, volume));
        EXPECT_FALSE(file::remove(c.path, volume));
        EXPECT_FALSE(directory::create(c.path, volume));
        EXPECT_FALSE(directory::remove(c.path, volume));
        EXPECT_EQ(h.ptr, nullptr);
        const auto errors = log->Errors();
        ASSERT_EQ(errors.size(), 4u);
        // remove looks the whole path up before the name is converted.
        const bool converts = std::string(c.message) == "failed to convert path";
        EXPECT_EQ(errors[0], c.message);
        EXPECT_EQ(errors[1], converts ? "file not found" : c.message);
        EXPECT_EQ(errors[2], c.message);
        // Of these, open takes only the root itself, for its attributes and times, never its data.
        const bool root = c.path && (std::string(c.path).empty() || std::string(c.path) == "/");
        ASSERT_EQ(file::open(h, c.path, volume), root);
        if (!root) continue;
        uint8_t byte = 0;
        EXPECT_FALSE(file::read(h, 0, &byte, 1) || file::write(h, 0, &byte, 1) || file::setSize(h, 1));
        EXPECT_TRUE(file::close(h));
    }

    // fetch does not split: empty and "/" name the root; null still fails.
    for (const char* root : {"", "/", "\\"}) {
        int count = 0;
        EXPECT_TRUE(directory::fetch(root, volume, [](const directory::dirEntry&, void* n) {
            ++*static_cast<int*>(n);
            return true;
        }, &count));
        EXPECT_GT(count, 10) << root;
    }
    log->Clear();
    EXPECT_FALSE(directory::fetch(nullptr, volume, [](const directory::dirEntry&, void*) { return true; }, nullptr));
    EXPECT_EQ(log->Errors(), std::vector<std::string>{"cannot normalize empty path"});
}

}  // namespace volcore::test
