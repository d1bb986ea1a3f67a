#include <gtest/gtest.h>

#include <vector>

#include "base/Exception.h"
#include "disk/RecordFormat.h"
#include "disk/UpCase.h"
#include "support/EngineVolume.h"

using namespace volcore;
using namespace volcore::test;

TEST(UpCase, ComparesIgnoringCaseThenByLength) {
    EngineVolume image;  // the table mkntfs writes
    const UpCaseTable& table = image.Volume().GetUpCase();
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"ABC", table), ECollation::Equal);
    EXPECT_EQ(CompareIgnoreCase(u"ab", u"abc", table), ECollation::Less);
    EXPECT_EQ(CompareIgnoreCase(u"b", u"AB", table), ECollation::Greater);
    EXPECT_EQ(CompareIgnoreCase(u"\u0436\u03b1", u"\u0416\u0391", table), ECollation::Equal);
    // Units compare unsigned and surrogates one by one, never combined.
    EXPECT_EQ(CompareIgnoreCase(u"\uffff", u"a", table), ECollation::Greater);
    EXPECT_EQ(CompareIgnoreCase(u"\xd83d\xde00", u"\xd83d\xde01", table), ECollation::Less);
    // Underscore sorts after the upper-case letters, where a lower-casing
    // collation would put it before them.
    EXPECT_EQ(CompareFileNames(u"ZEBRA", u"_x", table), ECollation::Less);
    // In an index, names equal ignoring case follow their exact units.
    EXPECT_EQ(CompareFileNames(u"ZEBRA", u"zebra", table), ECollation::Less);
    EXPECT_EQ(CompareFileNames(u"zebra", u"ZEBRA", table), ECollation::Greater);
    EXPECT_EQ(CompareFileNames(u"zebra", u"ZEBRAS", table), ECollation::Less);
}

// Units past a short table stay themselves; a longer one serves its first
// 64 Ki entries; a table of an odd size is refused.
TEST(UpCase, TablesOfEverySizeAreServedOrRefused) {
    EXPECT_EQ(FailureOf([] { BuildUpCaseTable(std::vector<uint8_t>{1, 2, 3}); }), "Invalid UpCase data size 3");
    UpCaseTable small(0x100, u'X');
    EXPECT_EQ(ToUpper(small, char16_t{0xFF}), u'X');
    EXPECT_EQ(ToUpper(small, char16_t{0x1234}), char16_t{0x1234});
    EXPECT_EQ(CompareIgnoreCase(u"abc", u"ABC", BuildUpCaseTable({})), ECollation::Greater);

    EngineVolume image(ImageOptions{}, ELoadDepth::Allocator);
    const UpCaseTable written = image.Volume().GetUpCase();
    ASSERT_EQ(written.size(), 0x10000u);
    auto resize = [&](uint64_t size) {
        FileEntryPtr entry = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), image.Volume());
        AttributePtr data = entry->GetAttribute(AttrType::Data);
        data->SetSize(size);
        std::vector<uint8_t> tail(size - 0x20000, 0x41);
        data->WriteData(0x20000, tail.data(), static_cast<uint32_t>(tail.size()));
        entry->Save();
        image.Reopen(ELoadDepth::BootSector);  // writes the bitmaps
        return FailureOf([&] { image.Reopen(ELoadDepth::Full); });
    };
    EXPECT_EQ(resize(0x20000 + 4096), "");
    EXPECT_EQ(image.Volume().GetUpCase(), written);
    EXPECT_EQ(resize(0x20000 + 4097), "Invalid UpCase data size 135169");
}
