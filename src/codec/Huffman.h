#pragma once
// A canonical Huffman code rebuilt from its code lengths (the form XPRESS and
// LZX transmit), decoded from a CBitReader. Codes are assigned in order of
// (length, symbol), each one more than the previous, shifted left when the
// length grows.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/BitReader.h"

namespace volcore {

class CHuffmanCode {
public:
    static constexpr unsigned MaxLength = 16;

    // Raises when the lengths are over-subscribed (more codes than bit patterns)
    // or longer than MaxLength. An incomplete code is accepted: only a bit
    // pattern that names no symbol is refused, when it is met.
    void Build(std::span<const uint8_t> lengths, const char* codec);
    uint32_t Decode(CBitReader& bits) const;

private:
    std::array<uint16_t, MaxLength + 1> m_count{};
    std::vector<uint16_t> m_symbols;  // sorted by (length, symbol)
    const char* m_codec = "";
};

}  // namespace volcore
