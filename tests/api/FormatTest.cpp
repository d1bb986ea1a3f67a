// Message formatting and range-checked casts of the foundation (the UTF coders
// are shared with the tool and tested there).
#include <gtest/gtest.h>

#include <cstdint>

#include "base/Exception.h"
#include "base/NumericCast.h"
#include "support/Images.h"

using namespace volcore;
using volcore::test::FailureOf;

TEST(FormatText, PlaceholdersMissingArgumentsPercentSignsAndWideArguments) {
    EXPECT_EQ(FormatText("%1 %3", "a"), "a ");
    EXPECT_EQ(FormatText("100%"), "100%");
    EXPECT_EQ(FormatText("%%1", 7), "%1");
    EXPECT_EQ(FormatText("%x%0"), "x");
    EXPECT_EQ(FormatText("%12", "a"), "a2");
    EXPECT_EQ(FormatText("%1", uint8_t{8}), "8");
    EXPECT_EQ(FormatText("%1 %2", int8_t{-10}, ~uint64_t{0}), "-10 18446744073709551615");
    EXPECT_EQ(FormatText("%2%1", std::string("b"), "a"), "ab");
    EXPECT_EQ(FormatText("'%1'", std::u16string(u"\u00e9t\u00e9 \U0001F600")), "'\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80'");
    EXPECT_STREQ(CException(EErrorKind::Argument, "as is %1").what(), "as is %1");
}

TEST(NumericCast, FailsAboveTheTargetRange) {
    EXPECT_EQ(NumericCast<uint32_t>(0xFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(FailureOf([] { NumericCast<uint32_t>(0x100000000ull); }), "value: 4294967296");
    EXPECT_EQ(FailureOf([] { NumericCast<uint8_t>(256); }), "value: 256");
}
