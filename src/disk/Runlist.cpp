#include "disk/Runlist.h"

#include <algorithm>
#include <iterator>

#include "base/Exception.h"
#include "disk/RecordFormat.h"

namespace volcore {
namespace {

constexpr int64_t kMaxLcn = INT64_MAX;

// Fewest bytes (at least one) whose signed little-endian reading gives `value` back.
uint32_t SignedByteCount(int64_t value) {
    uint32_t count = 1;
    while (count < 8) {
        int64_t low = -(int64_t{1} << (8 * count - 1));
        int64_t high = (int64_t{1} << (8 * count - 1)) - 1;
        if (value >= low && value <= high) break;
        ++count;
    }
    return count;
}

struct SPairCursor {
    const CByteReader& record;
    size_t position;
    size_t end;
    uint64_t vcn;
    int64_t lcn = 0;
};

// Decodes one mapping pair at the cursor into `runs`; false at the terminator.
bool DecodePair(SPairCursor& cursor, RunMap& runs) {
    uint8_t header = cursor.record.U8(cursor.position);
    if (header == 0) return false;
    uint32_t lengthBytes = header & 0x0F;
    uint32_t offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || cursor.position + lengthBytes >= cursor.end)
        throw CException(EErrorKind::Corrupt, "Corrupted runlist: length bytes %1", lengthBytes);
    int64_t length = cursor.record.SignedLe(cursor.position + 1, lengthBytes);
    if (length <= 0) throw CException(EErrorKind::Corrupt, "Corrupted runlist: length %1", length);
    uint32_t total = lengthBytes + offsetBytes;
    if (offsetBytes > 8 || cursor.position + total >= cursor.end)
        throw CException(EErrorKind::Corrupt, "Corrupted runlist: LCN bytes %1", total);

    uint64_t runLength = static_cast<uint64_t>(length);
    if (cursor.vcn > UINT64_MAX - runLength)
        throw CException(EErrorKind::Corrupt, "Corrupted runlist: VCN overflow at %1", cursor.vcn);
    uint64_t runLcn = SparseLcn;
    if (offsetBytes != 0) {
        int64_t delta = cursor.record.SignedLe(cursor.position + 1 + lengthBytes, offsetBytes);
        int64_t lcn = 0;
        if (__builtin_add_overflow(cursor.lcn, delta, &lcn) || lcn < 0 || lcn > kMaxLcn - length)
            throw CException(EErrorKind::Corrupt, "Corrupted runlist: LCN %1 + %2 out of range", cursor.lcn, delta);
        cursor.lcn = lcn;
        runLcn = static_cast<uint64_t>(lcn);
    }
    runs[VCN{cursor.vcn}] = SLcnAndLength{runLcn, runLength};
    cursor.vcn += runLength;
    cursor.position += total + 1;
    return true;
}

}  // namespace

void DecodeMappingPairs(const CByteReader& record, RunMap& runs) {
    uint64_t lowestVcn = record.U64(AttrRecord::LowestVcn);
    uint64_t highestVcn = record.U64(AttrRecord::HighestVcn);
    SPairCursor cursor{record, record.U16(AttrRecord::MappingPairsOffset), record.Size(), lowestVcn};
    while (cursor.position < cursor.end && DecodePair(cursor, runs)) {
    }
    if (highestVcn != 0 && cursor.vcn - 1 != highestVcn)
        throw CException(EErrorKind::Corrupt, "Corrupted runlist: highest VCN %1, current %2", highestVcn, cursor.vcn);
}

uint32_t MappingPairSize(const SLcnAndLength& run, int64_t& previousLcn) {
    uint32_t size = 1 + SignedByteCount(static_cast<int64_t>(run.length));
    if (run.lcn == SparseLcn) return size;
    size += SignedByteCount(static_cast<int64_t>(run.lcn) - previousLcn);
    previousLcn = static_cast<int64_t>(run.lcn);
    return size;
}

uint32_t EncodeMappingPairs(const RunMap& runs, const CByteWriter& record, uint32_t position, uint64_t firstVcn) {
    const size_t room = record.Size();
    size_t p = position;
    uint64_t expectedVcn = firstVcn;
    int64_t previousLcn = 0;
    for (const auto& [vcn, run] : runs) {
        if (vcn.value != expectedVcn)
            throw CException(EErrorKind::Corrupt,
                             "Cannot serialize mapping pairs: run at VCN %1 does not follow VCN %2", vcn.value,
                             expectedVcn);
        if (run.length == 0 || run.length > static_cast<uint64_t>(INT64_MAX))
            throw CException(EErrorKind::Corrupt, "Cannot serialize mapping pairs: invalid run length %1", run.length);
        uint32_t lengthBytes = SignedByteCount(static_cast<int64_t>(run.length));
        uint32_t offsetBytes = 0;
        int64_t delta = 0;
        if (run.lcn != SparseLcn) {
            if (run.lcn > static_cast<uint64_t>(INT64_MAX))
                throw CException(EErrorKind::Corrupt, "Cannot serialize mapping pairs: invalid LCN %1", run.lcn);
            delta = static_cast<int64_t>(run.lcn) - previousLcn;
            offsetBytes = SignedByteCount(delta);
            previousLcn = static_cast<int64_t>(run.lcn);
        }
        if (p + 1 + lengthBytes + offsetBytes + 1 > room)
            throw CException(EErrorKind::Corrupt, "Cannot serialize mapping pairs: buffer is too small");
        record.U8(p, static_cast<uint8_t>(offsetBytes << 4 | lengthBytes));
        record.PutLe(p + 1, run.length, lengthBytes);
        record.PutLe(p + 1 + lengthBytes, static_cast<uint64_t>(delta), offsetBytes);
        p += 1 + lengthBytes + offsetBytes;
        expectedVcn = vcn.value + run.length;
    }
    record.U8(p, 0);
    uint64_t length = RoundUp(p + 1, 8);
    if (length > room)
        throw CException(EErrorKind::Corrupt, "Cannot align non-resident mapping pairs: buffer is too small");
    record.Fill(p + 1, 0, length - p - 1);
    record.U32(AttrRecord::Length, static_cast<uint32_t>(length));
    return static_cast<uint32_t>(length);
}

namespace {

// Makes `vcn` the start of a run when a run spans it.
void SplitRunAt(RunMap& runs, uint64_t vcn) {
    auto next = runs.upper_bound(VCN{vcn});
    if (next == runs.begin()) return;
    auto run = std::prev(next);
    const uint64_t start = run->first.value;
    if (start == vcn || vcn - start >= run->second.length) return;
    const uint64_t head = vcn - start;
    const SLcnAndLength tail{run->second.lcn == SparseLcn ? SparseLcn : run->second.lcn + head, run->second.length - head};
    run->second.length = head;
    runs[VCN{vcn}] = tail;
}

bool Continues(const SLcnAndLength& first, const SLcnAndLength& second) {
    if (first.lcn == SparseLcn || second.lcn == SparseLcn) return first.lcn == second.lcn;
    return first.lcn + first.length == second.lcn;
}

// Merges the runs from the one before `from` to the one starting at `to`.
void MergeRunsAround(RunMap& runs, uint64_t from, uint64_t to) {
    auto it = runs.lower_bound(VCN{from});
    if (it != runs.begin()) --it;
    while (it != runs.end() && it->first.value <= to) {
        auto next = std::next(it);
        if (next == runs.end()) return;
        if (it->first.value + it->second.length == next->first.value && Continues(it->second, next->second)) {
            it->second.length += next->second.length;
            runs.erase(next);
        } else {
            it = next;
        }
    }
}

}  // namespace

void ReplaceRuns(RunMap& runs, uint64_t vcn, const std::vector<SLcnAndLength>& pieces) {
    uint64_t total = 0;
    for (const SLcnAndLength& piece : pieces) total += piece.length;
    SplitRunAt(runs, vcn);
    SplitRunAt(runs, vcn + total);
    runs.erase(runs.lower_bound(VCN{vcn}), runs.lower_bound(VCN{vcn + total}));
    uint64_t at = vcn;
    for (const SLcnAndLength& piece : pieces) {
        if (piece.length == 0) continue;
        runs[VCN{at}] = piece;
        at += piece.length;
    }
    MergeRunsAround(runs, vcn, vcn + total);
}

void AppendHole(RunMap& runs, uint64_t count) {
    if (count == 0) return;
    uint64_t end = 0;
    if (!runs.empty()) {
        auto& [vcn, last] = *runs.rbegin();
        if (last.lcn == SparseLcn) {
            last.length += count;
            return;
        }
        end = vcn.value + last.length;
    }
    runs[VCN{end}] = SLcnAndLength{SparseLcn, count};
}

std::vector<SLcnAndLength> AllocatedPieces(const RunMap& runs, uint64_t vcn, uint64_t count) {
    std::vector<SLcnAndLength> pieces;
    auto it = runs.upper_bound(VCN{vcn});
    if (it != runs.begin()) --it;
    for (; it != runs.end() && it->first.value < vcn + count; ++it) {
        const uint64_t start = std::max(it->first.value, vcn);
        const uint64_t end = std::min(it->first.value + it->second.length, vcn + count);
        if (start >= end || it->second.lcn == SparseLcn) continue;
        pieces.push_back({it->second.lcn + (start - it->first.value), end - start});
    }
    return pieces;
}

}  // namespace volcore
