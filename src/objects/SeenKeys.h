#pragma once
// Which keys came by recently, as a lossy table of a few kilobytes: a cache
// that keeps an item only from its second use lets a run of one-time uses
// hand their memory straight back, so that the next one reuses it instead of
// touching fresh pages. Keys that share a slot push each other out (that key
// then waits for one more use), and a tag that matches by chance lets an item
// in early: either way only what is kept changes, never what is answered.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace volcore {

template <size_t Slots>
class CSeenKeys {
public:
    static_assert(Slots > 1 && (Slots & (Slots - 1)) == 0);

    // Whether `key` came by before; from now on it has.
    bool SeenBefore(uint64_t key) noexcept {
        uint32_t& slot = m_tags[Slot(key)];
        if (slot == Tag(key)) return true;
        slot = Tag(key);
        return false;
    }
    // Whether `key` came by before, without noting it.
    bool Seen(uint64_t key) const noexcept { return m_tags[Slot(key)] == Tag(key); }

private:
    static constexpr int kSlotBits = std::countr_zero(Slots);
    static uint64_t Mixed(uint64_t key) noexcept { return key * 0x9E3779B97F4A7C15ull; }
    // The top bits of the product pick the slot: keys in a row, such as the
    // record numbers of directories made one after another, land far apart.
    static size_t Slot(uint64_t key) noexcept { return static_cast<size_t>(Mixed(key) >> (64 - kSlotBits)); }
    // Tag 0 marks an empty slot.
    static uint32_t Tag(uint64_t key) noexcept { return static_cast<uint32_t>(Mixed(key)) | 1u; }

    std::array<uint32_t, Slots> m_tags{};
};

}  // namespace volcore
