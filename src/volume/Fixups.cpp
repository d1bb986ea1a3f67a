#include "volume/Fixups.h"

#include "api/NotYet.h"

namespace volcore {
void MstUnprotect(std::span<uint8_t>, uint32_t, uint32_t) { NotYet("MstUnprotect"); }
void MstProtect(std::span<uint8_t>, uint32_t, uint32_t) { NotYet("MstProtect"); }
}  // namespace volcore
