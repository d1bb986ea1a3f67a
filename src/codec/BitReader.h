#pragma once
// Bits of an XPRESS or LZX stream: 16-bit little-endian words, most significant
// bit first, through a 32-bit window that is refilled a word at a time, once
// more than 16 of its bits have been used (XPRESS reads its extra length bytes
// from the input right after the last word merged, so the moment of the refill
// is part of the format: wimlib's streams decode only with this one). Reading
// past the input yields zero bits, so a truncated stream decodes to garbage that
// the caller's bounds reject instead of reading outside the buffer; the count of
// words asked for beyond the end is kept so a caller can refuse such a stream.
#include <cstddef>
#include <cstdint>
#include <span>

namespace volcore {

class CBitReader {
public:
    CBitReader(std::span<const uint8_t> input, size_t position) : m_input(input), m_position(position) {
        m_window = static_cast<uint32_t>(NextWord()) << 16;
        m_window |= NextWord();
        m_available = 32;
    }

    // The next `count` (0..16) bits without consuming them.
    uint32_t Peek(unsigned count) const { return count == 0 ? 0 : m_window >> (32 - count); }
    // At most 16 bits at a time: the window always holds 16 or more.
    void Skip(unsigned count) {
        m_window <<= count;
        m_available -= count;
        if (m_available < 16) {
            m_window |= static_cast<uint32_t>(NextWord()) << (16 - m_available);
            m_available += 16;
        }
    }
    uint32_t Read(unsigned count) {
        uint32_t value = Peek(count);
        Skip(count);
        return value;
    }
    // Up to 32 bits, high part first.
    uint32_t ReadWide(unsigned count) {
        if (count <= 16) return Read(count);
        uint32_t high = Read(count - 16);
        return (high << 16) | Read(16);
    }

    // Whole bytes taken from the input past the last word merged into the window.
    bool ReadByte(uint8_t& value) {
        if (m_position >= m_input.size()) return false;
        value = m_input[m_position++];
        return true;
    }
    size_t Position() const { return m_position; }
    // Drops the bits of the window and continues at byte `position`.
    void Restart(size_t position) {
        m_position = position;
        m_window = static_cast<uint32_t>(NextWord()) << 16;
        m_window |= NextWord();
        m_available = 32;
    }
    // Bits still held in the window that came from real input words.
    unsigned Buffered() const { return m_available; }
    bool Overrun() const { return m_overrun > 2; }

private:
    uint16_t NextWord() {
        if (m_position + 2 > m_input.size()) {
            ++m_overrun;
            m_position = m_input.size();
            return 0;
        }
        uint16_t word = static_cast<uint16_t>(m_input[m_position] | (m_input[m_position + 1] << 8));
        m_position += 2;
        return word;
    }

    std::span<const uint8_t> m_input;
    size_t m_position;
    uint32_t m_window = 0;
    unsigned m_available = 0;
    unsigned m_overrun = 0;
};

}  // namespace volcore
