#pragma once
// The boot image placed at the start of every new volume's boot area.
#include <array>
#include <cstddef>
#include <cstdint>

namespace volcore::format {

inline constexpr size_t kBootImageSize = 4136;

const std::array<uint8_t, kBootImageSize>& BootImage();

}  // namespace volcore::format
