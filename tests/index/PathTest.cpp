#include <gtest/gtest.h>

#include "index/Directory.h"

using namespace volcore;

TEST(Path, SplitDropsEmptyComponentsAndJoinRebuildsTheCanonicalForm) {
    using Parts = std::vector<std::u16string>;
    EXPECT_EQ(SplitPath(u""), Parts{});
    EXPECT_EQ(SplitPath(u"\\\\\\"), Parts{});
    EXPECT_EQ(SplitPath(u"\\a\\\\b\\"), (Parts{u"a", u"b"}));
    // Only the backslash separates; slash, dots and blanks are name characters.
    EXPECT_EQ(SplitPath(u"x/y\\..\\ . "), (Parts{u"x/y", u"..", u" . "}));
    EXPECT_EQ(SplitPath(u"\U0001F600\\\u00e9"), (Parts{u"\U0001F600", u"\u00e9"}));

    EXPECT_EQ(JoinPath({}), u"");
    EXPECT_EQ(JoinPath({u"", u"a", u"", u"b", u""}), u"a\\b");
    EXPECT_EQ(JoinPath(SplitPath(u"\\\\a\\b\\\\c\\")), u"a\\b\\c");
}

TEST(Path, LastComponentIsTheNewNameAndAnEmptyPathIsRefused) {
    SParentAndName deep = SplitLastComponent(u"\\a\\\\b\\c\\");
    EXPECT_EQ(deep.parentPath, u"a\\b");
    EXPECT_EQ(deep.name, u"c");
    SParentAndName top = SplitLastComponent(u"name");
    EXPECT_EQ(top.parentPath, u"");
    EXPECT_EQ(top.name, u"name");
    try {
        SplitLastComponent(u"\\\\");
        FAIL() << "no exception";
    } catch (const CException& e) {
        EXPECT_STREQ(e.what(), "Invalid path: \\\\");
    }
}
