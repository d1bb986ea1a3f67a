#include <gtest/gtest.h>

#include "base/Bytes.h"

using namespace volcore;

TEST(Bytes, LittleEndianFieldsAndBounds) {
    std::vector<uint8_t> buffer(16, 0);
    CByteWriter writer(buffer);
    writer.U16(0, 0x1234);
    writer.U32(2, 0xDEADBEEF);
    writer.U64(8, 0x0102030405060708ull);
    CByteReader reader(buffer);
    EXPECT_EQ(buffer[0], 0x34);
    EXPECT_EQ(reader.U16(0), 0x1234);
    EXPECT_EQ(reader.U32(2), 0xDEADBEEFu);
    EXPECT_EQ(reader.U64(8), 0x0102030405060708ull);
    EXPECT_EQ(reader.SignedLe(2, 1), static_cast<int8_t>(0xEF));
    EXPECT_EQ(reader.SignedLe(0, 2), 0x1234);

    try {
        reader.U32(13);
        FAIL();
    } catch (const CException& e) {
        EXPECT_STREQ(e.what(), "Invalid offset: 13 (buffer size: 16)");
    }
    EXPECT_THROW(writer.U8(16, 0), CException);
    EXPECT_THROW(reader.Bytes(~size_t{0}, 2), CException);  // no wrap-around
    EXPECT_NO_THROW(reader.Bytes(16, 0));
}
