#include "codec/Xpress.h"

#include <array>

#include "codec/CodecError.h"
#include "codec/Huffman.h"

namespace volcore {
namespace {

constexpr const char* Codec = "XPRESS";
constexpr size_t SymbolCount = 512;
constexpr size_t TableBytes = SymbolCount / 2;
constexpr size_t MaxOutput = 65536;

CHuffmanCode ReadCode(std::span<const uint8_t> input) {
    std::array<uint8_t, SymbolCount> lengths{};
    for (size_t i = 0; i < TableBytes; ++i) {
        lengths[2 * i] = input[i] & 0x0F;
        lengths[2 * i + 1] = input[i] >> 4;
    }
    CHuffmanCode code;
    code.Build(lengths, Codec);
    return code;
}

uint8_t TakeByte(CBitReader& bits) {
    uint8_t value = 0;
    if (!bits.ReadByte(value)) ThrowCorruptStream(Codec, "match length cut off");
    return value;
}

// The length of a match whose symbol carried 15: extended by bytes read from the input.
size_t LongLength(CBitReader& bits) {
    const uint8_t first = TakeByte(bits);
    if (first != 255) return size_t{first} + 15;
    uint32_t value = TakeByte(bits);
    value |= uint32_t{TakeByte(bits)} << 8;
    if (value != 0) return value;
    for (unsigned shift = 0; shift < 32; shift += 8) value |= uint32_t{TakeByte(bits)} << shift;
    if (value < 15) ThrowCorruptStream(Codec, "match length %1", value);
    return value;
}

}  // namespace

void XpressHuffmanDecompress(std::span<const uint8_t> input, std::span<uint8_t> output) {
    if (output.size() > MaxOutput) ThrowCorruptStream(Codec, "chunk of %1 bytes", output.size());
    if (input.size() < TableBytes) ThrowCorruptStream(Codec, "stream of %1 bytes has no code table", input.size());
    const CHuffmanCode code = ReadCode(input);
    CBitReader bits(input, TableBytes);
    size_t out = 0;
    while (out < output.size()) {
        if (bits.Overrun()) ThrowCorruptStream(Codec, "stream ends before its data");
        const uint32_t symbol = code.Decode(bits);
        if (symbol < 256) {
            output[out++] = static_cast<uint8_t>(symbol);
            continue;
        }
        const uint32_t match = symbol - 256;
        size_t length = match & 15;
        const unsigned offsetBits = match >> 4;
        if (length == 15) length = LongLength(bits);
        length += 3;
        const size_t offset = (size_t{1} << offsetBits) | bits.Read(offsetBits);
        if (offset > out) ThrowCorruptStream(Codec, "match reaches %1 bytes before the chunk", offset - out);
        if (length > output.size() - out) ThrowCorruptStream(Codec, "match runs past the chunk");
        for (size_t i = 0; i < length; ++i, ++out) output[out] = output[out - offset];
    }
}

}  // namespace volcore
