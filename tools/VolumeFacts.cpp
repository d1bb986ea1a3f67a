#include "VolumeFacts.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "PartitionTable.h"
#include "Text.h"
#ifdef VOLKIT_TOOL_WITH_NTFS3G
#include "volkit/filesystem.h"
#endif
#include <bit>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"
#include "volkit/api.h"
#include "disk/BootSector.h"
#include "disk/WindowsTraces.h"

namespace volcore::tool {
namespace {

using BootSector = std::array<uint8_t, kBootSectorSize>;

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

struct SSignature {
    uint64_t offset;
    std::string_view bytes;
    const char* content;
};

constexpr SSignature kSignatures[] = {
    {BootField::OemId, BootField::OemIdValue, "an NTFS file system"},
    {3, "EXFAT   ", "an exFAT file system"},
    {54, "FAT1", "a FAT file system"},
    {82, "FAT32   ", "a FAT file system"},
    {1080, "\x53\xEF", "an ext2/3/4 file system"},
    {0, "XFSB", "an XFS file system"},
    {65600, "_BHRfS_M", "a Btrfs file system"},
    {0, "LUKS\xBA\xBE", "a LUKS container"},
    {4086, "SWAPSPACE2", "swap space"},
    {32769, "CD001", "an ISO 9660 file system"},
    {512, "EFI PART", "a partition table"},
};

}  // namespace

std::string RecognisedContent(const CImageDevice& device) {
    for (const SSignature& signature : kSignatures) {
        std::string found(signature.bytes.size(), '\0');
        if (device.Read(signature.offset, found.data(), found.size()) && found == signature.bytes)
            return signature.content;
    }
    return HasPartitionTable(device) ? "a partition table" : "";
}

bool ReadBootSector(const CImageDevice& device, SBootSectorFacts& facts, std::string& error) {
    BootSector sector{};
    if (!device.Read(0, sector.data(), sector.size())) {
        error = "the volume is smaller than a boot sector";
        return false;
    }
    // Every field lies inside the fixed-size sector: the reader never throws here.
    const CByteReader boot(sector.data(), sector.size());
    if (std::memcmp(&sector[BootField::OemId], BootField::OemIdValue, BootField::OemIdSize) != 0 ||
        boot.U16(BootField::EndMarker) != BootField::EndMarkerValue) {
        error = kNotNtfs;
        return false;
    }
    SBootSectorFacts read;
    read.bytesPerSector = boot.U16(BootField::BytesPerSector);
    const uint8_t sectorsPerCluster = boot.U8(BootField::SectorsPerCluster);
    // Above 0x80 the byte is a negative power of two (large clusters).
    const uint64_t clusterSectors = sectorsPerCluster <= 0x80 ? sectorsPerCluster : 1ull << (256 - sectorsPerCluster);
    read.clusterSize = static_cast<uint32_t>(std::min<uint64_t>(clusterSectors * read.bytesPerSector, 1ull << 31));
    read.totalSectors = boot.U64(BootField::TotalSectors);
    read.mftCluster = boot.U64(BootField::MftLcn);
    read.mftMirrorCluster = boot.U64(BootField::MftMirrorLcn);
    read.mftRecordSize = DecodeRecordSize(boot.S8(BootField::ClustersPerMftRecord), read.clusterSize);
    read.indexBlockSize = DecodeRecordSize(boot.S8(BootField::ClustersPerIndexBlock), read.clusterSize);
    read.serialNumber = boot.U64(BootField::SerialNumber);
    if (read.bytesPerSector < 256 || read.bytesPerSector > 4096 || !IsPowerOfTwo(read.bytesPerSector) ||
        !IsPowerOfTwo(clusterSectors) || read.totalSectors == 0) {
        error = "the NTFS boot sector is damaged";
        return false;
    }
    facts = read;
    return true;
}

namespace {

// The label, the NTFS version and the flags live in attributes of the $Volume record,
// which the handle family does not hand out.
class CVolumeAttributes final : public IAttributeVisitor {
public:
    explicit CVolumeAttributes(SVolumeInfo& info) : m_info(info) {}
    bool Damaged() const { return m_damaged; }

    void Attribute(const SAttributeHeader& header, const CByteReader& record) override {
        if (header.nonResident) return;
        const CByteReader value = record.Sub(header.valueOffset, header.valueLength);
        if (header.type == AttrType::VolumeName) m_info.label = Utf16ToUtf8(value.Utf16(0, value.Size() / 2));
        if (header.type == AttrType::VolumeInformation) {
            m_info.majorVersion = value.U8(VolumeInformation::MajorVersion);
            m_info.minorVersion = value.U8(VolumeInformation::MinorVersion);
            m_info.flags = value.U16(VolumeInformation::Flags);
        }
    }
    void Fault(EAttributeFault, const SAttributeHeader&) override { m_damaged = true; }
    void NoEndMarker() override { m_damaged = true; }

private:
    SVolumeInfo& m_info;
    bool m_damaged = false;
};

// A field out of bounds throws.
bool ReadVolumeAttributes(const CByteReader& record, SVolumeInfo& info) {
    CVolumeAttributes attributes(info);
    WalkAttributeRecords(record, ReadFileRecordHeader({record.Data(), record.Size()}).firstAttribute, record.Size(),
                         attributes);
    return !attributes.Damaged() && info.majorVersion != 0;
}

bool ReadVolumeRecord(const CImageDevice& device, const SBootSectorFacts& boot, SVolumeInfo& info) {
    if (boot.mftRecordSize < 256 || boot.mftRecordSize > 65536 || boot.mftCluster > device.WindowSize() / boot.clusterSize)
        return false;
    std::vector<uint8_t> record(boot.mftRecordSize);
    // The first records of the MFT lie at its start, in its first run.
    const uint64_t offset = boot.mftCluster * boot.clusterSize + kVolumeRecord * boot.mftRecordSize;
    if (!device.Read(offset, record.data(), record.size())) return false;
    try {
        if (!ReadFileRecordHeader(record).IsFileRecord()) return false;
        MstUnprotect(record, 1, boot.mftRecordSize);
        return ReadVolumeAttributes(CByteReader(record), info);
    } catch (const CException&) {
        return false;
    }
}

// Counts the clusters $Bitmap marks in use, reading it through the handle family.
bool CountFreeClusters(CImageDevice& device, SVolumeInfo& info) {
    using namespace volkit::api;
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(device.HandleFamilyDevice(), volume)) return false;
    NtfsFileHandle bitmap;
    bool ok = NtfsOpenFile(L"$Bitmap", bitmap, volume);
    std::vector<uint8_t> chunk(1u << 20);
    uint64_t used = 0;
    for (uint64_t cluster = 0; ok && cluster < info.totalClusters; cluster += chunk.size() * 8) {
        const uint64_t clusters = std::min<uint64_t>(chunk.size() * 8, info.totalClusters - cluster);
        const auto bytes = static_cast<uint32_t>((clusters + 7) / 8);
        ok = NtfsReadFile(cluster / 8, chunk.data(), bytes, bitmap);
        // Bits past the last cluster are not clusters.
        if (clusters % 8 != 0) chunk[bytes - 1] &= static_cast<uint8_t>((1u << (clusters % 8)) - 1);
        for (uint32_t i = 0; ok && i < bytes; ++i) used += static_cast<uint64_t>(std::popcount(chunk[i]));
    }
    if (bitmap.ptr) ok = NtfsCloseFile(bitmap) && ok;
    ok = NtfsCloseVolume(volume) && ok;
    info.freeClusters = info.totalClusters - std::min(used, info.totalClusters);
    return ok;
}

// Whether hiberfil.sys at the root starts with a hibernation signature.
bool IsHibernated(volkit::api::NtfsVolumeHandle volume) {
    using namespace volkit::api;
    NtfsFileHandle file;
    {
        CDiagnostics::CQuiet quiet;  // most volumes have none
        if (!NtfsOpenFile(L"hiberfil.sys", file, volume)) return false;
    }
    unsigned long long size = 0;
    uint8_t signature[4] = {};
    const bool read = NtfsGetFileSize(size, file) && size >= 4 && NtfsReadFile(0, signature, 4, file);
    NtfsCloseFile(file);
    return read && IsHibernationSignature(signature);
}

bool LogFileClean(volkit::api::NtfsVolumeHandle volume) {
    using namespace volkit::api;
    NtfsFileHandle file;
    if (!NtfsOpenFile(L"$LogFile", file, volume)) return false;
    unsigned long long size = 0;
    bool clean = false;
    try {
        clean = NtfsGetFileSize(size, file) &&
                LogFileIsClean(size, [&](uint64_t offset, uint8_t* buffer, uint32_t length) {
                    if (!NtfsReadFile(offset, buffer, length, file)) throw CException(EErrorKind::Io, "unreadable");
                });
    } catch (const CException&) {
        clean = false;  // a journal that cannot be read may hold anything
    }
    NtfsCloseFile(file);
    return clean;
}

}  // namespace

bool ReadVolumeFlags(const CImageDevice& device, uint16_t& flags) {
    SBootSectorFacts boot;
    std::string error;
    SVolumeInfo info;
    if (!ReadBootSector(device, boot, error) || !ReadVolumeRecord(device, boot, info)) return false;
    flags = info.flags;
    return true;
}

// The handle family opens a hibernated volume, or one with a journal to
// replay, for reading, where libntfs-3g refuses to mount it at all.
void QueryVolumeState(CImageDevice& device, SVolumeState& state) {
    uint16_t flags = 0;
    state.flagsRead = ReadVolumeFlags(device, flags);
    state.dirty = (flags & kVolumeDirtyFlag) != 0;
    volkit::api::NtfsVolumeHandle volume;
    if (!volkit::api::NtfsOpenVolume(device.HandleFamilyDevice(), volume)) return;
    state.tracesRead = true;
    state.hibernated = IsHibernated(volume);
    state.logFileClean = LogFileClean(volume);
    volkit::api::NtfsCloseVolume(volume);
}

namespace {

// Without libntfs-3g, or where it refuses the volume: the label and version
// from $Volume, the free clusters counted in $Bitmap.
bool QueryVolumeInfoNatively(CImageDevice& device, SVolumeInfo& info) {
    SBootSectorFacts boot;
    std::string error;
    if (!ReadBootSector(device, boot, error)) {
        CDiagnostics::Note(error);
        return false;
    }
    info.clusterSize = boot.clusterSize;
    info.totalClusters = boot.totalSectors * boot.bytesPerSector / boot.clusterSize;
    if (!ReadVolumeRecord(device, boot, info)) {
        CDiagnostics::Note("the $Volume record is damaged");
        return false;
    }
    return CountFreeClusters(device, info);
}

}  // namespace

#ifdef VOLKIT_TOOL_WITH_NTFS3G

bool QueryVolumeInfo(CImageDevice& device, SVolumeInfo& info) {
    volkit::filesystem::device callbacks = device.FilesystemFamilyDevice();
    volkit::filesystem::handle volume;
    // libntfs-3g refuses a hibernated volume and one with a journal to replay.
    if (!volkit::filesystem::open(volume, callbacks)) {
        const std::string refusal = CDiagnostics::LastFailure();
        if (QueryVolumeInfoNatively(device, info)) return true;
        CDiagnostics::Clear();
        CDiagnostics::Note(refusal);
        return false;
    }
    volkit::filesystem::volumeInfo facts;
    const bool ok = volkit::filesystem::getInfo(volume, facts);
    info = {facts.label, facts.majorVersion, facts.minorVersion, facts.clusterSize, facts.totalClusters,
            facts.freeClusters};
    return volkit::filesystem::close(volume) && ok;
}

#else

bool QueryVolumeInfo(CImageDevice& device, SVolumeInfo& info) { return QueryVolumeInfoNatively(device, info); }

#endif

}  // namespace volcore::tool
