#include "codec/Lzx.h"

#include <algorithm>
#include <array>

#include "codec/CodecError.h"
#include "codec/Huffman.h"

namespace volcore {
namespace {

constexpr const char* Codec = "LZX";
constexpr size_t PositionSlots = 30;
constexpr size_t MainSymbols = 256 + 8 * PositionSlots;
constexpr size_t LengthSymbols = 249;
constexpr size_t PretreeSymbols = 20;
constexpr size_t AlignedSymbols = 8;
constexpr uint32_t TranslationSize = 12000000;

constexpr std::array<uint8_t, PositionSlots> ExtraBits = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint32_t, PositionSlots> SlotBase = {
    0, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768,
    1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288, 16384, 24576};

enum EBlockType : uint32_t { Verbatim = 1, Aligned = 2, Uncompressed = 3 };

class CLzxDecoder {
public:
    CLzxDecoder(std::span<const uint8_t> input, std::span<uint8_t> output) : m_bits(input, 0), m_input(input), m_output(output) {}

    void Run() {
        while (m_out < m_output.size()) {
            if (m_bits.Overrun()) ThrowCorruptStream(Codec, "stream ends before its data");
            const uint32_t type = m_bits.Read(3);
            const size_t size = m_bits.Read(1) ? LzxWindowSize : m_bits.Read(16);
            if (size == 0 || size > m_output.size() - m_out)
                ThrowCorruptStream(Codec, "block of %1 bytes at %2 of %3", size, m_out, m_output.size());
            if (type == Uncompressed) {
                CopyUncompressed(size);
            } else if (type == Verbatim || type == Aligned) {
                ReadTrees(type == Aligned);
                DecodeMatches(m_out + size, type == Aligned);
            } else {
                ThrowCorruptStream(Codec, "block type %1", type);
            }
        }
        UndoCallTranslation();
    }

private:
    void ReadTrees(bool aligned) {
        if (aligned) {
            std::array<uint8_t, AlignedSymbols> lengths{};
            for (auto& length : lengths) length = static_cast<uint8_t>(m_bits.Read(3));
            m_aligned.Build(lengths, Codec);
        }
        ReadLengths(std::span(m_mainLengths).first(256));
        ReadLengths(std::span(m_mainLengths).subspan(256));
        m_main.Build(m_mainLengths, Codec);
        ReadLengths(m_lengthLengths);
        m_length.Build(m_lengthLengths, Codec);
    }

    // Code lengths sent as changes to the previous block's, through a pretree.
    void ReadLengths(std::span<uint8_t> lengths) {
        std::array<uint8_t, PretreeSymbols> pretreeLengths{};
        for (auto& length : pretreeLengths) length = static_cast<uint8_t>(m_bits.Read(4));
        CHuffmanCode pretree;
        pretree.Build(pretreeLengths, Codec);
        size_t i = 0;
        while (i < lengths.size()) {
            const uint32_t symbol = pretree.Decode(m_bits);
            size_t run = 1;
            uint8_t value = 0;
            if (symbol <= 16) {
                value = Changed(lengths[i], symbol);
            } else if (symbol == 17) {
                run = 4 + m_bits.Read(4);
            } else if (symbol == 18) {
                run = 20 + m_bits.Read(5);
            } else {
                run = 4 + m_bits.Read(1);
                const uint32_t change = pretree.Decode(m_bits);
                if (change > 16) ThrowCorruptStream(Codec, "pretree symbol %1 after a run", change);
                value = Changed(lengths[i], change);
            }
            if (run > lengths.size() - i) ThrowCorruptStream(Codec, "code length run past the tree");
            for (size_t k = 0; k < run; ++k) lengths[i++] = value;
        }
    }
    static uint8_t Changed(uint8_t previous, uint32_t symbol) { return static_cast<uint8_t>((previous + 17 - symbol) % 17); }

    void DecodeMatches(size_t blockEnd, bool aligned) {
        while (m_out < blockEnd) {
            if (m_bits.Overrun()) ThrowCorruptStream(Codec, "stream ends before its data");
            const uint32_t symbol = m_main.Decode(m_bits);
            if (symbol < 256) {
                m_output[m_out++] = static_cast<uint8_t>(symbol);
                continue;
            }
            const uint32_t match = symbol - 256;
            size_t length = match & 7;
            if (length == 7) length += m_length.Decode(m_bits);
            length += 2;
            const size_t offset = Offset(match >> 3, aligned);
            if (offset == 0 || offset > m_out) ThrowCorruptStream(Codec, "match offset %1 at %2", offset, m_out);
            if (length > m_output.size() - m_out) ThrowCorruptStream(Codec, "match runs past the chunk");
            for (size_t k = 0; k < length; ++k, ++m_out) m_output[m_out] = m_output[m_out - offset];
        }
    }

    size_t Offset(uint32_t slot, bool aligned) {
        if (slot == 0) return m_recent[0];
        if (slot < 3) {
            std::swap(m_recent[0], m_recent[slot]);
            return m_recent[0];
        }
        const unsigned extra = ExtraBits[slot];
        uint32_t formatted = SlotBase[slot];
        if (aligned && extra >= 3) {
            formatted += m_bits.Read(extra - 3) << 3;
            formatted += m_aligned.Decode(m_bits);
        } else {
            formatted += m_bits.Read(extra);
        }
        m_recent[2] = m_recent[1];
        m_recent[1] = m_recent[0];
        m_recent[0] = formatted - 2;
        return m_recent[0];
    }

    // An uncompressed block: the bit stream stops at a 16-bit boundary, the
    // three recent offsets and the bytes follow as they are, then bits resume.
    void CopyUncompressed(size_t size) {
        const size_t unread = 2 * (m_bits.Buffered() / 16);
        if (m_bits.Overrun() || unread > m_bits.Position()) ThrowCorruptStream(Codec, "stream ends before its data");
        size_t position = m_bits.Position() - unread;
        if (m_bits.Buffered() % 16 == 0) position += 2;  // already aligned: a whole word of padding
        if (position > m_input.size() || m_input.size() - position < 12 + size)
            ThrowCorruptStream(Codec, "uncompressed block of %1 bytes cut off", size);
        for (auto& recent : m_recent) {
            recent = static_cast<uint32_t>(m_input[position] | (m_input[position + 1] << 8) | (m_input[position + 2] << 16) |
                                           (uint32_t{m_input[position + 3]} << 24));
            position += 4;
        }
        std::copy_n(m_input.begin() + position, size, m_output.begin() + m_out);
        m_out += size;
        position += size + (size & 1);
        m_bits.Restart(position);
    }

    void UndoCallTranslation() {
        const size_t size = m_output.size();
        if (size <= 10) return;
        for (size_t i = 0; i < size - 10;) {
            if (m_output[i] != 0xE8) {
                ++i;
                continue;
            }
            uint8_t* field = &m_output[i + 1];
            const int32_t value = static_cast<int32_t>(field[0] | (field[1] << 8) | (field[2] << 16) | (uint32_t{field[3]} << 24));
            const int64_t position = static_cast<int64_t>(i);
            if (value >= -position && value < static_cast<int64_t>(TranslationSize)) {
                const int64_t original = value >= 0 ? value - position : int64_t{value} + TranslationSize;
                const auto bits = static_cast<uint32_t>(original);
                for (int k = 0; k < 4; ++k) field[k] = static_cast<uint8_t>(bits >> (8 * k));
            }
            i += 5;
        }
    }

    CBitReader m_bits;
    std::span<const uint8_t> m_input;
    std::span<uint8_t> m_output;
    size_t m_out = 0;
    std::array<uint32_t, 3> m_recent = {1, 1, 1};
    std::array<uint8_t, MainSymbols> m_mainLengths{};
    std::array<uint8_t, LengthSymbols> m_lengthLengths{};
    CHuffmanCode m_main, m_length, m_aligned;
};

}  // namespace

void LzxDecompress(std::span<const uint8_t> input, std::span<uint8_t> output) {
    if (output.size() > LzxWindowSize) ThrowCorruptStream(Codec, "chunk of %1 bytes", output.size());
    CLzxDecoder(input, output).Run();
}

}  // namespace volcore
