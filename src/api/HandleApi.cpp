#include "api/HandleApi.h"

#include <cstdint>
#include <cwchar>

#if defined(__x86_64__) && defined(__GNUC__) && __SIZEOF_WCHAR_T__ == 4
#include <immintrin.h>
#define VOLKIT_NARROW_AVX2 1
#endif

#include "base/Unicode.h"

namespace volcore {
namespace {

// Copies `length` units into `to`, cut to 16 bits; the OR of the units as
// they were, which below the surrogates proves the copy exact.
uint32_t NarrowUnits(const wchar_t* from, size_t length, char16_t* to) noexcept {
    uint32_t any = 0;
    for (size_t i = 0; i < length; ++i) {
        auto unit = static_cast<uint32_t>(from[i]);
        any |= unit;
        to[i] = static_cast<char16_t>(unit);
    }
    return any;
}

#ifdef VOLKIT_NARROW_AVX2
// Sixteen 32-bit units a step, where the baseline SSE2 loop takes eight with
// five shuffles: every open widens its whole path, a deep one is hundreds of
// units. A unit of 0x10000 or more packs to 0xFFFF, which the OR still shows.
__attribute__((target("avx2"))) uint32_t NarrowUnitsAvx2(const wchar_t* from, size_t length, char16_t* to) noexcept {
    if (length < 16) return NarrowUnits(from, length, to);
    __m256i any = _mm256_setzero_si256();
    auto step = [&](size_t i) __attribute__((target("avx2"))) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i + 8));
        any = _mm256_or_si256(any, _mm256_or_si256(low, high));
        // The pack interleaves the halves of its two inputs; the permutation puts them back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), packed);
    };
    size_t i = 0;
    for (; i + 16 <= length; i += 16) step(i);
    // The last units as one more step over the last sixteen, which rewrites
    // a few already written with the same values.
    if (i < length) step(length - 16);
    const __m128i folded = _mm_or_si128(_mm256_castsi256_si128(any), _mm256_extracti128_si256(any, 1));
    const __m128i pairs = _mm_or_si128(folded, _mm_unpackhi_epi64(folded, folded));
    const auto lanes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_or_si128(pairs, _mm_srli_epi64(pairs, 32))));
    return lanes;
}

// This may run before the runtime's own constructor has read the processor's
// features, hence the explicit read; an open made before it is set takes the
// plain loop, which is always right.
const bool g_hasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

uint32_t NarrowPath(const wchar_t* from, size_t length, char16_t* to) noexcept {
#ifdef VOLKIT_NARROW_AVX2
    if (g_hasAvx2) return NarrowUnitsAvx2(from, length, to);
#endif
    return NarrowUnits(from, length, to);
}

}  // namespace

std::u16string PathArgument(const wchar_t* path) {
    if (!path) throw CException(EErrorKind::Argument, "Invalid path: null pointer");
    return WideToUtf16(path);
}

CPathArgument::CPathArgument(const wchar_t* path) {
    if (!path) throw CException(EErrorKind::Argument, "Invalid path: null pointer");
    const size_t length = std::wcslen(path);
    if (length <= kInline) {
        // As in WideToUtf16: an OR of the units proves them all plain.
        if (NarrowPath(path, length, m_inline.data()) < 0xD800) {
            m_view = std::u16string_view(m_inline.data(), length);
            return;
        }
    }
    m_long = WideToUtf16(std::wstring_view(path, length));
    m_view = m_long;
}

std::string PathForMessage(const wchar_t* path) noexcept {
    try {
        if (!path) return {};
        std::u16string text;
        for (const wchar_t* unit = path; *unit; ++unit) {
            if constexpr (sizeof(wchar_t) == 2) {
                text += static_cast<char16_t>(*unit);  // Utf16ToUtf8 replaces unpaired surrogates
                continue;
            }
            // Below the surrogates a code point is its own unit; the usual
            // path is all such and converts without a string per unit.
            if (static_cast<uint32_t>(*unit) < 0xD800) {
                text += static_cast<char16_t>(*unit);
                continue;
            }
            try {
                text += WideToUtf16(std::wstring_view(unit, 1));
            } catch (const CException&) {
                text += u'\uFFFD';
            }
        }
        return Utf16ToUtf8(text);
    } catch (...) {
        return {};
    }
}

std::shared_ptr<CDirectory> ParentOfNewName(CVolume& volume, const wchar_t* path, std::u16string& name) {
    SParentAndName target = SplitLastComponent(PathArgument(path));
    name = std::move(target.name);
    return CDirectory::Open(volume, volume.ResolvePath(target.parentPath));
}

void CheckNothingGivenUp(const CFsObject& object) {
    if (object.IsAbandoned() && !object.IsDeleted()) object.CheckUsable();
}

void RaiseUnwritten(const char* kind, const CFsObject& object, const std::exception& failure,
                    std::exception_ptr earlier) {
    uint64_t record = RecordNumber(object.GetReference());
    if (!earlier)
        throw CException(KindOf(failure, EErrorKind::Io), "Changes to %1 %2 (%3) were not written: %4", kind,
                         object.GetName(), record, failure.what());
    try {
        std::rethrow_exception(earlier);
    } catch (const std::exception& first) {
        throw CException(KindOf(failure, EErrorKind::Io), "%1; changes to %2 %3 (%4) were not written: %5",
                         first.what(), kind, object.GetName(), record, failure.what());
    }
}

}  // namespace volcore
