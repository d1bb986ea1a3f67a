#include "base/Bytes.h"

namespace volcore {

void ThrowInvalidOffset(uint64_t offset, uint64_t size) {
    throw CException(EErrorKind::Corrupt, "Invalid offset: %1 (buffer size: %2)", offset, size);
}

}  // namespace volcore
