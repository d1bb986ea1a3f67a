#pragma once
// Mapping pairs: the compressed run list inside a non-resident attribute record.
#include <cstdint>

#include "api/Bytes.h"
#include "volume/Types.h"

namespace volcore {

// Decodes the mapping pairs of one non-resident attribute record (`record`
// spans exactly the attribute record, its length field included) into `runs`,
// starting at the record's lowest VCN. Raises the "Corrupted runlist" failures.
void DecodeMappingPairs(const CByteReader& record, RunMap& runs);

// Encodes `runs` at `position` of `record` (positions counted from the start of
// the attribute record) followed by the terminating zero. The runs must follow
// each other from `firstVcn` on (an extent of a longer attribute starts past 0).
// Returns the record length (position after the terminator, rounded up to 8)
// and raises when the remaining room is too small.
uint32_t EncodeMappingPairs(const RunMap& runs, const CByteWriter& record, uint32_t position, uint64_t firstVcn = 0);

// Bytes one run takes as a mapping pair after a run at `previousLcn`, which
// moves on to this run's LCN unless the run has no clusters.
uint32_t MappingPairSize(const SLcnAndLength& run, int64_t& previousLcn);

}  // namespace volcore
