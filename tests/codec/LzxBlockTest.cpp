// LZX uncompressed blocks, which wimlib's compressor does not write: a stream
// of three, of odd and even size, put together here.
#include <gtest/gtest.h>

#include "codec/Lzx.h"
#include "support/Images.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Header bits (type 3, no default size, 16 bits of size) in two 16-bit
// little-endian words, then 12 bits of padding to the word boundary, the
// three recent offsets, the bytes, and a pad byte after an odd size.
void PutUncompressedBlock(std::vector<uint8_t>& stream, const std::vector<uint8_t>& data, uint32_t type = 3) {
    const uint32_t bits = (type << 29) | (static_cast<uint32_t>(data.size()) << 12);
    for (uint32_t word : {bits >> 16, bits & 0xFFFF}) stream.insert(stream.end(), {uint8_t(word), uint8_t(word >> 8)});
    for (uint8_t recent : {1, 2, 3}) stream.insert(stream.end(), {recent, 0, 0, 0});
    stream.insert(stream.end(), data.begin(), data.end());
    if (data.size() % 2) stream.push_back(0);
}

}  // namespace

TEST(LzxBlocks, ReadsUncompressedBlocksAndRefusesBadHeaders) {
    std::vector<uint8_t> stream, expected;
    for (size_t size : {5, 300, 7}) {
        const std::vector<uint8_t> data = Pattern(size, static_cast<uint32_t>(size));
        PutUncompressedBlock(stream, data);
        expected.insert(expected.end(), data.begin(), data.end());
    }
    std::vector<uint8_t> out(expected.size());
    LzxDecompress(stream, out);
    EXPECT_EQ(out, expected);
    stream.erase(stream.end() - 2, stream.end());
    EXPECT_THROW(LzxDecompress(stream, out), CException) << "the last block cut off";

    // Block types 0 and 7, an empty block, a block longer than the chunk.
    const std::pair<uint32_t, size_t> bad[] = {{0, 100}, {7, 100}, {3, 0}, {3, 101}};
    for (const auto& [type, size] : bad) {
        std::vector<uint8_t> block;
        PutUncompressedBlock(block, std::vector<uint8_t>(size, 1), type);
        std::vector<uint8_t> room(100);
        EXPECT_THROW(LzxDecompress(block, room), CException) << type << " " << size;
    }
}
