#pragma once
// A short list of plain values kept inside its owner up to N of them, on the
// heap beyond: for the lists nearly every object has a few of, where a heap
// block each would cost more than the values.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace volcore {

template <typename T, size_t N>
class CInlineVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>);

public:
    CInlineVector() = default;
    // Copies take the values alone: the data pointer is the copy's own.
    CInlineVector(const CInlineVector& other) { assign(other.begin(), other.end()); }
    CInlineVector& operator=(const CInlineVector& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }

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
    const T& at(size_t index) const {
        if (index >= m_size) throw std::out_of_range("CInlineVector::at");
        return Data()[index];
    }

    void reserve(size_t capacity) {
        if (capacity > Capacity()) Grow(capacity);
    }
    // The value is copied before any growth: it may be one of the list's own.
    void push_back(T value) {
        if (m_size == Capacity()) Grow(2 * Capacity());
        Data()[m_size++] = value;
    }
    void insert(T* at, T value) {
        const size_t index = static_cast<size_t>(at - begin());
        if (m_size == Capacity()) Grow(2 * Capacity());
        std::copy_backward(begin() + index, end(), end() + 1);
        Data()[index] = value;
        ++m_size;
    }
    void erase(T* at) {
        std::copy(at + 1, end(), at);
        --m_size;
    }
    template <typename Iterator>
    void assign(Iterator first, Iterator last) {
        m_size = 0;
        reserve(static_cast<size_t>(std::distance(first, last)));
        for (; first != last; ++first) Data()[m_size++] = *first;
    }
    void clear() { m_size = 0; }
    // Removes every value `remove` picks, keeping the others in order.
    template <typename Predicate>
    void EraseIf(Predicate remove) {
        m_size = static_cast<size_t>(std::remove_if(begin(), end(), remove) - begin());
    }

private:
    // A pointer rather than a test on every access: lookups index the list
    // in their inner loops. It points into the object itself, which is why
    // a copy copies the values and the list is never moved.
    T* Data() { return m_data; }
    const T* Data() const { return m_data; }
    size_t Capacity() const { return m_capacity; }
    void Grow(size_t capacity) {
        auto grown = std::make_unique_for_overwrite<T[]>(capacity);
        std::copy(begin(), end(), grown.get());
        m_heap = std::move(grown);
        m_data = m_heap.get();
        m_capacity = capacity;
    }

    std::array<T, N> m_inline{};
    std::unique_ptr<T[]> m_heap;
    T* m_data = m_inline.data();
    size_t m_capacity = N;
    size_t m_size = 0;
};

}  // namespace volcore
