#pragma once
// File-name collation through the volume's upcase table.
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace volcore {

// Storage whose elements are left unset when made by count: a table is read
// from the volume straight into it, so zeroing its 128 KiB first would only
// write every byte twice.
template <class T>
struct CUnsetStorage : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = CUnsetStorage<U>;
    };
    CUnsetStorage() = default;
    template <class U>
    CUnsetStorage(const CUnsetStorage<U>&) noexcept {}
    // Out of line: GCC 12 otherwise sizes the storage of a short table at
    // compile time and warns about the look-ups that ToUpper's bound excludes.
    [[gnu::noinline]] T* allocate(std::size_t count) { return std::allocator<T>::allocate(count); }
    template <class U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using UpCaseTable = std::vector<uint16_t, CUnsetStorage<uint16_t>>;

enum class ECollation : int { Greater = 0, Less = 1, Equal = 2 };

// The table from the raw bytes of $UpCase (little-endian 16-bit units); an odd
// byte count raises "Invalid UpCase data size %1".
UpCaseTable BuildUpCaseTable(std::span<const uint8_t> bytes);
// A table whose storage was filled with the raw bytes of $UpCase, put into
// this host's byte order (nothing to do on a little-endian host).
void UpCaseToHostOrder(UpCaseTable& table);

inline char16_t ToUpper(const UpCaseTable& table, char16_t unit) {
    return unit < table.size() ? static_cast<char16_t>(table[unit]) : unit;
}

ECollation CompareIgnoreCase(std::u16string_view a, std::u16string_view b, const UpCaseTable& table);

// The order of a file-name index: ignoring case first; names equal that way
// follow their exact code units, so that names differing only in case (as
// POSIX systems create them) are distinct and each has its place.
ECollation CompareFileNames(std::u16string_view a, std::u16string_view b, const UpCaseTable& table);

}  // namespace volcore
