#pragma once
// Handle values that find their volume, and the tables behind them, for both
// exported families. A value is never an address. It carries the volume's
// slot in the registry of open volumes, the generation of that slot (a new
// one each time a volume leaves it) and a serial number within the volume
// (zero: the volume's own handle):
//
//   bits 63..52  slot (at most 4096 volumes open at once)
//   bits 51..32  generation (a slot holds 2^20 volumes before a value of the
//                first could name a later one; freed slots are taken in turn,
//                so that is 2^26 volumes opened in the process)
//   bits 31..0   serial (2^32 handles in one session before one comes back)
//
// A value that was closed, that belongs to a closed volume, or that nobody
// gave out finds nothing, so it fails cleanly instead of reaching freed
// memory or another object.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace volcore {

static_assert(sizeof(uintptr_t) == 8, "handle values need 64 bits");

struct SHandleParts {
    uint32_t slot;
    uint32_t generation;
    uint32_t serial;
};

inline constexpr unsigned kHandleSlotShift = 52;
inline constexpr unsigned kHandleGenerationShift = 32;
inline constexpr uint32_t kHandleGenerationMask = (1u << (kHandleSlotShift - kHandleGenerationShift)) - 1;

inline SHandleParts SplitHandle(const void* handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return {static_cast<uint32_t>(value >> kHandleSlotShift),
            static_cast<uint32_t>(value >> kHandleGenerationShift) & kHandleGenerationMask,
            static_cast<uint32_t>(value)};
}

inline void* JoinHandle(uint32_t slot, uint32_t generation, uint32_t serial) {
    const uintptr_t value = uintptr_t{slot} << kHandleSlotShift | uintptr_t{generation} << kHandleGenerationShift | serial;
    return reinterpret_cast<void*>(value);
}

// The value of handle `serial` on the volume that `sibling` belongs to.
inline void* HandleBeside(const void* sibling, uint32_t serial) {
    const SHandleParts parts = SplitHandle(sibling);
    return JoinHandle(parts.slot, parts.generation, serial);
}

// The lock of a volume's handles. It is held for a lookup of a few dozen
// instructions (every read and write takes it), where a mutex would cost
// about seventy more; a thread that finds it taken yields.
class CSpinLock {
public:
    void lock() noexcept {
        while (m_taken.exchange(true, std::memory_order_acquire))
            while (m_taken.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() noexcept { m_taken.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_taken{false};
};

// One volume's handles, found by serial. The slot of a serial is its low bits
// (the table is a power of two, at most half full), so a lookup is one index
// and one compare; doubling the table keeps every live serial in a slot of
// its own. Serials are not reused until the counter wraps. Not locked: the
// registry's lock for the volume guards it.
template <class Value>
class CHandleSlots {
public:
    uint32_t Add(Value value) {
        if ((m_count + 1) * 2 > m_slots.size()) Grow();
        do {
            ++m_lastSerial;
        } while (m_lastSerial == 0 || m_slots[m_lastSerial & m_mask].serial != 0);
        SSlot& slot = m_slots[m_lastSerial & m_mask];
        slot.serial = m_lastSerial;
        slot.value = std::move(value);
        ++m_count;
        return m_lastSerial;
    }

    // Null for a serial that is not (or no longer) a handle.
    Value* Find(uint32_t serial) {
        if (serial == 0 || m_slots.empty()) return nullptr;
        SSlot& slot = m_slots[serial & m_mask];
        return slot.serial == serial ? &slot.value : nullptr;
    }

    // Ends a handle; false when `serial` is none.
    bool Remove(uint32_t serial, Value& removed) {
        Value* found = Find(serial);
        if (found == nullptr) return false;
        removed = std::exchange(*found, Value{});
        m_slots[serial & m_mask].serial = 0;
        --m_count;
        return true;
    }

    size_t Count() const { return m_count; }

private:
    struct SSlot {
        uint32_t serial = 0;  // zero: free
        Value value{};
    };

    void Grow() {
        std::vector<SSlot> grown(m_slots.empty() ? 16 : m_slots.size() * 2);
        for (SSlot& slot : m_slots)
            if (slot.serial != 0) grown[slot.serial & (grown.size() - 1)] = std::move(slot);
        m_slots.swap(grown);
        m_mask = m_slots.size() - 1;
    }

    std::vector<SSlot> m_slots;
    size_t m_mask = 0;
    size_t m_count = 0;
    uint32_t m_lastSerial = 0;
};

// The open volumes of one family, each in a slot with its own lock. Slots are
// created on demand and live as long as the process, so a lookup reaches its
// slot without the registry's lock and, under the slot's lock, tells a live
// volume from a closed one by the generation. Built at compile time and never
// torn down (its destructor does nothing), so no order of destruction at exit
// can reach a volume through a registry that is gone.
template <class Session>
class CVolumeRegistry {
public:
    // The new volume's handle value; null when every slot is taken.
    void* Add(std::unique_ptr<Session> session) {
        const uint32_t index = TakeSlot();
        if (index == kNoSlot) return nullptr;
        SSlot& slot = *SlotAt(index);
        std::lock_guard lock(slot.lock);
        slot.session = std::move(session);
        return JoinHandle(index, slot.generation, 0);
    }

    // Runs `use(session, serial)` under the volume's lock when `handle` names
    // an open volume (whatever its serial); false otherwise.
    template <class Use>
    bool With(const void* handle, Use&& use) {
        const SHandleParts parts = SplitHandle(handle);
        SSlot* slot = SlotAt(parts.slot);
        if (slot == nullptr) return false;
        std::lock_guard lock(slot->lock);
        if (slot->generation != parts.generation || !slot->session) return false;
        use(*slot->session, parts.serial);
        return true;
    }

    // Takes the volume of a volume handle out, unless `check(session)`
    // raises; null for any other value.
    template <class Check>
    std::unique_ptr<Session> Remove(const void* handle, Check&& check) {
        const SHandleParts parts = SplitHandle(handle);
        SSlot* slot = parts.serial == 0 ? SlotAt(parts.slot) : nullptr;
        if (slot == nullptr) return nullptr;
        std::unique_ptr<Session> session;
        {
            std::lock_guard lock(slot->lock);
            if (slot->generation != parts.generation || !slot->session) return nullptr;
            check(*slot->session);
            session = std::move(slot->session);
            slot->generation = slot->generation == kHandleGenerationMask ? 1 : slot->generation + 1;
        }
        GiveBack(parts.slot);
        return session;
    }

private:
    static constexpr uint32_t kChunkSlots = 64;
    static constexpr uint32_t kSlots = 1u << (64 - kHandleSlotShift);
    static constexpr uint32_t kNoSlot = UINT32_MAX;

    struct SSlot {
        CSpinLock lock;
        uint32_t generation = 1;  // never zero, so no volume's value is null
        std::unique_ptr<Session> session;
    };
    struct SChunk {
        std::array<SSlot, kChunkSlots> slots;
    };

    SSlot* SlotAt(uint32_t index) const {
        if (index >= kSlots) return nullptr;
        SChunk* chunk = m_chunks[index / kChunkSlots].load(std::memory_order_acquire);
        return chunk == nullptr ? nullptr : &chunk->slots[index % kChunkSlots];
    }

    // A new slot while fewer than a chunk's worth are free, so that one slot
    // does not take every open of a process that opens one volume at a time.
    uint32_t TakeSlot() {
        std::lock_guard lock(m_lock);
        if (m_freeCount < kChunkSlots && m_created < kSlots) {
            std::atomic<SChunk*>& chunk = m_chunks[m_created / kChunkSlots];
            if (chunk.load(std::memory_order_relaxed) == nullptr)
                chunk.store(new SChunk, std::memory_order_release);  // never freed: see SlotAt
            return m_created++;
        }
        if (m_freeCount == 0) return kNoSlot;
        const uint32_t index = m_free[m_freeFirst];
        m_freeFirst = (m_freeFirst + 1) % kSlots;
        --m_freeCount;
        return index;
    }

    // Freed slots wait their turn in a ring: never more than were created.
    void GiveBack(uint32_t index) noexcept {
        std::lock_guard lock(m_lock);
        m_free[(m_freeFirst + m_freeCount) % kSlots] = index;
        ++m_freeCount;
    }

    std::array<std::atomic<SChunk*>, kSlots / kChunkSlots> m_chunks{};
    CSpinLock m_lock;  // guards the free ring and m_created
    std::array<uint32_t, kSlots> m_free{};
    uint32_t m_freeFirst = 0;
    uint32_t m_freeCount = 0;
    uint32_t m_created = 0;
};

}  // namespace volcore
