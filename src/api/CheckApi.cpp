// The exported consistency check.
#include "api/Boundary.h"
#include "base/IoDevice.h"
#include "check/Repair.h"
#include "check/VolumeCheck.h"
#include "check/VolumeReader.h"
#include "volkit/check.h"

using namespace volcore;

namespace volkit::api {
namespace {

using Callback = void (*)(const NtfsCheckProblem& problem, void* context);

void Deliver(const check::SProblem& found, Callback callback, void* context) {
    if (!callback) return;
    NtfsCheckProblem problem;
    problem.kind = check::KindOf(found.code) == check::EKind::Leak ? NtfsCheckLeak : NtfsCheckDamage;
    problem.code = check::CodeName(found.code);
    problem.record = found.record;
    problem.message = found.message.c_str();
    callback(problem, context);
}

}  // namespace

bool NtfsCheckVolume(const NtfsIoDevice& device, Callback callback, void* context, NtfsCheckSummary& summary) {
    return RunExported(
        [&] {
            summary = NtfsCheckSummary{};
            CIoDeviceImpl adapter(device);
            check::CReport report([&](const check::SProblem& found) { Deliver(found, callback, context); });
            check::STotals totals = check::CheckVolume(adapter, report);
            summary.mftRecords = totals.mftRecords;
            summary.recordsInUse = totals.recordsInUse;
            summary.directories = totals.directories;
            summary.indexEntries = totals.indexEntries;
            summary.clusters = totals.clusters;
            summary.clustersInUse = totals.clustersInUse;
            summary.damage = report.Count(check::EKind::Damage);
            summary.leaks = report.Count(check::EKind::Leak);
            summary.complete = totals.complete;
        },
        "Failed to check NTFS volume: %1");
}

bool NtfsRepairVolume(const NtfsIoDevice& device, Callback callback, void* context, NtfsCheckSummary& after) {
    if (!RunExported(
            [&] {
                CIoDeviceImpl adapter(device);
                check::RepairVolume(adapter, [&](const check::SProblem& found) { Deliver(found, callback, context); });
            },
            "Failed to repair NTFS volume: %1"))
        return false;
    return NtfsCheckVolume(device, nullptr, nullptr, after);
}

}  // namespace volkit::api
