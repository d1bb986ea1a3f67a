#pragma once
// What the checker finds. Every problem carries a code naming the rule it
// breaks; the code fixes its kind: damage, or a leak that only wastes space.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

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
    IndexEntryStale,     // an entry whose copy of the file's sizes the record no longer has
    FileName,            // a $FILE_NAME that its parent's index does not hold
    LinkCount,           // a record's link count against its names
};

const char* CodeName(ECode code);
// "0x1F" for messages.
std::string Hex(uint64_t value);
EKind KindOf(ECode code);

inline constexpr uint64_t kNoRecord = ~uint64_t{0};

// How a problem can be put right, when it can: the repair acts on this and
// refuses a volume with any problem that has no fix.
enum class EFix {
    None,
    MarkClusters,     // set `count` bits of $Bitmap from `first`
    FreeClusters,     // clear them
    MarkRecord,       // set the record's bit in the MFT bitmap
    FreeRecord,       // take the record out of use and clear its bit
    Relink,           // list the record in a directory again
    Follows,          // goes once the problem it hangs on is repaired
    MarkIndexBlock,   // set bit `first` of the directory's index bitmap
    FreeIndexBlock,   // clear it
    RefreshEntry,     // copy the sizes of record `first` into the directory's entry `name`
    CopyMirror,       // rewrite $MFTMirr from $MFT
    DropEntry,        // remove the directory's entry `name` (pointing to `first`): no record there has the name
    RebuildIndex,     // build the directory's index again from the records that name it
    AddName,          // enter the record's name `name` into the index of directory `first`
};

struct SFix {
    SFix() = default;
    explicit SFix(EFix action_, uint64_t first_ = 0, uint64_t count_ = 0, std::u16string name_ = {})
        : action(action_), first(first_), count(count_), name(std::move(name_)) {}

    EFix action = EFix::None;
    uint64_t first = 0;
    uint64_t count = 0;
    std::u16string name;
};

struct SProblem {
    SProblem() = default;
    SProblem(ECode code_, uint64_t record_, std::string message_, SFix fix_ = SFix())
        : code(code_), record(record_), message(std::move(message_)), fix(std::move(fix_)) {}

    ECode code = ECode::Record;
    uint64_t record = kNoRecord;
    std::string message;
    SFix fix;
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
    template <typename... Args>
    void Add(SFix fix, ECode code, uint64_t record, std::string_view format, const Args&... args) {
        if (Total() >= kDeliveredLimit) return Tally(code);
        Add(SProblem{code, record, FormatText(format, args...), std::move(fix)});
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
