// One rule for the names of new objects, never applied to names that
// already exist.
#include <set>

#include "FamilyFixture.h"
#include "base/NameRules.h"
#include "base/Unicode.h"
#include "support/Ntfs3gTree.h"

namespace volcore::test {
namespace {

const char* const kForbidden = "name contains a character that is not allowed";
const char* const kUnpaired = "name contains an unpaired surrogate";

struct NameCase {
    std::u16string name;
    const char* problem;  // null when the name is taken
};

}  // namespace

TEST_F(FamilyTest, NewNamesFollowOneRule) {
    const NameCase cases[] = {
        {u"", "name is empty"}, {u".", "name is reserved"}, {u"..", "name is reserved"}, {u"a/b", kForbidden},
        {u"a\\b", kForbidden}, {u"x:y", kForbidden}, {std::u16string(u"a\0b", 3), kForbidden}, {u"\x01", kForbidden},
        {u"tab\x1f", kForbidden}, {u"*", kForbidden}, {u"a?", kForbidden}, {u"\"q\"", kForbidden},
        {u"<a>", kForbidden}, {u"a|b", kForbidden}, {u"a\xD800", kUnpaired}, {u"\xDC00z", kUnpaired},
        {u"\xDC00\xD800", kUnpaired}, {std::u16string(256, u'n'), "name is too long"},
        {std::u16string(255, u'n'), nullptr}, {u"...", nullptr}, {u" a b ", nullptr},
        {u"\u00e9t\u00e9 \U0001F600", nullptr}, {u"$not.meta", nullptr},
    };
    Mount();
    ASSERT_TRUE(directory::create("fs", volume));
    std::set<std::string> accepted, listed;
    for (const NameCase& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name));
        EXPECT_STREQ(NewNameProblem(c.name), c.problem);
        if (!c.problem) accepted.insert(Utf16ToUtf8(c.name));
        // "." and ".." are path steps here, slashes separate, NUL ends the
        // path, a colon names a stream, and UTF-8 cannot carry a lone surrogate.
        if (c.name.empty() || c.name == u"." || c.name == u".." || c.problem == kUnpaired ||
            c.name.find_first_of(std::u16string(u"/\\\0:", 4)) != c.name.npos)
            continue;
        log->Clear();
        file::handle created;
        EXPECT_EQ(file::create(created, ("fs/" + Utf16ToUtf8(c.name)).c_str(), volume), !c.problem);
        ExpectErrors(c.problem ? Lines{c.problem} : Lines{});
        EXPECT_TRUE(c.problem || file::close(created));
    }
    EXPECT_FALSE(directory::create("fs/a\xED\xA0\x80", volume));  // an encoded surrogate is not UTF-8
    ExpectErrors({"failed to convert path"});
    for (const auto& entry : Listing("fs")) listed.insert(entry.first);
    EXPECT_EQ(listed, accepted);

    // Names another system wrote stay reachable.
    const std::string image = SaveImage();
    Ntfs3gTree(image).MakeFile(u"x:y", {'h', 'e', 'l', 'd'});
    Ntfs3gTree(image).MakeFile(u"a*b?");
    memory.Bytes() = ReadFileBytes(image);
    Mount();
    EXPECT_EQ(ReadWhole("x:y"), (std::vector<uint8_t>{'h', 'e', 'l', 'd'}));
    EXPECT_TRUE(file::remove("x:y", volume) && file::remove("a*b?", volume));
}

}  // namespace volcore::test
