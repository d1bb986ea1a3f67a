#include "volume/Bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/Attribute.h"

namespace volcore {

CBitmap::CBitmap(std::shared_ptr<CAttribute> attribute) : m_attribute(std::move(attribute)) {
    m_attribute->CheckSizeFitsVolume();
    m_byteCount = m_attribute->GetSize();
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
    // The windows and the attribute change size together; the second test only
    // guards against an attribute resized behind the bitmap's back.
    if (index >= size || index / 8 >= m_byteCount) throw CException(EErrorKind::Corrupt, "Bitmap: index %1 out of range %2", index, size);
}

CBitmap::SWindow& CBitmap::Window(uint64_t window) const {
    if (m_lastWindow && m_lastWindowIndex == window) return *m_lastWindow;
    auto found = m_windows.find(window);
    if (found == m_windows.end()) {
        EvictCleanWindow();
        uint64_t first = window * kWindowBytes;
        SWindow loaded;
        loaded.bytes.resize(static_cast<size_t>(std::min(kWindowBytes, m_byteCount - first)));
        if (!loaded.bytes.empty())
            m_attribute->ReadData(first, loaded.bytes.data(), static_cast<uint32_t>(loaded.bytes.size()));
        found = m_windows.emplace(window, std::move(loaded)).first;
    }
    found->second.lastUse = ++m_clock;
    m_lastWindow = &found->second;
    m_lastWindowIndex = window;
    return found->second;
}

void CBitmap::EvictCleanWindow() const {
    auto oldest = m_windows.end();
    size_t clean = 0;
    for (auto it = m_windows.begin(); it != m_windows.end(); ++it) {
        if (it->second.dirty) continue;
        ++clean;
        if (oldest == m_windows.end() || it->second.lastUse < oldest->second.lastUse) oldest = it;
    }
    if (clean < kCleanWindowsKept) return;
    m_windows.erase(oldest);
    m_lastWindow = nullptr;
}

bool CBitmap::Test(uint64_t index) const {
    CheckIndex(index);
    return (Window(index / kWindowBits).bytes[(index / 8) % kWindowBytes] >> (index % 8)) & 1;
}

void CBitmap::Change(uint64_t index, bool value) {
    CheckIndex(index);
    SWindow& window = Window(index / kWindowBits);
    uint8_t& byte = window.bytes[(index / 8) % kWindowBytes];
    uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    if (((byte & mask) != 0) == value) return;
    byte ^= mask;
    const size_t at = static_cast<size_t>((index / 8) % kWindowBytes);
    window.MarkChanged(at, at + 1);
    m_dirty = true;
    if (!value) {
        m_fullWindows.erase(index / kWindowBits);
        ++m_clearGeneration;
    }
}

void CBitmap::SetRange(uint64_t start, uint64_t count) { ChangeRange(start, count, true); }

void CBitmap::ClearRange(uint64_t start, uint64_t count) { ChangeRange(start, count, false); }

// A byte at a time rather than a bit: a file growing by a mebibyte takes 256
// clusters. The whole range is checked first, so that a range reaching past
// the end changes nothing.
void CBitmap::ChangeRange(uint64_t start, uint64_t count, bool value) {
    if (count == 0) return;
    CheckIndex(start);
    CheckIndex(count - 1 > NotFound - start ? NotFound : start + (count - 1));
    const uint64_t end = start + count;
    for (uint64_t index = start; index < end;) {
        const uint64_t window = index / kWindowBits;
        const uint64_t windowEnd = std::min(end, (window + 1) * kWindowBits);
        if (ChangeInWindow(Window(window), index, windowEnd, value) && !value) {
            m_fullWindows.erase(window);
            ++m_clearGeneration;
        }
        index = windowEnd;
    }
}

// Bits [from, to) of one window; whether any of them changed.
bool CBitmap::ChangeInWindow(SWindow& window, uint64_t from, uint64_t to, bool value) {
    // The first and one past the last byte that changed, for the flush.
    size_t firstChanged = kWindowBytes;
    size_t endChanged = 0;
    while (from < to) {
        const uint64_t bits = std::min<uint64_t>(8 - from % 8, to - from);
        const uint8_t mask = static_cast<uint8_t>(((1u << bits) - 1) << (from % 8));
        const size_t at = static_cast<size_t>((from / 8) % kWindowBytes);
        uint8_t& byte = window.bytes[at];
        const uint8_t next = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
        if (next != byte) {
            firstChanged = std::min(firstChanged, at);
            endChanged = at + 1;
        }
        byte = next;
        from += bits;
    }
    if (endChanged == 0) return false;
    window.MarkChanged(firstChanged, endChanged);
    m_dirty = true;
    return true;
}

// The 64 bits starting at bit 64 x `word`, least significant first; bytes past
// the end of the bitmap read as `fill`. A word never spans two windows.
uint64_t CBitmap::Word(uint64_t word, uint8_t fill) const {
    uint64_t first = word * 8;
    uint64_t value = 0;
    if (first >= m_byteCount) return fill ? ~uint64_t{0} : 0;
    const auto& bytes = Window(first / kWindowBytes).bytes;
    size_t at = static_cast<size_t>(first % kWindowBytes);
    if (at + 8 <= bytes.size()) {
        std::memcpy(&value, bytes.data() + at, 8);
        if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
        return value;
    }
    for (size_t i = 8; i-- > 0;) value = (value << 8) | (at + i < bytes.size() ? bytes[at + i] : fill);
    return value;
}

// First index in [from, limit) whose bit equals `value`, or limit. Windows
// known to be full are skipped unread when looking for a clear bit.
uint64_t CBitmap::FindBit(bool value, uint64_t from, uint64_t limit) const {
    while (from < limit) {
        uint64_t window = from / kWindowBits;
        uint64_t windowEnd = (window + 1) * kWindowBits;
        uint64_t end = std::min(limit, windowEnd);
        if (!value && m_fullWindows.count(window)) {
            from = end;
            continue;
        }
        uint64_t found = FindBitInWindow(value, from, end);
        if (found < end) return found;
        if (!value && from % kWindowBits == 0 && end == windowEnd && windowEnd / 8 <= m_byteCount)
            m_fullWindows.insert(window);
        from = end;
    }
    return limit;
}

// Whole words that cannot hold such a bit are skipped in a tight loop over
// the one window that holds [from, limit): a first search of a session may
// pass every word of the MFT's bitmap.
uint64_t CBitmap::FindBitInWindow(bool value, uint64_t from, uint64_t limit) const {
    // Bits past the end read as the opposite of `value`, as in Word.
    if (from / 8 >= m_byteCount) return limit;
    const uint64_t skip = value ? 0 : ~uint64_t{0};
    const auto& bytes = Window(from / kWindowBits).bytes;
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    uint64_t mask = ~uint64_t{0} << (from % 64);
    for (size_t at = static_cast<size_t>((from / 8) % kWindowBytes) & ~size_t{7}; from < limit; at += 8) {
        uint64_t word = skip;
        if (at + 8 <= size) {
            std::memcpy(&word, data + at, 8);
            if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        } else {
            for (size_t i = 8; i-- > 0;) word = (word << 8) | (at + i < size ? data[at + i] : (value ? 0 : 0xFF));
        }
        const uint64_t bits = (word ^ skip) & mask;
        if (bits != 0) return std::min(from / 64 * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)), limit);
        from = (from / 64 + 1) * 64;
        mask = ~uint64_t{0};
    }
    return limit;
}

uint64_t CBitmap::FindClearRun(uint64_t count, uint64_t start) const {
    uint64_t size = GetSize();
    if (start == size) return NotFound;
    CheckIndex(start);
    size = std::min(size, m_byteCount * 8);
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
    limit = std::min(limit, m_byteCount * 8);
    length = 0;
    if (from >= limit) return limit;
    uint64_t start = FindBit(false, from, limit);
    if (start < limit) length = FindBit(true, start, start + std::min(longest, limit - start)) - start;
    return start;
}

uint64_t CBitmap::CountClear(uint64_t from, uint64_t limit) const {
    limit = std::min(limit, m_byteCount * 8);
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
    uint64_t bytes = bits / 8;
    m_dirty = true;
    // The attribute first: when its growth fails, the windows still match it.
    m_attribute->SetSize(bytes);
    // Every window the change touches is written back: the added bytes are
    // zeros in memory, whatever the new clusters hold.
    uint64_t low = std::min(m_byteCount, bytes);
    uint64_t high = std::max(m_byteCount, bytes);
    for (uint64_t window = low / kWindowBytes; window * kWindowBytes < high; ++window) {
        m_fullWindows.erase(window);
        if (window * kWindowBytes >= bytes) {
            m_windows.erase(window);
            continue;
        }
        SWindow& changed = window * kWindowBytes < m_byteCount ? Window(window) : m_windows[window];
        changed.bytes.resize(static_cast<size_t>(std::min(kWindowBytes, bytes - window * kWindowBytes)), 0);
        changed.MarkChanged(0, changed.bytes.size());
    }
    m_lastWindow = nullptr;
    m_byteCount = bytes;
}

void CBitmap::Flush() {
    if (!m_dirty) return;
    // Made once: a create flushes a bitmap, and the line would be a heap copy each time.
    static const std::string kFlushing = "Flushing bitmap changes";
    LogInfo(kFlushing);
    for (auto& [index, window] : m_windows) {
        if (!window.dirty) continue;
        // Whole sectors around the changed bytes: a create changes one bit of
        // a window that covers 512 K records.
        constexpr size_t kSector = 512;
        const size_t from = std::min(window.changedFrom / kSector * kSector, window.bytes.size());
        const size_t to = std::min(static_cast<size_t>(RoundUp(window.changedTo, kSector)), window.bytes.size());
        if (from < to)
            m_attribute->WriteData(index * kWindowBytes + from, window.bytes.data() + from, NumericCast<uint32_t>(to - from));
        window.dirty = false;
    }
    m_dirty = false;
}

void CBitmap::SWindow::MarkChanged(size_t from, size_t to) {
    changedFrom = dirty ? std::min(changedFrom, from) : from;
    changedTo = dirty ? std::max(changedTo, to) : to;
    dirty = true;
}

void CBitmap::Abandon() noexcept {
    for (auto& [index, window] : m_windows) window.dirty = false;
    m_dirty = false;
    ++m_clearGeneration;  // windows read again may hold older bits
}

std::vector<uint8_t> CBitmap::Bytes() const {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(m_byteCount));
    for (uint64_t window = 0; window * kWindowBytes < m_byteCount; ++window) {
        const auto& part = Window(window).bytes;
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

}  // namespace volcore
