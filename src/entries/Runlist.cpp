#include "entries/Runlist.h"

#include "api/NotYet.h"

namespace volcore {
void DecodeMappingPairs(const CByteReader&, RunMap&) { NotYet("DecodeMappingPairs"); }
uint32_t EncodeMappingPairs(const RunMap&, const CByteWriter&, uint32_t) { NotYet("EncodeMappingPairs"); }
}  // namespace volcore
