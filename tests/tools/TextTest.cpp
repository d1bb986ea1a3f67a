// The tool's conversions of what users type: times, sizes and UTF-8.
#include <gtest/gtest.h>

#include "Text.h"

using namespace volcore::tool;

TEST(ToolText, NtfsTimesRoundTripThroughIso8601) {
    // Leap days, fractions, dates alone and the epoch travel through touch, stat and ls in the tool's tests.
    EXPECT_EQ(FormatNtfsTime(0), "1601-01-01T00:00:00Z");
    EXPECT_EQ(*ParseNtfsTime("2024-03-01T10:20"), *ParseNtfsTime("2024-03-01T10:20:00"));
    for (const char* bad : {"", "2023-02-29", "2024-13-01", "2024-01-01T24:00", "1600-12-31", "2024-01-01T10",
                            "2024-01-01T10:00:00.", "2024-01-01X", "tomorrow"})
        EXPECT_FALSE(ParseNtfsTime(bad).has_value()) << bad;
}

TEST(ToolText, ByteSizesTakeBinarySuffixesAndRefuseOverflow) {
    EXPECT_EQ(*ParseByteSize("2g"), 2ull << 30);
    EXPECT_EQ(*ParseByteSize("16777215T"), 16777215ull << 40);
    for (const char* bad : {"", "M", "-1", "1.5G", "16777216T", "99999999999999999999", "12Q"})
        EXPECT_FALSE(ParseByteSize(bad).has_value()) << bad;
}

TEST(ToolText, Utf8DecodingIsStrict) {
    EXPECT_EQ(*Utf8ToWide("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), std::wstring(L"a\u00FC\u20AC\U0001F600"));
    EXPECT_EQ(WideToUtf8(L"a\u00FC\u20AC\U0001F600"), "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600x"), "\xF0\x9F\x98\x80x");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"})
        EXPECT_FALSE(Utf8ToWide(bad).has_value());
}
