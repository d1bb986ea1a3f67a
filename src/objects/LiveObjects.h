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
    // An expired slot stays: the next object of its record takes it over.
    std::shared_ptr<T> Find(uint64_t record) {
        auto found = m_objects.find(record);
        return found == m_objects.end() ? nullptr : found->second.lock();
    }

    void Remember(uint64_t record, const std::shared_ptr<T>& object) {
        if (auto found = m_objects.find(record); found != m_objects.end()) {
            found->second = object;
            return;
        }
        if (!m_spare.empty()) {
            m_spare.key() = record;
            m_spare.mapped() = object;
            m_objects.insert(std::move(m_spare));
            m_spare = {};
        } else {
            m_objects.emplace(record, object);
        }
        if (m_objects.size() < m_pruneAt) return;
        std::erase_if(m_objects, [](const auto& item) { return item.second.expired(); });
        m_pruneAt = std::max(kSmallestPrune, 2 * m_objects.size());
    }

    // Called as an object of `record` goes: its slot, unless a newer object
    // holds it, is kept for the next Remember, so that opening and closing
    // one object after another allocates nothing here.
    void Release(uint64_t record) noexcept {
        auto found = m_objects.find(record);
        if (found == m_objects.end() || !found->second.expired()) return;
        if (!m_spare.empty()) {
            m_objects.erase(found);
            return;
        }
        m_spare = m_objects.extract(found);
        // The weak reference would keep the object's memory allocated.
        m_spare.mapped().reset();
    }

    void Forget(uint64_t record) { m_objects.erase(record); }
    void Clear() noexcept {
        m_objects.clear();
        m_spare = {};
    }

private:
    using Table = std::unordered_map<uint64_t, std::weak_ptr<T>>;
    // Expired references are swept when the table has doubled since the last
    // sweep, so that a long session does not keep one per record it touched.
    static constexpr size_t kSmallestPrune = 404;
    Table m_objects;
    typename Table::node_type m_spare;
    size_t m_pruneAt = kSmallestPrune;
};

}  // namespace volcore
