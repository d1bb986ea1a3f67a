// filesystem::getInfo: what a mounted volume says about itself, taken from
// libntfs-3g's volume record (the mount has already counted the free clusters).
#include <cstring>

#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"

namespace volkit {

bool filesystem::getInfo(handle volume, volumeInfo& result) {
    using namespace volcore::fsfamily;
    return RunReported([&] {
        const ntfs_volume* mounted = VolumeOf(volume);
        if (mounted->free_clusters < 0 || mounted->nr_clusters < 0) Fail("free space is unknown");
        volumeInfo info;
        if (mounted->vol_name != nullptr) std::strncpy(info.label, mounted->vol_name, sizeof info.label - 1);
        info.majorVersion = mounted->major_ver;
        info.minorVersion = mounted->minor_ver;
        info.clusterSize = mounted->cluster_size;
        info.totalClusters = static_cast<uint64_t>(mounted->nr_clusters);
        info.freeClusters = static_cast<uint64_t>(mounted->free_clusters);
        result = info;
    });
}

}  // namespace volkit
