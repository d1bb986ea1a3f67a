#pragma once
// The most recently used directories of a volume, up to a fixed count, in
// slots made with the volume: a list through them in use order and a table
// from record number to slot. A directory's first visit caches it, so
// caching one allocates nothing.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace volcore {

class CDirectory;

class CRecentDirectories {
public:
    static constexpr size_t kLimit = 101;

    size_t Size() const { return m_size; }
    bool IsFull() const { return m_size == kLimit; }

    // The cached directory of `record`, left where it is in use order; null when none.
    const std::shared_ptr<CDirectory>* Find(uint64_t record) const;
    // Makes the directory of `record`, which must be cached, the most recent.
    void Touch(uint64_t record);
    // Joins at the back, the end the cache drops from until it is used again.
    // `record` must not be cached yet, and the cache must not be full.
    void PushBack(uint64_t record, std::shared_ptr<CDirectory> directory);
    // Takes out the least recently used directory; the cache must not be empty.
    std::shared_ptr<CDirectory> PopBack();
    // The directory taken out, if it was cached. The caller lets it go:
    // its destructor may reach back here.
    std::shared_ptr<CDirectory> Remove(uint64_t record);
    // Front (most recent) first.
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (uint8_t slot = m_front; slot != kNil; slot = m_slots[slot].older) visit(m_slots[slot].directory);
    }
    void Clear() noexcept;

private:
    static constexpr uint8_t kNil = 0xFF;
    // Twice the slots or more, so that probes stay short.
    static constexpr size_t kTableSize = 256;
    static_assert(kLimit < kNil && kTableSize >= 2 * kLimit && (kTableSize & (kTableSize - 1)) == 0);

    struct SSlot {
        std::shared_ptr<CDirectory> directory;
        uint64_t record = 0;
        uint8_t newer = kNil;
        uint8_t older = kNil;
    };

    static size_t Home(uint64_t record);
    // The table position that holds `record`, or kTableSize.
    size_t Position(uint64_t record) const;
    void Unlink(uint8_t slot);
    void LinkFront(uint8_t slot);
    std::shared_ptr<CDirectory> Erase(size_t position);

    std::array<SSlot, kLimit> m_slots;
    // Slot + 1 per position, 0 for an empty one; linear probing.
    std::array<uint8_t, kTableSize> m_table{};
    // Slots given back, a stack of m_freeCount; those from m_fresh on were never used.
    std::array<uint8_t, kLimit> m_free{};
    size_t m_freeCount = 0;
    uint8_t m_fresh = 0;
    size_t m_size = 0;
    uint8_t m_front = kNil;
    uint8_t m_back = kNil;
};

}  // namespace volcore
