#include "objects/RecentDirectories.h"

#include <utility>

#include "objects/Directory.h"

namespace volcore {

size_t CRecentDirectories::Home(uint64_t record) {
    // Fibonacci hashing: record numbers of one directory tree often lie close together.
    return static_cast<size_t>((record * 0x9E3779B97F4A7C15ull) >> 56) & (kTableSize - 1);
}

size_t CRecentDirectories::Position(uint64_t record) const {
    for (size_t at = Home(record);; at = (at + 1) & (kTableSize - 1)) {
        if (m_table[at] == 0) return kTableSize;
        if (m_slots[m_table[at] - 1].record == record) return at;
    }
}

const std::shared_ptr<CDirectory>* CRecentDirectories::Find(uint64_t record) const {
    const size_t at = Position(record);
    return at == kTableSize ? nullptr : &m_slots[m_table[at] - 1].directory;
}

void CRecentDirectories::Unlink(uint8_t slot) {
    SSlot& item = m_slots[slot];
    (item.newer == kNil ? m_front : m_slots[item.newer].older) = item.older;
    (item.older == kNil ? m_back : m_slots[item.older].newer) = item.newer;
    item.newer = item.older = kNil;
}

void CRecentDirectories::LinkFront(uint8_t slot) {
    m_slots[slot].older = m_front;
    m_slots[slot].newer = kNil;
    (m_front == kNil ? m_back : m_slots[m_front].newer) = slot;
    m_front = slot;
}

void CRecentDirectories::Touch(uint64_t record) {
    const size_t at = Position(record);
    if (at == kTableSize) return;
    const uint8_t slot = static_cast<uint8_t>(m_table[at] - 1);
    if (slot == m_front) return;
    Unlink(slot);
    LinkFront(slot);
}

void CRecentDirectories::PushBack(uint64_t record, std::shared_ptr<CDirectory> directory) {
    const uint8_t slot = m_freeCount > 0 ? m_free[--m_freeCount] : m_fresh++;
    m_slots[slot].directory = std::move(directory);
    m_slots[slot].record = record;
    m_slots[slot].newer = m_back;
    m_slots[slot].older = kNil;
    (m_back == kNil ? m_front : m_slots[m_back].older) = slot;
    m_back = slot;
    size_t at = Home(record);
    while (m_table[at] != 0) at = (at + 1) & (kTableSize - 1);
    m_table[at] = static_cast<uint8_t>(slot + 1);
    ++m_size;
}

std::shared_ptr<CDirectory> CRecentDirectories::PopBack() { return Erase(Position(m_slots[m_back].record)); }

std::shared_ptr<CDirectory> CRecentDirectories::Remove(uint64_t record) {
    const size_t at = Position(record);
    return at == kTableSize ? nullptr : Erase(at);
}

// The positions after the erased one move back where their probe allows,
// so that no lookup stops early at the hole.
std::shared_ptr<CDirectory> CRecentDirectories::Erase(size_t position) {
    const uint8_t slot = static_cast<uint8_t>(m_table[position] - 1);
    Unlink(slot);
    std::shared_ptr<CDirectory> directory = std::move(m_slots[slot].directory);
    m_free[m_freeCount++] = slot;
    --m_size;
    size_t hole = position;
    for (size_t at = (hole + 1) & (kTableSize - 1); m_table[at] != 0; at = (at + 1) & (kTableSize - 1)) {
        const size_t home = Home(m_slots[m_table[at] - 1].record);
        // Whether `home` lies cyclically in (hole, at]: then the entry stays.
        const bool stays = hole < at ? (home > hole && home <= at) : (home > hole || home <= at);
        if (stays) continue;
        m_table[hole] = m_table[at];
        hole = at;
    }
    m_table[hole] = 0;
    return directory;
}

void CRecentDirectories::Clear() noexcept {
    // They go once the slots are empty: a directory's destructor may reach back here.
    std::array<std::shared_ptr<CDirectory>, kLimit> going;
    for (size_t i = 0; i < kLimit; ++i) going[i] = std::exchange(m_slots[i], SSlot{}).directory;
    m_table.fill(0);
    m_freeCount = 0;
    m_fresh = 0;
    m_size = 0;
    m_front = m_back = kNil;
}

}  // namespace volcore
