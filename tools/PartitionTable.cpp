#include "PartitionTable.h"

#include <array>
#include <cstring>
#include <vector>

#include "ImageDevice.h"

namespace volcore::tool {
namespace {

constexpr uint64_t kSectorSize = 512;
constexpr uint8_t kProtectiveMbrType = 0xEE;
constexpr uint32_t kMaxGptEntries = 1024;
constexpr uint32_t kMaxGptEntrySize = 4096;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

struct SMbrEntry {
    uint8_t type;
    uint32_t firstSector;
    uint32_t sectorCount;
};

SMbrEntry MbrEntryAt(const std::array<uint8_t, kSectorSize>& mbr, unsigned index) {
    const uint8_t* entry = mbr.data() + 446 + 16 * index;
    return {entry[4], Le32(entry + 8), Le32(entry + 12)};
}

// The extent must lie inside the image and not be empty.
bool CheckExtent(const CImageDevice& image, uint64_t firstSector, uint64_t sectors, SPartitionExtent& extent,
                 unsigned number, std::string& error) {
    const uint64_t imageSectors = image.RawSize() / kSectorSize;
    if (sectors == 0 || firstSector == 0 || firstSector > imageSectors || sectors > imageSectors - firstSector) {
        error = "partition " + std::to_string(number) + " does not lie inside the image";
        return false;
    }
    extent = {firstSector * kSectorSize, sectors * kSectorSize};
    return true;
}

bool FindGptPartition(const CImageDevice& image, unsigned number, SPartitionExtent& extent, std::string& error) {
    std::array<uint8_t, kSectorSize> header{};
    if (!image.Read(kSectorSize, header.data(), header.size()) || std::memcmp(header.data(), "EFI PART", 8) != 0) {
        error = "the image has a protective MBR but no GPT header";
        return false;
    }
    const uint64_t entriesLba = Le64(&header[72]);
    const uint32_t entryCount = Le32(&header[80]);
    const uint32_t entrySize = Le32(&header[84]);
    if (entrySize < 128 || entrySize > kMaxGptEntrySize || entrySize % 8 != 0 || entryCount > kMaxGptEntries ||
        entriesLba < 2 || entriesLba > image.RawSize() / kSectorSize) {
        error = "the GPT header is damaged";
        return false;
    }
    if (number > entryCount) {
        error = "the GPT has no partition " + std::to_string(number);
        return false;
    }
    std::vector<uint8_t> entry(entrySize);
    if (!image.Read(entriesLba * kSectorSize + uint64_t{number - 1} * entrySize, entry.data(), entrySize)) {
        error = "the GPT partition entries lie outside the image";
        return false;
    }
    static const uint8_t kUnused[16] = {};
    const uint64_t first = Le64(&entry[32]), last = Le64(&entry[40]);
    if (std::memcmp(entry.data(), kUnused, 16) == 0) {
        error = "GPT partition " + std::to_string(number) + " is not in use";
        return false;
    }
    if (last < first) {
        error = "GPT partition " + std::to_string(number) + " ends before it starts";
        return false;
    }
    return CheckExtent(image, first, last - first + 1, extent, number, error);
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool ReadMbr(const CImageDevice& image, uint64_t sector, std::array<uint8_t, kSectorSize>& mbr) {
    return image.Read(sector * kSectorSize, mbr.data(), mbr.size()) && mbr[510] == 0x55 && mbr[511] == 0xAA;
}

// Logical partitions are numbered from 5 along the chain of extended boot
// records; each record's second entry points at the next, relative to the
// start of the extended partition.
bool FindLogicalPartition(const CImageDevice& image, uint64_t extendedStart, unsigned number,
                          SPartitionExtent& extent, std::string& error) {
    constexpr unsigned kMaxLogical = 124;
    uint64_t current = extendedStart;
    for (unsigned logical = 5; logical < 5 + kMaxLogical; ++logical) {
        std::array<uint8_t, kSectorSize> ebr{};
        if (!ReadMbr(image, current, ebr)) {
            error = "the chain of logical partitions is damaged";
            return false;
        }
        const SMbrEntry entry = MbrEntryAt(ebr, 0), next = MbrEntryAt(ebr, 1);
        if (logical == number) {
            if (entry.type == 0) break;
            return CheckExtent(image, current + entry.firstSector, entry.sectorCount, extent, number, error);
        }
        // Each record must lie past the one before, so the walk ends.
        if (!IsExtendedType(next.type) || extendedStart + next.firstSector <= current) break;
        current = extendedStart + next.firstSector;
    }
    error = "the MBR has no partition " + std::to_string(number);
    return false;
}

}  // namespace

bool HasPartitionTable(const CImageDevice& image) {
    std::array<uint8_t, kSectorSize> mbr{};
    if (!ReadMbr(image, 0, mbr)) return false;
    for (unsigned i = 0; i < 4; ++i)
        if (MbrEntryAt(mbr, i).type != 0 && MbrEntryAt(mbr, i).sectorCount != 0) return true;
    return false;
}

bool FindPartition(const CImageDevice& image, unsigned number, SPartitionExtent& extent, std::string& error) {
    std::array<uint8_t, kSectorSize> mbr{};
    if (!ReadMbr(image, 0, mbr)) {
        error = "the image has no partition table";
        return false;
    }
    for (unsigned i = 0; i < 4; ++i)
        if (MbrEntryAt(mbr, i).type == kProtectiveMbrType) return FindGptPartition(image, number, extent, error);
    if (number > 4) {
        for (unsigned i = 0; i < 4; ++i)
            if (IsExtendedType(MbrEntryAt(mbr, i).type))
                return FindLogicalPartition(image, MbrEntryAt(mbr, i).firstSector, number, extent, error);
        error = "the MBR has no partition " + std::to_string(number);
        return false;
    }
    const SMbrEntry entry = MbrEntryAt(mbr, number - 1);
    if (entry.type == 0) {
        error = "MBR partition " + std::to_string(number) + " is not in use";
        return false;
    }
    if (IsExtendedType(entry.type)) {
        error = "MBR partition " + std::to_string(number) + " is an extended partition; its logical ones are 5 and up";
        return false;
    }
    return CheckExtent(image, entry.firstSector, entry.sectorCount, extent, number, error);
}

}  // namespace volcore::tool
