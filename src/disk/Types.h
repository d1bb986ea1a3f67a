#pragma once
// Small value types shared across the engine.
#include <compare>
#include <cstdint>
#include <map>

namespace volcore {

// 64-bit file reference: bits 0-47 record number, bits 48-63 sequence number.
using FileReference = uint64_t;
inline constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFull;
inline constexpr uint64_t RecordNumber(FileReference reference) { return reference & kRecordNumberMask; }
inline constexpr uint16_t SequenceNumber(FileReference reference) { return static_cast<uint16_t>(reference >> 48); }
inline constexpr FileReference MakeReference(uint64_t record, uint16_t sequence) {
    return (record & kRecordNumberMask) | (uint64_t{sequence} << 48);
}
inline constexpr bool SameRecord(FileReference a, FileReference b) { return RecordNumber(a) == RecordNumber(b); }

// Well-known records.
inline constexpr uint64_t kMftRecord = 0;
inline constexpr uint64_t kMftMirrRecord = 1;
inline constexpr uint64_t kLogFileRecord = 2;
inline constexpr uint64_t kVolumeRecord = 3;
inline constexpr uint64_t kAttrDefRecord = 4;
inline constexpr uint64_t kRootRecord = 5;
inline constexpr uint64_t kBitmapRecord = 6;
inline constexpr uint64_t kBootRecord = 7;
inline constexpr uint64_t kBadClusRecord = 8;
inline constexpr uint64_t kSecureRecord = 9;
inline constexpr uint64_t kUpCaseRecord = 10;
inline constexpr uint64_t kExtendRecord = 11;
inline constexpr uint64_t kFirstUserRecord = 16;
// Records below this one belong to the file system even when unused.
inline constexpr uint64_t kFirstOrdinaryRecord = 24;
inline constexpr FileReference kDeletedReference = ~uint64_t{0};

struct VCN {
    uint64_t value = 0;
    auto operator<=>(const VCN&) const = default;
};

inline constexpr uint64_t SparseLcn = ~uint64_t{0};

struct SLcnAndLength {
    uint64_t lcn = 0;     // SparseLcn for a run without clusters
    uint64_t length = 0;  // in clusters
    bool operator==(const SLcnAndLength&) const = default;
};

using RunMap = std::map<VCN, SLcnAndLength>;

enum class EAllocationZone : int { MFT = 0, DATA = 1 };

}  // namespace volcore
