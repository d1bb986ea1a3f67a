#pragma once
// What the checker finds. Every problem carries a code naming the rule it
// breaks; the code fixes its kind: damage, or a leak that only wastes space.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace volcore::check {

enum class EKind { Damage, Leak };

enum class ECode {
    BootSector,          // the boot sector or its backup copy
    Mft,                 // $MFT itself: record 0, its runs, its bitmap
    MftMirror,           // $MFTMirr against the first records of $MFT
    Record,              // a FILE record's signature, fixups or header
    Attribute,           // an attribute record, its sizes, a missing attribute
    Runlist,             // mapping pairs, runs beyond the volume, highest VCN
    AttributeList,       // $ATTRIBUTE_LIST against the extension records
    ClusterCrossLinked,  // clusters owned by two attributes
    ClusterUnmarked,     // clusters in use but free in $Bitmap
    ClusterLeaked,       // clusters marked in $Bitmap that nothing owns
    RecordUnmarked,      // a record in use but free in the MFT bitmap
    RecordLeaked,        // a record marked in the MFT bitmap but not in use
    RecordOrphaned,      // a record in use that no directory lists
    Index,               // an index root or block that is malformed
    IndexOrder,          // entries out of collation order
    IndexBalance,        // a B-tree whose leaves lie at different depths
    IndexBitmap,         // an index block in use but free in the index's bitmap
    IndexBlockLeaked,    // an index block marked in the bitmap that no node reaches
    IndexEntry,          // an entry whose record, sequence or name does not match
    FileName,            // a $FILE_NAME that its parent's index does not hold
    LinkCount,           // a record's link count against its names
};

const char* CodeName(ECode code);
// "0x1F" for messages.
std::string Hex(uint64_t value);
EKind KindOf(ECode code);

inline constexpr uint64_t kNoRecord = ~uint64_t{0};

struct SProblem {
    ECode code = ECode::Record;
    uint64_t record = kNoRecord;
    std::string message;
};

// Counts every problem and hands the first kDeliveredLimit to the sink, so
// that a volume damaged everywhere cannot make the report unbounded.
class CReport {
public:
    static constexpr uint64_t kDeliveredLimit = 10000;
    using Sink = std::function<void(const SProblem&)>;

    explicit CReport(Sink sink) : m_sink(std::move(sink)) {}

    template <typename... Args>
    void Add(ECode code, uint64_t record, std::string_view format, const Args&... args) {
        if (Total() >= kDeliveredLimit) return Tally(code);
        Add(SProblem{code, record, FormatText(format, args...)});
    }
    void Add(const SProblem& problem);

    uint64_t Count(EKind kind) const { return m_counts[static_cast<int>(kind)]; }
    uint64_t Total() const { return m_counts[0] + m_counts[1]; }

private:
    void Tally(ECode code) { ++m_counts[static_cast<int>(KindOf(code))]; }

    Sink m_sink;
    uint64_t m_counts[2] = {};
};

}  // namespace volcore::check
