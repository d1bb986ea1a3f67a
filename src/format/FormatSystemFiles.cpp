#include <algorithm>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/SecurityFormat.h"
#include "format/FormatIndex.h"
#include "format/FormatSecurity.h"
#include "format/FormatTables.h"
#include "format/Formatter.h"
#include "disk/IndexFormat.h"
#include "disk/UpCase.h"
#include "disk/BootSector.h"
#include "disk/Fixups.h"

namespace volcore::format {
namespace {

// $Extend's members go where other implementations put them too.
constexpr uint32_t kQuotaRecord = 24;
constexpr uint32_t kObjIdRecord = 25;
constexpr uint32_t kReparseRecord = 26;
constexpr uint32_t kLastReservedRecord = 15;

constexpr uint32_t kHiddenSystem = kFileAttributeHidden | kFileAttributeSystem;
constexpr uint32_t kHiddenSystemArchive = kHiddenSystem | kFileAttributeArchive;
constexpr uint32_t kHasFileNameIndex = kFileAttributeDirectoryIndex;
constexpr uint32_t kHasViewIndex = kFileAttributeViewIndex;
constexpr uint32_t kDefaultSecurityId = 0x100;
constexpr uint32_t kDirectorySecurityId = 0x101;
constexpr uint32_t kNoSecurityId = 0;

uint16_t SequenceOf(uint32_t record) {
    return (record == 0 || (record >= kQuotaRecord && record <= kReparseRecord)) ? 1 : static_cast<uint16_t>(record);
}

bool InUse(uint32_t record) {
    return record <= kLastReservedRecord || (record >= kQuotaRecord && record <= kReparseRecord);
}

uint64_t ReferenceOf(uint64_t record) { return MakeReference(record, SequenceOf(static_cast<uint32_t>(record))); }

std::vector<uint8_t> StandardInformation(uint64_t now, uint32_t fileFlags, uint32_t securityId) {
    std::vector<uint8_t> value(StdInfo::Size, 0);
    CByteWriter out(value);
    for (size_t time : {StdInfo::CreationTime, StdInfo::ModificationTime, StdInfo::MftChangeTime, StdInfo::AccessTime})
        out.U64(time, now);
    out.U32(StdInfo::FileAttributes, fileFlags);
    out.U32(StdInfo::SecurityId, securityId);
    return value;
}

struct SSystemFile {
    explicit SSystemFile(uint64_t number, std::u16string fileName = u"", uint32_t flags = kHiddenSystem,
                         uint32_t flagsInName = 0)
        : record(static_cast<uint32_t>(number)), name(std::move(fileName)), fileFlags(flags), nameFlags(flagsInName) {}

    uint32_t record = 0;
    std::u16string name;  // empty: no $FILE_NAME and no directory entry
    uint32_t fileFlags = kHiddenSystem;
    uint32_t nameFlags = 0;  // 0: the same as fileFlags
    uint32_t securityId = kNoSecurityId;
    uint64_t parent = kRootRecord;
    uint16_t recordFlags = 0;
    std::vector<SAttribute> attributes;
};

const SAttribute* UnnamedData(const std::vector<SAttribute>& attributes) {
    for (const SAttribute& attribute : attributes)
        if (attribute.type == AttrType::Data && attribute.name.empty()) return &attribute;
    return nullptr;
}

SFileNameInfo FileNameOf(const SFormatContext& context, const SSystemFile& file) {
    SFileNameInfo info;
    info.parent = ReferenceOf(file.parent);
    info.time = context.now;
    info.flags = file.nameFlags ? file.nameFlags : file.fileFlags;
    info.name = file.name;
    if (const SAttribute* data = UnnamedData(file.attributes); data && data->nonResident) {
        info.allocatedSize = RunClusters(data->runs) * context.geometry.clusterSize;
        info.dataSize = data->dataSize;
    }
    return info;
}

void Commit(SFormatContext& context, SSystemFile file) {
    SRecordPlan& plan = context.records.at(file.record);
    plan.header.flags = static_cast<uint16_t>(plan.header.flags | file.recordFlags);
    plan.attributes = {SAttribute::Resident(AttrType::StandardInformation,
                                            StandardInformation(context.now, file.fileFlags, file.securityId))};
    if (!file.name.empty()) {
        std::vector<uint8_t> fileName = FileNameValue(FileNameOf(context, file));
        plan.attributes.push_back(SAttribute::Resident(AttrType::FileName, fileName));
        plan.header.linkCount = 1;
        auto& directory = file.parent == kExtendRecord ? context.extendEntries : context.rootEntries;
        directory.push_back({file.name, FileNameIndexEntry(ReferenceOf(file.record), fileName)});
    }
    for (SAttribute& attribute : file.attributes) plan.attributes.push_back(std::move(attribute));
}

SAttribute Descriptor(std::vector<uint8_t> descriptor) {
    return SAttribute::Resident(AttrType::SecurityDescriptor, std::move(descriptor));
}

// Non-resident data on freshly allocated clusters, written at once.
SAttribute StoredData(SFormatContext& context, const std::vector<uint8_t>& data, uint32_t type = AttrType::Data,
                      std::u16string name = u"") {
    const SFormatGeometry& g = context.geometry;
    RunMap runs = context.clusters->Allocate(CeilDiv(data.size(), g.clusterSize), g.DataZoneStart());
    WriteThroughRuns(context, runs, data);
    return SAttribute::NonResident(type, std::move(runs), data.size(), std::move(name));
}

// The same for data made a piece at a time as it is written, never held whole.
SAttribute StreamedData(SFormatContext& context, uint64_t size, const PieceProducer& produce,
                        std::u16string name = u"") {
    const SFormatGeometry& g = context.geometry;
    RunMap runs = context.clusters->Allocate(CeilDiv(size, g.clusterSize), g.DataZoneStart());
    StreamThroughRuns(context, runs, size, produce);
    return SAttribute::NonResident(AttrType::Data, std::move(runs), size, std::move(name));
}

void InitializeRecords(SFormatContext& context) {
    uint64_t count = context.geometry.MftRecordCount();
    context.records.assign(count, {});
    for (uint32_t record = 0; record < count; ++record) {
        SRecordPlan& plan = context.records[record];
        plan.header.number = record;
        plan.header.sequence = SequenceOf(record);
        plan.header.flags = InUse(record) ? FileRecord::FlagInUse : 0;
        plan.attributes = {SAttribute::Resident(AttrType::StandardInformation,
                                                StandardInformation(context.now, kHiddenSystem, kNoSecurityId))};
        if (InUse(record)) context.mftBitmap[record / 8] |= static_cast<uint8_t>(1u << (record % 8));
    }
}

SIndexGeometry IndexGeometryOf(const SFormatContext& context) {
    return IndexGeometry(kIndexBlockSize, context.geometry.clusterSize);
}

// A view index (no indexed attribute) small enough to live in its root.
SAttribute ViewIndex(const SFormatContext& context, std::u16string name, uint32_t collation,
                     const std::vector<std::vector<uint8_t>>& entries) {
    return SAttribute::Resident(AttrType::IndexRoot, SmallIndexRoot(0, collation, IndexGeometryOf(context), entries),
                                std::move(name));
}

void BuildRootDirectory(SFormatContext& context) {
    SSystemFile root(kRootRecord, u".", kHiddenSystemArchive, kHiddenSystemArchive | kHasFileNameIndex);
    root.recordFlags = FileRecord::FlagDirectory;
    root.attributes.push_back(StoredData(context, RootDirectoryDescriptor(), AttrType::SecurityDescriptor));
    const SFormatGeometry& g = context.geometry;
    context.rootIndexRuns = context.clusters->Allocate(CeilDiv(kIndexBlockSize, g.clusterSize), g.DataZoneStart());
    std::vector<uint8_t> indexRoot =
        LargeIndexRoot(AttrType::FileName, IndexRoot::FileNameCollation, IndexGeometryOf(context));
    root.attributes.push_back(SAttribute::Resident(AttrType::IndexRoot, indexRoot, u"$I30"));
    root.attributes.push_back(
        SAttribute::NonResident(AttrType::IndexAllocation, context.rootIndexRuns, kIndexBlockSize, u"$I30"));
    std::vector<uint8_t> blockBitmap(8, 0);  // block 0 in use, in the smallest bitmap stored
    blockBitmap[0] = 1;
    root.attributes.push_back(SAttribute::Resident(AttrType::Bitmap, blockBitmap, u"$I30"));
    Commit(context, std::move(root));
}

void BuildMft(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile mft(kMftRecord, u"$MFT");
    mft.securityId = kDefaultSecurityId;
    mft.attributes.push_back(SAttribute::NonResident(AttrType::Data, context.mftRuns, g.mftSize));
    RunMap bitmapRuns{{VCN{0}, SLcnAndLength{g.mftBitmapLcn, 1}}};
    std::vector<uint8_t> bitmapCluster(g.clusterSize, 0);
    std::copy(context.mftBitmap.begin(), context.mftBitmap.end(), bitmapCluster.begin());
    WriteThroughRuns(context, bitmapRuns, bitmapCluster);
    mft.attributes.push_back(SAttribute::NonResident(AttrType::Bitmap, bitmapRuns, context.mftBitmap.size()));
    Commit(context, std::move(mft));
}

void BuildMirrorAndJournal(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile mirror(kMftMirrRecord, u"$MFTMirr");
    mirror.securityId = kDefaultSecurityId;
    mirror.attributes.push_back(
        SAttribute::NonResident(AttrType::Data, context.mirrorRuns, g.mirrorClusters * g.clusterSize));
    Commit(context, std::move(mirror));

    SSystemFile journal(kLogFileRecord, u"$LogFile");
    journal.securityId = kDefaultSecurityId;
    FillThroughRuns(context, context.logRuns, g.logSize, 0xFF);
    journal.attributes.push_back(SAttribute::NonResident(AttrType::Data, context.logRuns, g.logSize));
    Commit(context, std::move(journal));
}

void BuildAttrDefAndBitmap(SFormatContext& context) {
    SSystemFile attrDef(kAttrDefRecord, u"$AttrDef");
    attrDef.attributes.push_back(Descriptor(SystemFileDescriptor(true)));
    attrDef.attributes.push_back(StoredData(context, BuildAttrDefTable()));
    Commit(context, std::move(attrDef));

    // The bitmap's own clusters must be in it, so its content is written last.
    const SFormatGeometry& g = context.geometry;
    SSystemFile bitmap(kBitmapRecord, u"$Bitmap");
    bitmap.securityId = kDefaultSecurityId;
    uint64_t bytes = g.ClusterBitmapBytes();
    RunMap runs = context.clusters->Allocate(CeilDiv(bytes, g.clusterSize), g.DataZoneStart());
    bitmap.attributes.push_back(SAttribute::NonResident(AttrType::Data, std::move(runs), bytes));
    Commit(context, std::move(bitmap));
}

void BuildBoot(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    std::vector<uint8_t> area = BuildBootArea(g, context.serialNumber, context.options.hiddenSectors);
    ParseBootSector(std::span<const uint8_t>(area).first(kBootSectorSize));  // what any reader checks first
    WriteThroughRuns(context, context.bootRuns, area);
    // Without the backup the volume still works; it is only marked for checking.
    std::span<const uint8_t> sector(area.data(), kSectorSize);
    if (!context.device.TryWrite(g.sectorCount * kSectorSize, sector))
        context.volumeFlags |= VolumeInformation::FlagDirty;

    SSystemFile boot(kBootRecord, u"$Boot");
    boot.attributes.push_back(Descriptor(SystemFileDescriptor(true)));
    boot.attributes.push_back(SAttribute::NonResident(AttrType::Data, context.bootRuns, kBootAreaSize));
    Commit(context, std::move(boot));
}

void BuildVolume(SFormatContext& context) {
    SSystemFile volume(kVolumeRecord, u"$Volume");
    volume.attributes.push_back(Descriptor(SystemFileDescriptor(false)));
    std::vector<uint8_t> label(context.options.label.size() * 2);
    CByteWriter(label).Utf16(0, context.options.label);
    volume.attributes.push_back(SAttribute::Resident(AttrType::VolumeName, std::move(label)));
    std::vector<uint8_t> information(VolumeInformation::Size, 0);
    CByteWriter out(information);
    out.U8(VolumeInformation::MajorVersion, 3);
    out.U8(VolumeInformation::MinorVersion, 1);
    out.U16(VolumeInformation::Flags, context.volumeFlags);
    volume.attributes.push_back(SAttribute::Resident(AttrType::VolumeInformation, information));
    volume.attributes.push_back(SAttribute::Resident(AttrType::Data, {}));
    Commit(context, std::move(volume));
}

void BuildBadClusters(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile badClusters(kBadClusRecord, u"$BadClus");
    badClusters.securityId = kDefaultSecurityId;
    badClusters.attributes.push_back(SAttribute::Resident(AttrType::Data, {}));
    SAttribute bad = SAttribute::NonResident(AttrType::Data, context.badRuns, g.clusterCount * g.clusterSize, u"$Bad");
    bad.initializedSize = 0;  // nothing of it is ever read
    badClusters.attributes.push_back(std::move(bad));
    Commit(context, std::move(badClusters));
}

std::vector<uint8_t> SdsHeader(const SSecurityId& id) {
    std::vector<uint8_t> header(SdsEntry::HeaderSize, 0);
    WriteSdsHeader(CByteWriter(header), id);
    return header;
}

std::vector<uint8_t> Le32Key(uint32_t value) {
    std::vector<uint8_t> key(4, 0);
    CByteWriter(key).U32(0, value);
    return key;
}

// $SDH entries, keyed by hash and then id, in that order.
std::vector<std::vector<uint8_t>> SecurityHashEntries() {
    std::vector<SSecurityId> ids = SharedSecurityIds();
    std::sort(ids.begin(), ids.end(), [](const SSecurityId& a, const SSecurityId& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.id < b.id;
    });
    const std::vector<uint8_t> padding = {0x49, 0x00, 0x49, 0x00};  // "II", as Windows pads them
    std::vector<std::vector<uint8_t>> entries;
    for (const SSecurityId& id : ids) {
        std::vector<uint8_t> key(SdhKey::Size, 0);
        CByteWriter(key).U32(SdhKey::Hash, id.hash);
        CByteWriter(key).U32(SdhKey::SecurityId, id.id);
        entries.push_back(ViewIndexEntry(key, SdsHeader(id), padding));
    }
    return entries;
}

// $SII entries, keyed by id.
std::vector<std::vector<uint8_t>> SecurityIdEntries() {
    std::vector<std::vector<uint8_t>> entries;
    for (const SSecurityId& id : SharedSecurityIds()) entries.push_back(ViewIndexEntry(Le32Key(id.id), SdsHeader(id)));
    return entries;
}

void BuildSecure(SFormatContext& context) {
    SSystemFile secure(kSecureRecord, u"$Secure", kHiddenSystem | kHasViewIndex);
    secure.securityId = kDirectorySecurityId;
    secure.recordFlags = FileRecord::FlagViewIndex;
    secure.attributes.push_back(StreamedData(context, kSdsSize, FillSdsStream, u"$SDS"));
    secure.attributes.push_back(ViewIndex(context, u"$SDH", IndexRoot::SecurityHashCollation, SecurityHashEntries()));
    secure.attributes.push_back(ViewIndex(context, u"$SII", IndexRoot::UlongCollation, SecurityIdEntries()));
    Commit(context, std::move(secure));
}

// The table's checksum is taken on its way to the disk.
void BuildUpCase(SFormatContext& context) {
    SSystemFile upcase(kUpCaseRecord, u"$UpCase");
    upcase.securityId = kDefaultSecurityId;
    uint64_t crc = 0;
    upcase.attributes.push_back(
        StreamedData(context, kUpCaseTableBytes, [&crc](uint64_t offset, std::span<uint8_t> piece) {
            FillUpCaseTable(offset, piece);
            crc = UpCaseCrc64(piece, crc);
        }));
    upcase.attributes.push_back(SAttribute::Resident(AttrType::Data, BuildUpCaseInfo(crc), u"$Info"));
    Commit(context, std::move(upcase));
}

void BuildReservedRecords(SFormatContext& context) {
    for (uint64_t record = kExtendRecord + 1; record <= kLastReservedRecord; ++record) {
        SSystemFile reserved(record);
        reserved.attributes.push_back(Descriptor(SystemFileDescriptor(false)));
        reserved.attributes.push_back(SAttribute::Resident(AttrType::Data, {}));
        Commit(context, std::move(reserved));
    }
}

std::vector<uint8_t> QuotaEntryData(uint64_t now, bool withAdministrators) {
    std::vector<uint8_t> data(QuotaEntry::Sid, 0);
    CByteWriter out(data);
    out.U32(QuotaEntry::Version, QuotaEntry::VersionValue);
    out.U32(QuotaEntry::Flags, QuotaEntry::FlagDefaultLimits);
    out.U64(QuotaEntry::ChangeTime, now);
    out.U64(QuotaEntry::Threshold, ~uint64_t{0});  // none
    out.U64(QuotaEntry::Limit, ~uint64_t{0});      // none
    if (withAdministrators) {
        std::vector<uint8_t> sid = AdministratorsSid();
        data.insert(data.end(), sid.begin(), sid.end());
    }
    return data;
}

SSystemFile ExtendMember(uint32_t record, std::u16string name) {
    SSystemFile file(record, std::move(name), kHiddenSystemArchive | kHasViewIndex);
    file.securityId = kDirectorySecurityId;
    file.parent = kExtendRecord;
    file.recordFlags = FileRecord::FlagExtendMember | FileRecord::FlagViewIndex;
    return file;
}

void BuildQuota(SFormatContext& context) {
    constexpr uint32_t kAdministratorsOwner = 0x100;
    std::vector<std::vector<uint8_t>> byOwner = {
        ViewIndexEntry(Le32Key(1), QuotaEntryData(context.now, false)),
        ViewIndexEntry(Le32Key(kAdministratorsOwner), QuotaEntryData(context.now, true)),
    };
    std::vector<std::vector<uint8_t>> bySid = {ViewIndexEntry(AdministratorsSid(), Le32Key(kAdministratorsOwner))};
    SSystemFile quota = ExtendMember(kQuotaRecord, u"$Quota");
    quota.attributes.push_back(ViewIndex(context, u"$Q", IndexRoot::UlongCollation, byOwner));
    quota.attributes.push_back(ViewIndex(context, u"$O", IndexRoot::SidCollation, bySid));
    Commit(context, std::move(quota));
}

void BuildEmptyViewIndex(SFormatContext& context, uint32_t record, std::u16string name, std::u16string index) {
    SSystemFile file = ExtendMember(record, std::move(name));
    file.attributes.push_back(ViewIndex(context, std::move(index), IndexRoot::UlongsCollation, {}));
    Commit(context, std::move(file));
}

std::vector<std::vector<uint8_t>> SortedEntries(std::vector<SDirectoryEntry> entries) {
    // Names go in the order the volume compares them: through its own $UpCase,
    // as far as the names reach (a unit past the table is its own capital).
    size_t units = 1;
    for (const SDirectoryEntry& entry : entries)
        for (char16_t unit : entry.name) units = std::max<size_t>(units, size_t{unit} + 1);
    std::vector<uint8_t> capitals(units * 2);
    FillUpCaseTable(0, capitals);
    UpCaseTable table = volcore::BuildUpCaseTable(capitals);
    std::sort(entries.begin(), entries.end(), [&](const SDirectoryEntry& a, const SDirectoryEntry& b) {
        return CompareIgnoreCase(a.name, b.name, table) == ECollation::Less;
    });
    std::vector<std::vector<uint8_t>> sorted;
    for (SDirectoryEntry& entry : entries) sorted.push_back(std::move(entry.entry));
    return sorted;
}

void BuildExtend(SFormatContext& context) {
    SSystemFile extend(kExtendRecord, u"$Extend", kHiddenSystem, kHiddenSystem | kHasFileNameIndex);
    extend.securityId = kDirectorySecurityId;
    extend.recordFlags = FileRecord::FlagDirectory;
    Commit(context, std::move(extend));
    BuildReservedRecords(context);
    BuildQuota(context);
    BuildEmptyViewIndex(context, kObjIdRecord, u"$ObjId", u"$O");
    BuildEmptyViewIndex(context, kReparseRecord, u"$Reparse", u"$R");
    std::vector<uint8_t> root = SmallIndexRoot(AttrType::FileName, IndexRoot::FileNameCollation,
                                               IndexGeometryOf(context), SortedEntries(context.extendEntries));
    context.records.at(kExtendRecord).attributes.push_back(SAttribute::Resident(AttrType::IndexRoot, root, u"$I30"));
}

}  // namespace

void PlanSystemRecords(SFormatContext& context) {
    InitializeRecords(context);
    BuildRootDirectory(context);
    BuildMft(context);
    BuildMirrorAndJournal(context);
    BuildAttrDefAndBitmap(context);
    BuildBoot(context);
    BuildVolume(context);
    BuildBadClusters(context);
    BuildSecure(context);
    BuildUpCase(context);
    BuildExtend(context);
}

void WriteRootIndexBlock(SFormatContext& context) {
    std::vector<uint8_t> block = LeafIndexBlock(IndexGeometryOf(context), SortedEntries(context.rootEntries));
    MstProtect(block, 1, kIndexBlockSize);
    WriteThroughRuns(context, context.rootIndexRuns, block);
}

}  // namespace volcore::format
