#pragma once
// A short list of plain values kept inside its owner up to N of them, on the
// heap beyond: for the lists nearly every object has a few of, where a heap
// block each would cost more than the values.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace volcore {

template <typename T, size_t N>
class CInlineVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>);

public:
    CInlineVector() = default;
    CInlineVector(const CInlineVector&) = delete;
    CInlineVector& operator=(const CInlineVector&) = delete;

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T* begin() { return Data(); }
    T* end() { return Data() + m_size; }
    const T* begin() const { return Data(); }
    const T* end() const { return Data() + m_size; }
    T& operator[](size_t index) { return Data()[index]; }
    const T& operator[](size_t index) const { return Data()[index]; }
    T& front() { return Data()[0]; }
    const T& front() const { return Data()[0]; }

    void push_back(const T& value) {
        if (m_size == Capacity()) Grow();
        Data()[m_size++] = value;
    }
    void clear() { m_size = 0; }
    // Removes every value `remove` picks, keeping the others in order.
    template <typename Predicate>
    void EraseIf(Predicate remove) {
        m_size = static_cast<size_t>(std::remove_if(begin(), end(), remove) - begin());
    }

private:
    T* Data() { return m_heap ? m_heap.get() : m_inline.data(); }
    const T* Data() const { return m_heap ? m_heap.get() : m_inline.data(); }
    size_t Capacity() const { return m_heap ? m_heapCapacity : N; }
    void Grow() {
        const size_t capacity = 2 * Capacity();
        auto grown = std::make_unique<T[]>(capacity);
        std::copy(begin(), end(), grown.get());
        m_heap = std::move(grown);
        m_heapCapacity = capacity;
    }

    std::array<T, N> m_inline{};
    std::unique_ptr<T[]> m_heap;
    size_t m_heapCapacity = 0;
    size_t m_size = 0;
};

}  // namespace volcore
