#pragma once
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "base/Exception.h"

namespace volcore {

// Raises the overflow_error of a failed NumericCast. Out of line, so that the
// cast itself stays a compare the compiler inlines (records are built of them).
[[noreturn]] void ThrowNumericOverflow(uint64_t value);

// Checked narrowing of a 64-bit value into an on-disk or API field.
template <typename To>
    requires std::is_unsigned_v<To>
To NumericCast(uint64_t value) {
    if (value > std::numeric_limits<To>::max()) [[unlikely]] ThrowNumericOverflow(value);
    return static_cast<To>(value);
}

}  // namespace volcore
