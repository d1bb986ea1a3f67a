#pragma once
// The whole check of one volume, stage by stage; it only ever reads.
#include <cstdint>

#include "base/IoDevice.h"
#include "check/Problems.h"
#include "check/VolumeModel.h"

namespace volcore::check {

struct STotals {
    uint64_t mftRecords = 0;
    uint64_t recordsInUse = 0;
    uint64_t directories = 0;
    uint64_t indexEntries = 0;
    uint64_t clusters = 0;
    uint64_t clustersInUse = 0;
    bool complete = false;  // every stage ran
};

// Reports every problem found; raises CCannotCheck when the device fails or
// holds no NTFS volume at all.
STotals CheckVolume(IIoDevice& device, CReport& report);
// The same, handing out what the scan learned of the records in use (their
// names above all), for the repair.
STotals CheckVolume(IIoDevice& device, CReport& report, SVolumeModel& model);

}  // namespace volcore::check
