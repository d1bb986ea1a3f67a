// The C interface's volume calls: the last error, the log callback, format,
// open, close and the consistency check.
#include "api/Boundary.h"
#include "base/Exception.h"
#include "capi/CBoundary.h"
#include "volkit/check.h"

using namespace volcore;
using namespace volcore::capi;
using namespace volkit::api;

namespace {

NtfsIoDevice DeviceFromCaller(const volkit_device& device) {
    return NtfsIoDevice{device.context, device.read, device.write, device.get_size};
}

// The label of the options in the form the formatter takes; false (with the
// format's failure line) when it cannot be converted.
bool LabelFromCaller(const volkit_format_options& options, std::wstring& label) {
    return RunExported(
        [&] {
            if (options.label && options.label_utf8)
                throw CException(EErrorKind::Argument, "Both label and label_utf8 are set");
            if (options.label) label = WideFromUtf16(options.label);
            if (options.label_utf8) label = WideFromUtf8(options.label_utf8);
        },
        "Failed to format NTFS volume: %1");
}

struct SCheckRelay {
    volkit_check_callback callback;
    void* context;
};

void RelayProblem(const NtfsCheckProblem& problem, void* context) {
    const auto& relay = *static_cast<const SCheckRelay*>(context);
    volkit_check_problem found{};
    found.kind = problem.kind == NtfsCheckLeak ? VOLKIT_CHECK_LEAK : VOLKIT_CHECK_DAMAGE;
    found.code = problem.code;
    found.record = problem.record;
    found.message = problem.message;
    relay.callback(&found, relay.context);
}

volkit_check_summary SummaryForCaller(const NtfsCheckSummary& summary) {
    volkit_check_summary result{};
    result.mft_records = summary.mftRecords;
    result.records_in_use = summary.recordsInUse;
    result.directories = summary.directories;
    result.index_entries = summary.indexEntries;
    result.clusters = summary.clusters;
    result.clusters_in_use = summary.clustersInUse;
    result.damage = summary.damage;
    result.leaks = summary.leaks;
    result.complete = summary.complete ? 1 : 0;
    return result;
}

}  // namespace

extern "C" {

const char* volkit_last_error(void) { return LastErrorText().c_str(); }

void volkit_set_log_callback(volkit_log_callback callback, void* context) {
    // int32_t is int on every target, and the conventions agree: the C++
    // installer takes the callback as it is.
    NtfsSetLogCallback(callback, context);
}

bool volkit_format_volume(const volkit_device* device, const volkit_format_options* options) {
    return Guarded("volkit_format_volume", [&] {
        if (!device) return NullArgument("volkit_format_volume");
        const volkit_format_options chosen = options ? *options : volkit_format_options{};
        std::wstring label;
        if (!LabelFromCaller(chosen, label)) return false;
        NtfsFormatOptions values;
        values.quick = chosen.full == 0;
        values.clusterSize = chosen.cluster_size;
        values.label = label.c_str();
        values.partitionStartSector = chosen.partition_start_sector;
        return NtfsFormatVolume(DeviceFromCaller(*device), values);
    });
}

bool volkit_open_volume(const volkit_device* device, volkit_volume** volume) {
    return Guarded("volkit_open_volume", [&] {
        if (!device || !volume) return NullArgument("volkit_open_volume");
        NtfsVolumeHandle handle;
        if (!NtfsOpenVolume(DeviceFromCaller(*device), handle)) return false;
        *volume = static_cast<volkit_volume*>(handle.ptr);
        return true;
    });
}

bool volkit_close_volume(volkit_volume* volume) {
    return Guarded("volkit_close_volume", [&] {
        NtfsVolumeHandle handle = VolumeOf(volume);
        return NtfsCloseVolume(handle);
    });
}

bool volkit_check_volume(const volkit_device* device, volkit_check_callback callback, void* context,
                         volkit_check_summary* summary) {
    return Guarded("volkit_check_volume", [&] {
        if (!device) return NullArgument("volkit_check_volume");
        SCheckRelay relay{callback, context};
        NtfsCheckSummary found;
        const bool ran = NtfsCheckVolume(DeviceFromCaller(*device), callback ? &RelayProblem : nullptr, &relay, found);
        if (summary) *summary = SummaryForCaller(found);
        return ran;
    });
}

}  // extern "C"
