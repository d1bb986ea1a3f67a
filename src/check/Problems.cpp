#include "check/Problems.h"

namespace volcore::check {

const char* CodeName(ECode code) {
    switch (code) {
        case ECode::BootSector: return "boot-sector";
        case ECode::Mft: return "mft";
        case ECode::MftMirror: return "mft-mirror";
        case ECode::Record: return "record";
        case ECode::Attribute: return "attribute";
        case ECode::Runlist: return "runlist";
        case ECode::AttributeList: return "attribute-list";
        case ECode::ClusterCrossLinked: return "cluster-cross-linked";
        case ECode::ClusterUnmarked: return "cluster-unmarked";
        case ECode::ClusterLeaked: return "cluster-leaked";
        case ECode::RecordUnmarked: return "record-unmarked";
        case ECode::RecordLeaked: return "record-leaked";
        case ECode::RecordOrphaned: return "record-orphaned";
        case ECode::Index: return "index";
        case ECode::IndexOrder: return "index-order";
        case ECode::IndexBalance: return "index-balance";
        case ECode::IndexBitmap: return "index-bitmap";
        case ECode::IndexBlockLeaked: return "index-block-leaked";
        case ECode::IndexEntry: return "index-entry";
        case ECode::IndexEntryStale: return "index-entry-stale";
        case ECode::FileName: return "file-name";
        case ECode::LinkCount: return "link-count";
    }
    return "unknown";
}

EKind KindOf(ECode code) {
    switch (code) {
        case ECode::ClusterLeaked:
        case ECode::RecordLeaked:
        case ECode::RecordOrphaned:
        case ECode::IndexBlockLeaked:
        case ECode::IndexEntryStale: return EKind::Leak;
        default: return EKind::Damage;
    }
}

std::string Hex(uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    do text.insert(text.begin(), digits[value % 16]);
    while ((value /= 16) != 0);
    return "0x" + text;
}

void CReport::Add(const SProblem& problem) {
    if (Total() < kDeliveredLimit && m_sink) m_sink(problem);
    Tally(problem.code);
}

}  // namespace volcore::check
