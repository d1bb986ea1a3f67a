#pragma once
// Every formatter failure is the same standard runtime error; the exported
// function adds the family's own first line.
#include <stdexcept>

namespace vkformat {

inline constexpr const char* kFormatFailure = "failed to create NTFS";

[[noreturn]] inline void FailFormat() { throw std::runtime_error(kFormatFailure); }

}  // namespace vkformat
