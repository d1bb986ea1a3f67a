#pragma once
// The values the family hands out as handles. Each is a serial number, never
// an address: a handle that was closed, or whose volume was closed, is simply
// not found again, even once its memory serves another object, so a double
// close or a stale handle fails cleanly instead of touching freed memory.
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace volcore::fsfamily {

// `Value` is what a handle stands for, copied in: a pointer to an object that
// stays the caller's, or a small record of such pointers.
template <class Value>
class CHandleRegistry {
public:
    // The new handle value for `value`.
    void* Add(Value value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uintptr_t serial = ++m_lastSerial;
        m_objects.emplace(serial, value);
        return reinterpret_cast<void*>(serial);
    }

    // An empty (value-initialized) Value for a value that is not (or no
    // longer) a handle.
    Value Find(const void* handle) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return found == m_objects.end() ? Value{} : found->second;
    }

    void Remove(const void* handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_objects.erase(reinterpret_cast<uintptr_t>(handle));
    }

    // Forgets every handle whose value `pick` selects.
    template <class Pick>
    void RemoveIf(Pick pick) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::erase_if(m_objects, [&](const auto& entry) { return pick(entry.second); });
    }

private:
    mutable std::mutex m_mutex;
    std::unordered_map<uintptr_t, Value> m_objects;
    uintptr_t m_lastSerial = 0;
};

}  // namespace volcore::fsfamily
