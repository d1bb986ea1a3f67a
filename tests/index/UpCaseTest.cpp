#include <gtest/gtest.h>

#include <vector>

#include "api/Exception.h"
#include "index/UpCase.h"
#include "ntfs3g/Ntfs3g.h"

using namespace volcore;

namespace {

// The table mkntfs writes, built by the reference library for comparison.
UpCaseTable ReferenceTable() {
    std::vector<ntfschar> units(65536);
    ntfs_upcase_table_build(units.data(), static_cast<u32>(units.size() * sizeof(ntfschar)));
    std::vector<uint8_t> bytes(units.size() * 2);
    for (size_t i = 0; i < units.size(); ++i) {
        uint16_t unit = le16_to_cpu(units[i]);
        bytes[2 * i] = static_cast<uint8_t>(unit);
        bytes[2 * i + 1] = static_cast<uint8_t>(unit >> 8);
    }
    return BuildUpCaseTable(bytes);
}

}  // namespace

TEST(UpCase, BuildsTheTableFromLittleEndianUnitsAndRejectsOddSizes) {
    std::vector<uint8_t> bytes = {0x41, 0x00, 0x34, 0x12};
    UpCaseTable table = BuildUpCaseTable(bytes);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0], 0x0041);
    EXPECT_EQ(table[1], 0x1234);

    EXPECT_TRUE(BuildUpCaseTable({}).empty());

    std::vector<uint8_t> odd = {1, 2, 3};
    try {
        BuildUpCaseTable(odd);
        FAIL() << "an odd table size was accepted";
    } catch (const CException& e) {
        EXPECT_STREQ(e.what(), "Invalid UpCase data size 3");
    }
}

TEST(UpCase, UnitsBeyondTheTableCompareAsThemselves) {
    UpCaseTable small(0x100);
    for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<uint16_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    EXPECT_EQ(ToUpper(small, u'q'), u'Q');
    EXPECT_EQ(ToUpper(small, char16_t{0x1234}), char16_t{0x1234});
    EXPECT_EQ(ToUpper(small, char16_t{0x100}), char16_t{0x100});

    UpCaseTable empty;
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"ABC", empty), ECollation::Greater);
    EXPECT_EQ(CompareIgnoreCase(u"ABC", u"ABC", empty), ECollation::Equal);
    EXPECT_EQ(CompareIgnoreCase(u"AB", u"ABC", empty), ECollation::Less);
}

TEST(UpCase, ComparesIgnoringCaseThenByLength) {
    UpCaseTable table = ReferenceTable();
    ASSERT_EQ(table.size(), 65536u);
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"ABC", table), ECollation::Equal);
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"abcd", table), ECollation::Less);
    EXPECT_EQ(CompareIgnoreCase(u"ab", u"abc", table), ECollation::Less);
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"ab", table), ECollation::Greater);
    EXPECT_EQ(CompareIgnoreCase(u"b", u"AB", table), ECollation::Greater);
    EXPECT_EQ(CompareIgnoreCase(u"", u"", table), ECollation::Equal);
    EXPECT_EQ(CompareIgnoreCase(u"", u"a", table), ECollation::Less);
    // Beyond ASCII: Cyrillic and Greek letters fold, and units compare unsigned.
    EXPECT_EQ(CompareIgnoreCase(u"\u0436\u03b1", u"\u0416\u0391", table), ECollation::Equal);
    EXPECT_EQ(CompareIgnoreCase(u"\uffff", u"a", table), ECollation::Greater);
    // Surrogates are compared unit by unit, never combined.
    EXPECT_EQ(CompareIgnoreCase(u"\xd83d\xde00", u"\xd83d\xde01", table), ECollation::Less);

    // Underscore sorts after upper-case letters, which is where a naive
    // lower-casing collation would go wrong.
    FileNameLess less{&table};
    EXPECT_TRUE(less(u"ZEBRA", u"_x"));
    EXPECT_FALSE(less(u"zebra", u"ZEBRA"));
    EXPECT_FALSE(less(u"ZEBRA", u"zebra"));
}
