// One rule for the names of new objects: on UTF-16 as a 16-bit wchar_t hands
// it in, through both families, and never for names that already exist.
#include <set>

#include "FamilyFixture.h"
#include "base/NameRules.h"
#include "base/Unicode.h"
#include "support/LogCapture.h"
#include "support/Ntfs3gTree.h"
#include "volkit/api.h"

namespace volcore::test {
namespace {

const char* const kForbidden = "name contains a character that is not allowed";
const char* const kUnpaired = "name contains an unpaired surrogate";

struct NameCase {
    std::u16string name;
    const char* problem;  // null when the name is taken
};

}  // namespace

TEST_F(FamilyTest, NewNamesFollowOneRuleInBothFamilies) {
    const NameCase cases[] = {
        {u"", "name is empty"}, {u".", "name is reserved"}, {u"..", "name is reserved"}, {u"a/b", kForbidden},
        {u"a\\b", kForbidden}, {u"x:y", kForbidden}, {std::u16string(u"a\0b", 3), kForbidden}, {u"\x01", kForbidden},
        {u"tab\x1f", kForbidden}, {u"*", kForbidden}, {u"a?", kForbidden}, {u"\"q\"", kForbidden},
        {u"<a>", kForbidden}, {u"a|b", kForbidden}, {u"a\xD800", kUnpaired}, {u"\xDC00z", kUnpaired},
        {u"\xDC00\xD800", kUnpaired}, {std::u16string(256, u'n'), "name is too long"},
        {std::u16string(255, u'n'), nullptr}, {u"...", nullptr}, {u" a b ", nullptr},
        {u"\u00e9t\u00e9 \U0001F600", nullptr}, {u"$not.meta", nullptr},
    };
    std::set<std::string> accepted;
    auto names = [&](const char* dir) {
        std::set<std::string> listed;
        for (const auto& entry : Listing(dir)) listed.insert(entry.first);
        return listed;
    };
    LogCapture engineLog;
    api::NtfsVolumeHandle native;
    api::NtfsDirHandle dir;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), native) && api::NtfsCreateDir(L"native", dir, native));
    EXPECT_TRUE(api::NtfsCloseDir(dir));
    for (const NameCase& c : cases) {
        SCOPED_TRACE(volcore::Utf16ToUtf8(c.name));
        EXPECT_STREQ(volcore::NewNameProblem(c.name), c.problem);
        if (!c.problem) accepted.insert(volcore::Utf16ToUtf8(c.name));
        // The handle family splits at backslashes; a 32-bit wchar_t cannot carry a lone surrogate.
        if (c.name.empty() || c.name.find_first_of(std::u16string(u"\\\0", 2)) != c.name.npos || c.problem == kUnpaired)
            continue;
        api::NtfsFileHandle created;
        engineLog.Clear();
        const std::wstring path = L"native\\" + volcore::Utf16ToWide(c.name);
        EXPECT_EQ(api::NtfsCreateFile(path.c_str(), created, native), !c.problem);
        const std::string reason = engineLog.Errors().empty() ? "" : engineLog.Errors().back();
        EXPECT_TRUE(c.problem ? reason.ends_with(c.problem) : api::NtfsCloseFile(created)) << reason;
    }
    ASSERT_TRUE(api::NtfsCloseVolume(native));

    Mount();
    ASSERT_TRUE(directory::create("fs", volume));
    for (const NameCase& c : cases) {
        // "." and ".." are path steps here, slashes separate, NUL ends the path.
        if (c.name.empty() || c.name == u"." || c.name == u".." || c.name.find_first_of(std::u16string(u"/\\\0", 3)) != c.name.npos || c.problem == kUnpaired)
            continue;
        SCOPED_TRACE(volcore::Utf16ToUtf8(c.name));
        log->Clear();
        file::handle created;
        EXPECT_EQ(file::create(created, ("fs/" + volcore::Utf16ToUtf8(c.name)).c_str(), volume), !c.problem);
        ExpectErrors(c.problem ? Lines{c.problem} : Lines{});
        EXPECT_TRUE(c.problem || file::close(created));
    }
    EXPECT_FALSE(directory::create("fs/a\xED\xA0\x80", volume));  // an encoded surrogate is not UTF-8
    ExpectErrors({"failed to convert path"});
    EXPECT_EQ(names("fs"), accepted);
    EXPECT_EQ(names("native"), accepted);

    // Names another system wrote stay reachable in both families.
    const std::string image = SaveImage();
    Ntfs3gTree(image).MakeFile(u"x:y", {'h', 'e', 'l', 'd'});
    Ntfs3gTree(image).MakeFile(u"a*b?");
    memory.Bytes() = ReadFileBytes(image);
    Mount();
    EXPECT_EQ(ReadWhole("x:y"), (std::vector<uint8_t>{'h', 'e', 'l', 'd'}));
    EXPECT_TRUE(Listing("").count("x:y"));
    EXPECT_TRUE(file::remove("x:y", volume));
    Dismount();
    api::NtfsFileHandle existing;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), native) && api::NtfsOpenFile(L"a*b?", existing, native));
    EXPECT_TRUE(api::NtfsDeleteFile(existing) && api::NtfsCloseVolume(native));
}

}  // namespace volcore::test
