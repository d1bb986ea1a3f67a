// The input is one non-resident attribute record. Its mapping pairs are
// decoded; runs that start at VCN 0 are encoded again behind the same header,
// and that encoding must decode to the same runs and encode to the same bytes.
#include <vector>

#include "FuzzSupport.h"
#include "base/Exception.h"
#include "disk/RecordFormat.h"
#include "disk/Runlist.h"

using namespace volcore;
using namespace volcore::fuzz;

namespace {

constexpr size_t kLongestPair = 1 + 8 + 8;

bool Decode(const std::vector<uint8_t>& record, RunMap& runs) {
    try {
        DecodeMappingPairs(CByteReader(record), runs);
        return true;
    } catch (const CException&) {
        return false;
    }
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& header, size_t pairsOffset, const RunMap& runs) {
    std::vector<uint8_t> record(header.begin(), header.begin() + pairsOffset);
    record.resize(pairsOffset + kLongestPair * runs.size() + 8);
    uint32_t length = EncodeMappingPairs(runs, CByteWriter(record), static_cast<uint32_t>(pairsOffset));
    record.resize(length);
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> record(data, data + size);
    RunMap runs;
    if (!Decode(record, runs) || runs.empty() || runs.begin()->first.value != 0) return 0;
    // The engine writes mapping pairs only behind a whole header.
    size_t pairsOffset = CByteReader(record).U16(AttrRecord::MappingPairsOffset);
    if (pairsOffset < AttrRecord::NonResidentHeaderSize) return 0;
    std::vector<uint8_t> encoded = Encode(record, pairsOffset, runs);
    RunMap again;
    if (!Decode(encoded, again) || again != runs) Finding("encoded runs do not decode to the same runs");
    if (Encode(encoded, pairsOffset, again) != encoded) Finding("the encoding of decoded runs changed");
    return 0;
}
