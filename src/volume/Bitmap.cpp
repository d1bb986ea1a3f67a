#include "volume/Bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/Attribute.h"

namespace volcore {

CBitmap::CBitmap(std::shared_ptr<CAttribute> attribute) : m_attribute(std::move(attribute)) {
    m_bits = m_attribute->ReadAll();
}

CBitmap::~CBitmap() {
    try {
        Flush();
    } catch (const std::exception& e) {
        LogError(FormatText("Destroying bitmap: %1", e.what()));
    }
}

uint64_t CBitmap::GetSize() const { return m_attribute->GetSize() * 8; }

void CBitmap::CheckIndex(uint64_t index) const {
    uint64_t size = GetSize();
    // The vector and the attribute change size together; the second test only
    // guards against an attribute resized behind the bitmap's back.
    if (index >= size || index / 8 >= m_bits.size())
        throw CException(EErrorKind::Corrupt, "Bitmap: index %1 out of range %2", index, size);
}

bool CBitmap::Test(uint64_t index) const {
    CheckIndex(index);
    return (m_bits[NumericCast<uint32_t>(index / 8)] >> (index % 8)) & 1;
}

void CBitmap::Set(uint64_t index) {
    CheckIndex(index);
    uint8_t& byte = m_bits[NumericCast<uint32_t>(index / 8)];
    uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    if (byte & mask) return;
    byte |= mask;
    m_dirty = true;
}

void CBitmap::Clear(uint64_t index) {
    CheckIndex(index);
    uint8_t& byte = m_bits[NumericCast<uint32_t>(index / 8)];
    uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    if (!(byte & mask)) return;
    byte &= static_cast<uint8_t>(~mask);
    m_dirty = true;
}

void CBitmap::SetRange(uint64_t start, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) Set(start + i);
}

void CBitmap::ClearRange(uint64_t start, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) Clear(start + i);
}

// The 64 bits starting at bit 64 x `word`, least significant first; bytes past
// the end of the vector read as `fill`.
uint64_t CBitmap::Word(uint64_t word, uint8_t fill) const {
    size_t first = static_cast<size_t>(word * 8);
    uint64_t value = 0;
    if (first + 8 <= m_bits.size()) {
        std::memcpy(&value, m_bits.data() + first, 8);
        if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
        return value;
    }
    for (size_t i = 8; i-- > 0;) {
        uint8_t byte = first + i < m_bits.size() ? m_bits[first + i] : fill;
        value = (value << 8) | byte;
    }
    return value;
}

// First index in [from, limit) whose bit equals `value`, or limit. Whole
// words that cannot hold such a bit are skipped in a tight loop.
uint64_t CBitmap::FindBit(bool value, uint64_t from, uint64_t limit) const {
    const uint64_t skip = value ? 0 : ~uint64_t{0};
    const uint64_t fullWords = m_bits.size() / 8;
    while (from < limit) {
        uint64_t word = from / 64;
        uint64_t bits = (Word(word, value ? 0 : 0xFF) ^ skip) & (~uint64_t{0} << (from % 64));
        if (bits != 0) return std::min(word * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)), limit);
        uint64_t lastWord = std::min(fullWords, (limit + 63) / 64);
        while (++word < lastWord && Word(word, 0) == skip) {
        }
        from = word * 64;
    }
    return limit;
}

uint64_t CBitmap::FindClearRun(uint64_t count, uint64_t start) const {
    uint64_t size = GetSize();
    if (start == size) return NotFound;
    CheckIndex(start);
    size = std::min<uint64_t>(size, uint64_t{m_bits.size()} * 8);
    // A run of zero bits is found where a run of one bit would start.
    uint64_t needed = std::max<uint64_t>(count, 1);
    uint64_t position = start;
    while (position < size) {
        uint64_t runStart = FindBit(false, position, size);
        if (size - runStart < needed) return NotFound;
        uint64_t runEnd = FindBit(true, runStart, runStart + needed);
        if (runEnd - runStart == needed) return runStart;
        position = runEnd;
    }
    return NotFound;
}

uint64_t CBitmap::FindClearExtent(uint64_t from, uint64_t limit, uint64_t longest, uint64_t& length) const {
    limit = std::min<uint64_t>(limit, uint64_t{m_bits.size()} * 8);
    length = 0;
    if (from >= limit) return limit;
    uint64_t start = FindBit(false, from, limit);
    if (start < limit) length = FindBit(true, start, start + std::min(longest, limit - start)) - start;
    return start;
}

uint64_t CBitmap::CountClear(uint64_t from, uint64_t limit) const {
    limit = std::min<uint64_t>(limit, uint64_t{m_bits.size()} * 8);
    uint64_t count = 0;
    for (uint64_t i = from; i < limit;) {
        if (i % 64 == 0 && limit - i >= 64) {
            count += 64 - static_cast<uint64_t>(__builtin_popcountll(Word(i / 64, 0xFF)));
            i += 64;
        } else {
            count += Test(i) ? 0 : 1;
            ++i;
        }
    }
    return count;
}

void CBitmap::Resize(uint64_t bits) {
    if (bits % 8 != 0) throw CException(EErrorKind::Corrupt, "Invalid bitmap size: %1", bits);
    if (bits == GetSize()) return;
    uint32_t bytes = NumericCast<uint32_t>(bits / 8);
    m_dirty = true;
    // The attribute first: when its growth fails, the vector still matches it.
    m_attribute->SetSize(bytes);
    m_bits.resize(bytes, 0);
}

void CBitmap::Flush() {
    if (!m_dirty) return;
    LogInfo("Flushing bitmap changes");
    if (!m_bits.empty()) m_attribute->WriteData(0, m_bits.data(), NumericCast<uint32_t>(m_bits.size()));
    m_dirty = false;
}

}  // namespace volcore
