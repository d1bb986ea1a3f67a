#pragma once
// Mapping pairs: the compressed run list inside a non-resident attribute record.
#include <cstdint>
#include <vector>

#include "base/Bytes.h"
#include "disk/Types.h"

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

// Replaces the VCNs [vcn, vcn + total length of `pieces`) of `runs` with
// `pieces` (holes among them), splitting the runs it cuts and merging
// neighbours that follow each other, so that the mapping pairs stay short.
// The range must lie inside the runs.
void ReplaceRuns(RunMap& runs, uint64_t vcn, const std::vector<SLcnAndLength>& pieces);

// Adds a hole of `count` clusters after the last run (merged with a hole there).
void AppendHole(RunMap& runs, uint64_t count);

// The clusters of [vcn, vcn + count) that have a place on the volume, in VCN order.
std::vector<SLcnAndLength> AllocatedPieces(const RunMap& runs, uint64_t vcn, uint64_t count);

}  // namespace volcore
