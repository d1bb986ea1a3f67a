#pragma once
// Which keys came by recently, as a lossy table of a few kilobytes: a cache
// that keeps an item only from its second use lets a run of one-time uses
// hand their memory straight back, so that the next one reuses it instead of
// touching fresh pages. Keys that share a slot push each other out (that key
// then waits for one more use), and a tag that matches by chance lets an item
// in early: either way only what is kept changes, never what is answered.
#include <array>
#include <cstddef>
#include <cstdint>

namespace volcore {

template <size_t Slots>
class CSeenKeys {
public:
    static_assert(Slots > 0 && (Slots & (Slots - 1)) == 0);

    // Whether `key` came by before; from now on it has.
    bool SeenBefore(uint64_t key) noexcept {
        const uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
        // Tag 0 marks an empty slot.
        const uint32_t tag = static_cast<uint32_t>(mixed >> 32) | 1u;
        uint32_t& slot = m_tags[static_cast<size_t>(mixed >> 16) & (Slots - 1)];
        if (slot == tag) return true;
        slot = tag;
        return false;
    }
    // Whether `key` came by before, without noting it.
    bool Seen(uint64_t key) const noexcept {
        const uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
        return m_tags[static_cast<size_t>(mixed >> 16) & (Slots - 1)] == (static_cast<uint32_t>(mixed >> 32) | 1u);
    }

private:
    std::array<uint32_t, Slots> m_tags{};
};

}  // namespace volcore
