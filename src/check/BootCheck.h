#pragma once
// The boot sector and its backup copy in the volume's last sector.
#include <cstdint>
#include <vector>

#include "check/Problems.h"
#include "check/VolumeReader.h"
#include "disk/BootSector.h"

namespace volcore::check {

struct SGeometry {
    SBootGeometry boot;
    uint64_t totalSectors = 0;
    uint64_t clusterCount = 0;  // what $Bitmap covers, bounded by the device
};

// Reports what is wrong with either copy and returns the geometries worth
// trying, the boot sector's first. Raises CCannotCheck when neither copy
// describes an NTFS volume.
std::vector<SGeometry> CheckBootSectors(const CVolumeReader& reader, CReport& report);

}  // namespace volcore::check
