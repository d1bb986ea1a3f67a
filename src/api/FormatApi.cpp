// The handle family's format: the engine's formatter over the caller's device.
#include "api/Boundary.h"
#include "api/IoDevice.h"
#include "api/Unicode.h"
#include "format/Formatter.h"
#include "volkit/api.h"

namespace volkit::api {

bool NtfsFormatVolume(const NtfsIoDevice& device, const NtfsFormatOptions& options) {
    return volcore::RunExported(
        [&] {
            volcore::format::SFormatOptions chosen;
            chosen.quick = options.quick;
            chosen.clusterSize = options.clusterSize;
            if (options.label) chosen.label = volcore::WideToUtf16(options.label);
            chosen.hiddenSectors = options.partitionStartSector;
            volcore::CIoDeviceImpl target(device);
            volcore::format::FormatVolume(chosen, target);
        },
        "Failed to format NTFS volume: %1");
}

}  // namespace volkit::api
