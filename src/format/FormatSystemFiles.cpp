#include <algorithm>

#include "api/Bytes.h"
#include "format/FormatIndex.h"
#include "format/FormatSecurity.h"
#include "format/FormatTables.h"
#include "format/Formatter.h"
#include "volume/BootSector.h"
#include "volume/Fixups.h"

namespace volcore::format {
namespace {

constexpr uint32_t kRootRecord = 5;
constexpr uint32_t kExtendRecord = 11;
constexpr uint32_t kQuotaRecord = 24;
constexpr uint32_t kObjIdRecord = 25;
constexpr uint32_t kReparseRecord = 26;

constexpr uint32_t kHiddenSystem = 0x6;
constexpr uint32_t kHiddenSystemArchive = 0x26;
constexpr uint32_t kHasFileNameIndex = 0x10000000;
constexpr uint32_t kHasViewIndex = 0x20000000;
constexpr uint32_t kDefaultSecurityId = 0x100;
constexpr uint32_t kDirectorySecurityId = 0x101;
constexpr uint32_t kNoSecurityId = 0;

uint16_t SequenceOf(uint32_t record) {
    return (record == 0 || (record >= kQuotaRecord && record <= kReparseRecord)) ? 1 : static_cast<uint16_t>(record);
}

bool InUse(uint32_t record) { return record <= 15 || (record >= kQuotaRecord && record <= kReparseRecord); }

uint64_t ReferenceOf(uint32_t record) { return FileReference(record, SequenceOf(record)); }

std::vector<uint8_t> StandardInformation(uint64_t now, uint32_t fileFlags, uint32_t securityId) {
    std::vector<uint8_t> value(72, 0);
    CByteWriter out(value);
    for (size_t offset = 0; offset <= 24; offset += 8) out.U64(offset, now);
    out.U32(32, fileFlags);
    out.U32(52, securityId);
    return value;
}

struct SSystemFile {
    explicit SSystemFile(uint32_t number, std::u16string fileName = u"", uint32_t flags = kHiddenSystem,
                         uint32_t flagsInName = 0)
        : record(number), name(std::move(fileName)), fileFlags(flags), nameFlags(flagsInName) {}

    uint32_t record = 0;
    std::u16string name;  // empty: no $FILE_NAME and no directory entry
    uint32_t fileFlags = kHiddenSystem;
    uint32_t nameFlags = 0;  // 0: the same as fileFlags
    uint32_t securityId = kNoSecurityId;
    uint32_t parent = kRootRecord;
    uint16_t recordFlags = 0;
    std::vector<SAttribute> attributes;
};

const SAttribute* UnnamedData(const std::vector<SAttribute>& attributes) {
    for (const SAttribute& attribute : attributes)
        if (attribute.type == kData && attribute.name.empty()) return &attribute;
    return nullptr;
}

SFileNameInfo FileNameOf(const SFormatContext& context, const SSystemFile& file) {
    SFileNameInfo info;
    info.parent = ReferenceOf(file.parent);
    info.time = context.now;
    info.flags = file.nameFlags ? file.nameFlags : file.fileFlags;
    info.name = file.name;
    if (const SAttribute* data = UnnamedData(file.attributes); data && data->nonResident) {
        info.allocatedSize = RunlistClusters(data->runs) * context.geometry.clusterSize;
        info.dataSize = data->dataSize;
    }
    return info;
}

void Commit(SFormatContext& context, SSystemFile file) {
    SRecordPlan& plan = context.records.at(file.record);
    plan.header.flags = static_cast<uint16_t>(plan.header.flags | file.recordFlags);
    plan.attributes = {SAttribute::Resident(kStandardInformation,
                                            StandardInformation(context.now, file.fileFlags, file.securityId))};
    if (!file.name.empty()) {
        std::vector<uint8_t> fileName = FileNameValue(FileNameOf(context, file));
        plan.attributes.push_back(SAttribute::Resident(kFileName, fileName));
        plan.header.linkCount = 1;
        auto& directory = file.parent == kExtendRecord ? context.extendEntries : context.rootEntries;
        directory.push_back({file.name, FileNameIndexEntry(ReferenceOf(file.record), fileName)});
    }
    for (SAttribute& attribute : file.attributes) plan.attributes.push_back(std::move(attribute));
}

SAttribute Descriptor(std::vector<uint8_t> descriptor) {
    return SAttribute::Resident(kSecurityDescriptor, std::move(descriptor));
}

// Non-resident data on freshly allocated clusters, written at once.
SAttribute StoredData(SFormatContext& context, const std::vector<uint8_t>& data, uint32_t type = kData,
                      std::u16string name = u"") {
    const SFormatGeometry& g = context.geometry;
    Runlist runs = context.clusters->Allocate(CeilDiv(data.size(), g.clusterSize), g.DataZoneStart());
    WriteThroughRuns(context, runs, data);
    return SAttribute::NonResident(type, std::move(runs), data.size(), std::move(name));
}

void InitializeRecords(SFormatContext& context) {
    uint64_t count = context.geometry.MftRecordCount();
    context.records.assign(count, {});
    for (uint32_t record = 0; record < count; ++record) {
        SRecordPlan& plan = context.records[record];
        plan.header.number = record;
        plan.header.sequence = SequenceOf(record);
        plan.header.flags = InUse(record) ? kRecordInUse : 0;
        plan.attributes = {SAttribute::Resident(kStandardInformation,
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
    return SAttribute::Resident(kIndexRoot, SmallIndexRoot(0, collation, IndexGeometryOf(context), entries),
                                std::move(name));
}

void BuildRootDirectory(SFormatContext& context) {
    SSystemFile root(kRootRecord, u".", kHiddenSystemArchive, kHiddenSystemArchive | kHasFileNameIndex);
    root.recordFlags = kRecordIsDirectory;
    root.attributes.push_back(StoredData(context, RootDirectoryDescriptor(), kSecurityDescriptor));
    const SFormatGeometry& g = context.geometry;
    context.rootIndexRuns = context.clusters->Allocate(CeilDiv(kIndexBlockSize, g.clusterSize), g.DataZoneStart());
    std::vector<uint8_t> indexRoot = LargeIndexRoot(kFileName, kCollateFileName, IndexGeometryOf(context));
    root.attributes.push_back(SAttribute::Resident(kIndexRoot, indexRoot, u"$I30"));
    root.attributes.push_back(
        SAttribute::NonResident(kIndexAllocation, context.rootIndexRuns, kIndexBlockSize, u"$I30"));
    std::vector<uint8_t> blockBitmap(8, 0);
    blockBitmap[0] = 1;
    root.attributes.push_back(SAttribute::Resident(kBitmap, blockBitmap, u"$I30"));
    Commit(context, std::move(root));
}

void BuildMft(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile mft(0, u"$MFT");
    mft.securityId = kDefaultSecurityId;
    mft.attributes.push_back(SAttribute::NonResident(kData, context.mftRuns, g.mftSize));
    Runlist bitmapRuns{{static_cast<int64_t>(g.mftBitmapLcn), 1}};
    std::vector<uint8_t> bitmapCluster(g.clusterSize, 0);
    std::copy(context.mftBitmap.begin(), context.mftBitmap.end(), bitmapCluster.begin());
    WriteThroughRuns(context, bitmapRuns, bitmapCluster);
    mft.attributes.push_back(SAttribute::NonResident(kBitmap, bitmapRuns, context.mftBitmap.size()));
    Commit(context, std::move(mft));
}

void BuildMirrorAndJournal(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile mirror(1, u"$MFTMirr");
    mirror.securityId = kDefaultSecurityId;
    mirror.attributes.push_back(SAttribute::NonResident(kData, context.mirrorRuns, g.mirrorClusters * g.clusterSize));
    Commit(context, std::move(mirror));

    SSystemFile journal(2, u"$LogFile");
    journal.securityId = kDefaultSecurityId;
    FillThroughRuns(context, context.logRuns, g.logSize, 0xFF);
    journal.attributes.push_back(SAttribute::NonResident(kData, context.logRuns, g.logSize));
    Commit(context, std::move(journal));
}

void BuildAttrDefAndBitmap(SFormatContext& context) {
    SSystemFile attrDef(4, u"$AttrDef");
    attrDef.attributes.push_back(Descriptor(SystemFileDescriptor(true)));
    attrDef.attributes.push_back(StoredData(context, BuildAttrDef()));
    Commit(context, std::move(attrDef));

    // The bitmap's own clusters must be in it, so its content is written last.
    const SFormatGeometry& g = context.geometry;
    SSystemFile bitmap(6, u"$Bitmap");
    bitmap.securityId = kDefaultSecurityId;
    uint64_t bytes = g.ClusterBitmapBytes();
    Runlist runs = context.clusters->Allocate(CeilDiv(bytes, g.clusterSize), g.DataZoneStart());
    bitmap.attributes.push_back(SAttribute::NonResident(kData, std::move(runs), bytes));
    Commit(context, std::move(bitmap));
}

void BuildBoot(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    std::vector<uint8_t> area = BuildBootArea(g, context.serialNumber, context.options.hiddenSectors);
    ParseBootSector(std::span<const uint8_t>(area).first(kBootSectorSize));  // what any reader checks first
    WriteThroughRuns(context, context.bootRuns, area);
    // Without the backup the volume still works; it is only marked for checking.
    std::span<const uint8_t> sector(area.data(), kSectorSize);
    if (!context.device.TryWrite(g.sectorCount * kSectorSize, sector)) context.volumeFlags |= 0x1;

    SSystemFile boot(7, u"$Boot");
    boot.attributes.push_back(Descriptor(SystemFileDescriptor(true)));
    boot.attributes.push_back(SAttribute::NonResident(kData, context.bootRuns, kBootAreaSize));
    Commit(context, std::move(boot));
}

void BuildVolume(SFormatContext& context) {
    SSystemFile volume(3, u"$Volume");
    volume.attributes.push_back(Descriptor(SystemFileDescriptor(false)));
    std::vector<uint8_t> label(context.options.label.size() * 2);
    CByteWriter(label).Utf16(0, context.options.label);
    volume.attributes.push_back(SAttribute::Resident(kVolumeName, std::move(label)));
    std::vector<uint8_t> information(12, 0);
    CByteWriter out(information);
    out.U8(8, 3);
    out.U8(9, 1);
    out.U16(10, context.volumeFlags);
    volume.attributes.push_back(SAttribute::Resident(kVolumeInformation, information));
    volume.attributes.push_back(SAttribute::Resident(kData, {}));
    Commit(context, std::move(volume));
}

void BuildBadClusters(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    SSystemFile badClusters(8, u"$BadClus");
    badClusters.securityId = kDefaultSecurityId;
    badClusters.attributes.push_back(SAttribute::Resident(kData, {}));
    SAttribute bad = SAttribute::NonResident(kData, context.badRuns, g.clusterCount * g.clusterSize, u"$Bad");
    bad.initializedSize = 0;  // nothing of it is ever read
    badClusters.attributes.push_back(std::move(bad));
    Commit(context, std::move(badClusters));
}

std::vector<uint8_t> SdsHeader(const SSecurityId& id) {
    std::vector<uint8_t> header(20, 0);
    CByteWriter out(header);
    out.U32(0, id.hash);
    out.U32(4, id.id);
    out.U64(8, id.offset);
    out.U32(16, id.length);
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
        std::vector<uint8_t> key = Le32Key(id.hash);
        std::vector<uint8_t> idBytes = Le32Key(id.id);
        key.insert(key.end(), idBytes.begin(), idBytes.end());
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
    SSystemFile secure(9, u"$Secure", kHiddenSystem | kHasViewIndex);
    secure.securityId = kDirectorySecurityId;
    secure.recordFlags = kRecordIsViewIndex;
    secure.attributes.push_back(StoredData(context, BuildSdsStream(), kData, u"$SDS"));
    secure.attributes.push_back(ViewIndex(context, u"$SDH", kCollateSecurityHash, SecurityHashEntries()));
    secure.attributes.push_back(ViewIndex(context, u"$SII", kCollateUlong, SecurityIdEntries()));
    Commit(context, std::move(secure));
}

void BuildUpCase(SFormatContext& context) {
    context.upcase = BuildUpCaseTable();
    SSystemFile upcase(10, u"$UpCase");
    upcase.securityId = kDefaultSecurityId;
    upcase.attributes.push_back(StoredData(context, context.upcase));
    upcase.attributes.push_back(SAttribute::Resident(kData, BuildUpCaseInfo(context.upcase), u"$Info"));
    Commit(context, std::move(upcase));
}

void BuildReservedRecords(SFormatContext& context) {
    for (uint32_t record = 12; record <= 15; ++record) {
        SSystemFile reserved(record);
        reserved.attributes.push_back(Descriptor(SystemFileDescriptor(false)));
        reserved.attributes.push_back(SAttribute::Resident(kData, {}));
        Commit(context, std::move(reserved));
    }
}

std::vector<uint8_t> QuotaEntryData(uint64_t now, bool withAdministrators) {
    std::vector<uint8_t> data(48, 0);
    CByteWriter out(data);
    out.U32(0, 2);  // version
    out.U32(4, 1);  // default limits
    out.U64(16, now);
    out.U64(24, ~uint64_t{0});  // threshold: none
    out.U64(32, ~uint64_t{0});  // limit: none
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
    file.recordFlags = kRecordIsExtendMember | kRecordIsViewIndex;
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
    quota.attributes.push_back(ViewIndex(context, u"$Q", kCollateUlong, byOwner));
    quota.attributes.push_back(ViewIndex(context, u"$O", kCollateSid, bySid));
    Commit(context, std::move(quota));
}

void BuildEmptyViewIndex(SFormatContext& context, uint32_t record, std::u16string name, std::u16string index) {
    SSystemFile file = ExtendMember(record, std::move(name));
    file.attributes.push_back(ViewIndex(context, std::move(index), kCollateUlongs, {}));
    Commit(context, std::move(file));
}

// Names compare as the volume compares them: unit by unit through $UpCase.
bool CollatesBefore(const std::vector<uint8_t>& upcase, std::u16string_view a, std::u16string_view b) {
    CByteReader table(upcase);
    auto upper = [&](char16_t unit) { return table.U16(size_t{unit} * 2); };
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]);
    return a.size() < b.size();
}

std::vector<std::vector<uint8_t>> SortedEntries(const SFormatContext& context, std::vector<SDirectoryEntry> entries) {
    std::sort(entries.begin(), entries.end(), [&](const SDirectoryEntry& a, const SDirectoryEntry& b) {
        return CollatesBefore(context.upcase, a.name, b.name);
    });
    std::vector<std::vector<uint8_t>> sorted;
    for (SDirectoryEntry& entry : entries) sorted.push_back(std::move(entry.entry));
    return sorted;
}

void BuildExtend(SFormatContext& context) {
    SSystemFile extend(kExtendRecord, u"$Extend", kHiddenSystem, kHiddenSystem | kHasFileNameIndex);
    extend.securityId = kDirectorySecurityId;
    extend.recordFlags = kRecordIsDirectory;
    Commit(context, std::move(extend));
    BuildReservedRecords(context);
    BuildQuota(context);
    BuildEmptyViewIndex(context, kObjIdRecord, u"$ObjId", u"$O");
    BuildEmptyViewIndex(context, kReparseRecord, u"$Reparse", u"$R");
    std::vector<uint8_t> root = SmallIndexRoot(kFileName, kCollateFileName, IndexGeometryOf(context),
                                               SortedEntries(context, context.extendEntries));
    context.records.at(kExtendRecord).attributes.push_back(SAttribute::Resident(kIndexRoot, root, u"$I30"));
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
    std::vector<uint8_t> block = LeafIndexBlock(IndexGeometryOf(context), SortedEntries(context, context.rootEntries));
    MstProtect(block, 1, kIndexBlockSize);
    WriteThroughRuns(context, context.rootIndexRuns, block);
}

}  // namespace volcore::format
