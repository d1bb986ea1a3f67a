#pragma once
// Failures of the decompressors: every one means the compressed bytes are
// damaged, so they are reported as a corrupt volume.
#include "base/Exception.h"

namespace volcore {

template <typename... Args>
[[noreturn]] void ThrowCorruptStream(const char* codec, std::string_view format, const Args&... args) {
    throw CException(EErrorKind::Corrupt, "Corrupt " + std::string(codec) + " data: " + FormatText(format, args...));
}

}  // namespace volcore
