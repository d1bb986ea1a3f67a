// LZX uncompressed blocks, which wimlib's compressor does not write: streams
// put together here.
#include <gtest/gtest.h>

#include "codec/Lzx.h"
#include "support/Images.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Bits most significant first, in 16-bit little-endian words.
class BitWriter {
public:
    void Put(uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            m_word = static_cast<uint16_t>((m_word << 1) | ((value >> i) & 1));
            if (++m_used == 16) Flush();
        }
    }
    // Pads the current word with zero bits (a whole word when none is started).
    std::vector<uint8_t>& Align() {
        Put(0, 16 - m_used);
        return m_bytes;
    }

private:
    void Flush() {
        m_bytes.push_back(static_cast<uint8_t>(m_word));
        m_bytes.push_back(static_cast<uint8_t>(m_word >> 8));
        m_word = 0;
        m_used = 0;
    }
    std::vector<uint8_t> m_bytes;
    uint16_t m_word = 0;
    unsigned m_used = 0;
};

void UncompressedBlock(BitWriter& bits, std::vector<uint8_t>& stream, const std::vector<uint8_t>& data) {
    bits.Put(3, 3);
    bits.Put(0, 1);
    bits.Put(static_cast<uint32_t>(data.size()), 16);
    std::vector<uint8_t>& aligned = bits.Align();
    stream.insert(stream.end(), aligned.begin(), aligned.end());
    aligned.clear();
    for (uint32_t recent : {1u, 2u, 3u})
        for (int k = 0; k < 4; ++k) stream.push_back(static_cast<uint8_t>(recent >> (8 * k)));
    stream.insert(stream.end(), data.begin(), data.end());
    if (data.size() % 2) stream.push_back(0);
}

}  // namespace

TEST(LzxBlocks, ReadsUncompressedBlocksOfOddAndEvenSize) {
    const std::vector<uint8_t> first = Pattern(5, 1), second = Pattern(300, 2), third = Pattern(7, 3);
    std::vector<uint8_t> stream;
    for (const auto* data : {&first, &second, &third}) {
        BitWriter bits;
        UncompressedBlock(bits, stream, *data);
    }
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    std::vector<uint8_t> out(expected.size());
    LzxDecompress(stream, out);
    EXPECT_EQ(out, expected);

    // One byte less and the last block is cut off.
    stream.resize(stream.size() - 2);
    EXPECT_THROW(LzxDecompress(stream, out), CException);
}

TEST(LzxBlocks, RefusesBadBlockHeaders) {
    struct Case {
        const char* what;
        uint32_t type;
        uint32_t size;
    } cases[] = {{"type 0", 0, 100}, {"type 7", 7, 100}, {"empty block", 3, 0}, {"block past the chunk", 3, 101}};
    for (const Case& c : cases) {
        BitWriter bits;
        bits.Put(c.type, 3);
        bits.Put(0, 1);
        bits.Put(c.size, 16);
        std::vector<uint8_t> stream = bits.Align();
        stream.resize(stream.size() + 200, 0);
        std::vector<uint8_t> out(100);
        EXPECT_THROW(LzxDecompress(stream, out), CException) << c.what;
    }
}
