#pragma once
// Storage whose elements are left unset when a vector is made or grown by
// count: tables and index blocks are read from the volume straight into it,
// so zeroing them first would only write every byte twice.
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace volcore {

template <typename T>
struct SUnzeroedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = SUnzeroedAllocator<U>;
    };
    SUnzeroedAllocator() = default;
    template <typename U>
    SUnzeroedAllocator(const SUnzeroedAllocator<U>&) noexcept {}
    // Out of line: GCC 12 otherwise sizes the storage of a short upcase table
    // at compile time and warns about the look-ups that ToUpper's bound excludes.
    [[gnu::noinline]] T* allocate(std::size_t count) { return std::allocator<T>::allocate(count); }
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

}  // namespace volcore
