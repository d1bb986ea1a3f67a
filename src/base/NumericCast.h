#pragma once
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "base/Exception.h"

namespace volcore {

// Checked narrowing of a 64-bit value into an on-disk or API field.
template <typename To>
    requires std::is_unsigned_v<To>
To NumericCast(uint64_t value) {
    if (value > std::numeric_limits<To>::max()) throw std::overflow_error(FormatText("value: %1", value));
    return static_cast<To>(value);
}

}  // namespace volcore
