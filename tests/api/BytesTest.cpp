// Every on-disk field goes through these readers and writers, so their byte
// order is checked by every image test; their bounds are checked here.
#include <gtest/gtest.h>

#include "base/Bytes.h"
#include "support/Images.h"

using namespace volcore;

TEST(Bytes, FieldsOutsideTheBufferAreRefused) {
    std::vector<uint8_t> buffer(16, 0);
    CByteWriter writer(buffer);
    CByteReader reader(buffer);
    EXPECT_EQ(volcore::test::FailureOf([&] { reader.U32(13); }), "Invalid offset: 13 (buffer size: 16)");
    EXPECT_THROW(writer.U8(16, 0), CException);
    EXPECT_THROW(reader.Bytes(~size_t{0}, 2), CException);  // no wrap-around
    EXPECT_NO_THROW(reader.Bytes(16, 0));
}
