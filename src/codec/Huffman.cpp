#include "codec/Huffman.h"

#include "codec/CodecError.h"

namespace volcore {

void CHuffmanCode::Build(std::span<const uint8_t> lengths, const char* codec) {
    m_codec = codec;
    m_count.fill(0);
    for (uint8_t length : lengths) {
        if (length > MaxLength) ThrowCorruptStream(codec, "Huffman code length %1", length);
        ++m_count[length];
    }
    m_count[0] = 0;
    // Every length may use at most the bit patterns the shorter ones left free.
    int64_t free = 1;
    for (unsigned length = 1; length <= MaxLength; ++length) {
        free = free * 2 - m_count[length];
        if (free < 0) ThrowCorruptStream(codec, "over-subscribed Huffman code");
    }
    m_symbols.clear();
    for (unsigned length = 1; length <= MaxLength; ++length) {
        for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            if (lengths[symbol] == length) m_symbols.push_back(static_cast<uint16_t>(symbol));
        }
    }
}

uint32_t CHuffmanCode::Decode(CBitReader& bits) const {
    uint32_t pattern = bits.Peek(MaxLength);
    uint32_t code = 0;   // the first `length` bits of the pattern
    uint32_t first = 0;  // the first code of this length
    uint32_t index = 0;  // position of that code's symbol in m_symbols
    for (unsigned length = 1; length <= MaxLength; ++length) {
        code = (code << 1) | ((pattern >> (MaxLength - length)) & 1);
        if (code - first < m_count[length]) {
            bits.Skip(length);
            return m_symbols[index + (code - first)];
        }
        index += m_count[length];
        first = (first + m_count[length]) << 1;
    }
    ThrowCorruptStream(m_codec, "bit pattern without a Huffman symbol");
}

}  // namespace volcore
