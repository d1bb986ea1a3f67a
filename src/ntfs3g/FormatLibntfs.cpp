// The two services the formatter takes from libntfs-3g.
#include "ntfs3g/FormatTables.h"

#include "api/Bytes.h"
#include "ntfs3g/Ntfs3g.h"

namespace vkformat {

std::vector<uint8_t> BuildUpCaseTable() {
    constexpr size_t kEntries = 65536;
    std::vector<ntfschar> units(kEntries);
    ntfs_upcase_table_build(units.data(), static_cast<u32>(kEntries * sizeof(ntfschar)));
    // libntfs-3g leaves the units little-endian, as they go to disk.
    std::vector<uint8_t> table(kEntries * 2);
    volcore::CByteWriter(table).CopyFrom(0, units.data(), table.size());
    return table;
}

bool BootSectorIsNtfs(const std::vector<uint8_t>& bootArea) {
    std::vector<uint8_t> sector(bootArea.begin(), bootArea.begin() + std::min<size_t>(bootArea.size(), 512));
    sector.resize(512, 0);
    return ntfs_boot_sector_is_ntfs(reinterpret_cast<NTFS_BOOT_SECTOR*>(sector.data())) != 0;
}

}  // namespace vkformat
