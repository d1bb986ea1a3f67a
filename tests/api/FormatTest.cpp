#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "base/Exception.h"
#include "base/NumericCast.h"
#include "base/Unicode.h"

using namespace volcore;

TEST(FormatText, PlaceholdersMissingArgumentsAndPercentSigns) {
    EXPECT_EQ(FormatText("Sector size %1, cluster size %2", 512, 4096), "Sector size 512, cluster size 4096");
    EXPECT_EQ(FormatText("%1 %3", "a"), "a ");
    EXPECT_EQ(FormatText("100%"), "100%");
    EXPECT_EQ(FormatText("%%1", 7), "%1");
    EXPECT_EQ(FormatText("%x%0"), "x");
    EXPECT_EQ(FormatText("%12", "a"), "a2");
    EXPECT_EQ(FormatText("%1", uint8_t{8}), "8");
    EXPECT_EQ(FormatText("%1 %2", int8_t{-10}, ~uint64_t{0}), "-10 18446744073709551615");
    EXPECT_EQ(FormatText("%2%1", std::string("b"), "a"), "ab");
}

TEST(FormatText, WideArgumentsBecomeUtf8) {
    EXPECT_EQ(FormatText("'%1'", std::u16string(u"\u00e9t\u00e9 \U0001F600")), "'\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80'");
}

TEST(CException, CarriesFormattedMessage) {
    CException plain(EErrorKind::Argument, "as is %1");
    EXPECT_STREQ(plain.what(), "as is %1");
    CException formatted(EErrorKind::Corrupt, "Invalid sector size: %1", 1000);
    EXPECT_STREQ(formatted.what(), "Invalid sector size: 1000");
    CException copy = formatted;
    EXPECT_STREQ(copy.what(), "Invalid sector size: 1000");
    EXPECT_EQ(copy.Kind(), EErrorKind::Corrupt);
}

TEST(NumericCast, FailsAboveTheTargetRange) {
    EXPECT_EQ(NumericCast<uint32_t>(0xFFFFFFFFull), 0xFFFFFFFFu);
    try {
        NumericCast<uint32_t>(0x100000000ull);
        FAIL() << "no exception";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "value: 4294967296");
    }
    EXPECT_THROW(NumericCast<uint8_t>(256), std::overflow_error);
    EXPECT_EQ(NumericCast<uint16_t>(65535), 65535);
}

TEST(Unicode, WidePathsRoundTripIncludingNonBmp) {
    std::wstring wide = L"dir\\\u00e9\U0001F600x";
    std::u16string utf16 = WideToUtf16(wide);
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(utf16, u"dir\\\u00e9\U0001F600x");
        EXPECT_EQ(utf16.size(), 8u);  // the emoji takes a surrogate pair
    }
    EXPECT_EQ(Utf16ToWide(utf16), wide);
    EXPECT_EQ(Utf16ToUtf8(utf16), "dir\\\xC3\xA9\xF0\x9F\x98\x80x");
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(utf16)), utf16);
}

TEST(Unicode, InvalidInputIsRefusedOrReplaced) {
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_THROW(WideToUtf16(std::wstring(1, static_cast<wchar_t>(0xD800))), CException);
        EXPECT_THROW(WideToUtf16(std::wstring(1, static_cast<wchar_t>(0x110000))), CException);
    }
    // Unpaired surrogates in stored names still render in messages.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_THROW(Utf8ToUtf16("\xC3"), CException);
    EXPECT_THROW(Utf8ToUtf16("\xC0\xAF"), CException);         // overlong
    EXPECT_THROW(Utf8ToUtf16("\xED\xA0\x80"), CException);     // encoded surrogate
    EXPECT_THROW(Utf8ToUtf16("\xF4\x90\x80\x80"), CException); // above U+10FFFF
}
