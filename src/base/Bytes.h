#pragma once
// The one way on-disk bytes are read and written: little-endian fields through
// bounds-checked views. An access that does not fit raises
// "Invalid offset: %1 (buffer size: %2)".
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/Exception.h"

namespace volcore {

[[noreturn]] void ThrowInvalidOffset(uint64_t offset, uint64_t size);

class CByteReader {
public:
    CByteReader() = default;
    CByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit CByteReader(std::span<const uint8_t> bytes) : m_data(bytes.data()), m_size(bytes.size()) {}
    explicit CByteReader(const std::vector<uint8_t>& bytes) : m_data(bytes.data()), m_size(bytes.size()) {}

    size_t Size() const { return m_size; }
    const uint8_t* Data() const { return m_data; }

    void Check(uint64_t offset, uint64_t length) const {
        if (offset > m_size || length > m_size - offset) ThrowInvalidOffset(offset, m_size);
    }
    uint8_t U8(size_t offset) const { return Fixed<uint8_t>(offset); }
    uint16_t U16(size_t offset) const { return Fixed<uint16_t>(offset); }
    uint32_t U32(size_t offset) const { return Fixed<uint32_t>(offset); }
    uint64_t U64(size_t offset) const { return Fixed<uint64_t>(offset); }
    int8_t S8(size_t offset) const { return static_cast<int8_t>(U8(offset)); }

    // Unsigned little-endian integer of 0..8 bytes.
    uint64_t Le(size_t offset, size_t width) const {
        Check(offset, width);
        uint64_t value = 0;
        for (size_t i = width; i-- > 0;) value = (value << 8) | m_data[offset + i];
        return value;
    }
    // The fields of fixed width are read whole on little-endian machines.
    template <typename T>
    T Fixed(size_t offset) const {
        if constexpr (std::endian::native != std::endian::little) return static_cast<T>(Le(offset, sizeof(T)));
        Check(offset, sizeof(T));
        T value;
        std::memcpy(&value, m_data + offset, sizeof(T));
        return value;
    }
    // Signed little-endian integer of 1..8 bytes (the top bit of the last byte is the sign).
    int64_t SignedLe(size_t offset, size_t width) const {
        uint64_t value = Le(offset, width);
        if (width > 0 && width < 8 && (value >> (width * 8 - 1)) & 1) value |= ~uint64_t{0} << (width * 8);
        return static_cast<int64_t>(value);
    }

    void CopyTo(size_t offset, void* out, size_t length) const {
        Check(offset, length);
        if (length) std::memcpy(out, m_data + offset, length);
    }
    // `count` 16-bit fields (or UTF-16 units) from offset on: a plain copy on
    // a little-endian host.
    template <typename Unit>
    void U16Array(size_t offset, Unit* out, size_t count) const {
        static_assert(sizeof(Unit) == 2);
        Check(offset, uint64_t{count} * 2);
        if (count == 0) return;
        if constexpr (std::endian::native == std::endian::little) std::memcpy(out, m_data + offset, count * 2);
        else
            for (size_t i = 0; i < count; ++i) out[i] = static_cast<Unit>(Le(offset + 2 * i, 2));
    }
    std::vector<uint8_t> Bytes(size_t offset, size_t length) const {
        Check(offset, length);
        return std::vector<uint8_t>(m_data + offset, m_data + offset + length);
    }
    // `count` UTF-16 code units stored at offset.
    std::u16string Utf16(size_t offset, size_t count) const {
        Check(offset, count * 2);
        std::u16string text(count, u'\0');
        if constexpr (std::endian::native == std::endian::little) {
            if (count) std::memcpy(text.data(), m_data + offset, count * 2);
        } else {
            for (size_t i = 0; i < count; ++i)
                text[i] = static_cast<char16_t>(m_data[offset + 2 * i] | (m_data[offset + 2 * i + 1] << 8));
        }
        return text;
    }
    CByteReader Sub(size_t offset, size_t length) const {
        Check(offset, length);
        return CByteReader(m_data + offset, length);
    }

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

class CByteWriter {
public:
    CByteWriter(uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit CByteWriter(std::span<uint8_t> bytes) : m_data(bytes.data()), m_size(bytes.size()) {}
    explicit CByteWriter(std::vector<uint8_t>& bytes) : m_data(bytes.data()), m_size(bytes.size()) {}

    size_t Size() const { return m_size; }
    uint8_t* Data() const { return m_data; }
    CByteReader Reader() const { return CByteReader(m_data, m_size); }

    void Check(uint64_t offset, uint64_t length) const {
        if (offset > m_size || length > m_size - offset) ThrowInvalidOffset(offset, m_size);
    }
    void U8(size_t offset, uint8_t value) const { Fixed(offset, value); }
    void U16(size_t offset, uint16_t value) const { Fixed(offset, value); }
    void U32(size_t offset, uint32_t value) const { Fixed(offset, value); }
    void U64(size_t offset, uint64_t value) const { Fixed(offset, value); }
    template <typename T>
    void Fixed(size_t offset, T value) const {
        if constexpr (std::endian::native != std::endian::little) return PutLe(offset, value, sizeof(T));
        Check(offset, sizeof(T));
        std::memcpy(m_data + offset, &value, sizeof(T));
    }

    void PutLe(size_t offset, uint64_t value, size_t width) const {
        Check(offset, width);
        for (size_t i = 0; i < width; ++i, value >>= 8) m_data[offset + i] = static_cast<uint8_t>(value);
    }
    void CopyFrom(size_t offset, const void* in, size_t length) const {
        Check(offset, length);
        if (length) std::memcpy(m_data + offset, in, length);
    }
    void Fill(size_t offset, uint8_t value, size_t length) const {
        Check(offset, length);
        if (length) std::memset(m_data + offset, value, length);
    }
    void Utf16(size_t offset, std::u16string_view text) const {
        Check(offset, text.size() * 2);
        for (size_t i = 0; i < text.size(); ++i) {
            m_data[offset + 2 * i] = static_cast<uint8_t>(text[i]);
            m_data[offset + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
        }
    }
    CByteWriter Sub(size_t offset, size_t length) const {
        Check(offset, length);
        return CByteWriter(m_data + offset, length);
    }

private:
    uint8_t* m_data;
    size_t m_size;
};

inline constexpr uint64_t RoundUp(uint64_t value, uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

}  // namespace volcore
