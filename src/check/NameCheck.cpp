#include "check/NameCheck.h"

#include <deque>

#include "disk/RecordFormat.h"

namespace volcore::check {
namespace {

// Records 12 to 15 are reserved: in use, nameless, reached by nothing.
constexpr uint64_t kFirstUserRecord = 16;

std::string Quoted(const std::u16string& name) { return "'" + Utf16ToUtf8(name) + "'"; }

bool Exempt(uint64_t number, const SFileState& state) {
    return state.damaged || (state.names.empty() && number < kFirstUserRecord);
}

// Every $FILE_NAME counts, a DOS alias kept apart from its long name too.
void CheckLinks(uint64_t number, const SFileState& state, CReport& report) {
    if (state.linkCount != state.names.size())
        report.Add(ECode::LinkCount, number, "Record %1 has link count %2 for %3 names", number, state.linkCount,
                   state.names.size());
}

void CheckIndexed(uint64_t number, const SFileState& state, CReport& report) {
    for (const SName& name : state.names)
        if (!name.indexed)
            report.Add(SFix{EFix::AddName, RecordNumber(name.parent), 0, name.name}, ECode::FileName, number,
                       "Record %1: name %2 is missing from the index of directory %3",
                       number, Quoted(name.name), RecordNumber(name.parent));
}

// Orphans whose own record no entry points to are where a lost subtree
// starts: they are reported, and what hangs below them is theirs.
void ReportOrphans(const SVolumeModel& model, const SReach& reach, CReport& report) {
    std::set<uint64_t> accounted;
    for (const auto& [number, state] : model.files) {
        if (reach.reached.count(number) || Exempt(number, state) || state.references != 0) continue;
        std::string name = state.names.empty() ? std::string("no name") : Quoted(state.names.front().name);
        report.Add(SFix{EFix::Relink}, ECode::RecordOrphaned, number, "Record %1 (%2) is in use but no directory lists it",
                   number, name);
        std::deque<uint64_t> queue{number};
        while (!queue.empty()) {
            uint64_t next = queue.front();
            queue.pop_front();
            if (!accounted.insert(next).second) continue;
            if (auto links = reach.strayLinks.find(next); links != reach.strayLinks.end())
                queue.insert(queue.end(), links->second.begin(), links->second.end());
        }
    }
    for (const auto& [number, state] : model.files)
        if (!reach.reached.count(number) && !accounted.count(number) && !Exempt(number, state))
            report.Add(SFix{EFix::Follows}, ECode::RecordOrphaned, number,
                       "Record %1 is in use but only directories cut off from the root list it", number);
}

}  // namespace

void CheckNames(const SVolumeModel& model, const SReach& reach, CReport& report) {
    for (const auto& [number, state] : model.files) {
        if (state.damaged) continue;
        CheckLinks(number, state, report);
        if (state.references != 0) CheckIndexed(number, state, report);
    }
    if (reach.rootWalked) ReportOrphans(model, reach, report);
}

}  // namespace volcore::check
