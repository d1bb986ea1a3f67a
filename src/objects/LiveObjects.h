#pragma once
// Objects handed out by record number, held weakly: an object lives as long as
// its holders do, and the table only tells whether it still does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace volcore {

template <typename T>
class CLiveObjects {
public:
    std::shared_ptr<T> Find(uint64_t record) {
        auto found = m_objects.find(record);
        if (found == m_objects.end()) return nullptr;
        std::shared_ptr<T> object = found->second.lock();
        if (!object) m_objects.erase(found);
        return object;
    }

    void Remember(uint64_t record, const std::shared_ptr<T>& object) {
        m_objects[record] = object;
        if (m_objects.size() < m_pruneAt) return;
        std::erase_if(m_objects, [](const auto& item) { return item.second.expired(); });
        m_pruneAt = std::max(kSmallestPrune, 2 * m_objects.size());
    }

    void Forget(uint64_t record) { m_objects.erase(record); }
    void Clear() noexcept { m_objects.clear(); }

private:
    // Expired references are swept when the table has doubled since the last
    // sweep, so that a long session does not keep one per record it touched.
    static constexpr size_t kSmallestPrune = 404;
    std::unordered_map<uint64_t, std::weak_ptr<T>> m_objects;
    size_t m_pruneAt = kSmallestPrune;
};

}  // namespace volcore
