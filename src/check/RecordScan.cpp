#include "check/RecordScan.h"

#include <algorithm>
#include <set>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"

namespace volcore::check {
namespace {

const std::u16string kFileNameIndex = u"$I30";

bool Marked(std::span<const uint8_t> bitmap, uint64_t number) {
    return number / 8 < bitmap.size() && (bitmap[number / 8] >> (number % 8)) & 1;
}

}  // namespace

void CRecordScan::Run(std::span<const uint8_t> mftBitmap) {
    for (uint64_t number = 0; number < m_mft.RecordCount(); ++number) {
        try {
            ScanRecord(number, mftBitmap);
        } catch (const CException& e) {
            m_report.Add(ECode::Record, number, "Record %1: %2", number, e.what());
        }
    }
    CheckBitsPastTheEnd(mftBitmap);
    CheckExtensions();
}

// A writer cut while $MFT grows leaves bits for records it never added:
// other checkers count them against the volume.
void CRecordScan::CheckBitsPastTheEnd(std::span<const uint8_t> mftBitmap) {
    for (uint64_t number = m_mft.RecordCount(); number < mftBitmap.size() * 8; ++number)
        if (Marked(mftBitmap, number))
            m_report.Add(SFix{EFix::FreeRecord}, ECode::RecordLeaked, number,
                         "Record %1 is marked in the MFT bitmap, past the %2 records of $MFT", number,
                         m_mft.RecordCount());
}

void CRecordScan::ScanRecord(uint64_t number, std::span<const uint8_t> mftBitmap) {
    std::vector<uint8_t> bytes = m_mft.ReadRaw(number);
    bool bitmapKnown = !mftBitmap.empty(), marked = Marked(mftBitmap, number);
    if (!IsFileRecord(bytes)) {
        if (bitmapKnown && marked)
            m_report.Add(ECode::Record, number, "Record %1 is marked in use in the MFT bitmap but is no FILE record",
                         number);
        return;
    }
    if (!IsInUse(bytes)) {
        if (bitmapKnown && marked)
            m_report.Add(SFix{EFix::FreeRecord}, ECode::RecordLeaked, number,
                         "Record %1 is marked in the MFT bitmap but not in use", number);
        return;
    }
    ++m_model.recordsInUse;
    if (bitmapKnown && !marked)
        m_report.Add(SFix{EFix::MarkRecord}, ECode::RecordUnmarked, number,
                     "Record %1 is in use but free in the MFT bitmap", number);
    TakeRecord(number, bytes);
}

void CRecordScan::TakeRecord(uint64_t number, std::vector<uint8_t>& bytes) {
    const SFileRecordHeader header = ReadFileRecordHeader(bytes);
    SFileState damaged;
    damaged.damaged = true;
    damaged.sequence = header.sequence;
    bool base = header.IsBase();
    if (std::string error = Unprotect(bytes); !error.empty()) {
        m_report.Add(ECode::Record, number, "Record %1: %2", number, error);
        if (base) m_model.files[number] = damaged;
        return;
    }
    SRecord record = ParseRecord(bytes, number, m_geometry);
    for (const SProblem& problem : record.problems) m_report.Add(problem);
    if (!record.IsBase() && number < kFirstUserRecord) {
        m_report.Add(ECode::Record, number, "Record %1 of a system file has base reference %2", number,
                     Hex(record.baseReference));
        record.baseReference = 0;
    }
    if (!record.IsBase()) {
        // Its clusters count once it is known to belong to a file in use.
        SExtension& extension = m_model.extensions[number];
        extension.base = record.baseReference;
        for (SAttribute& attribute : record.attributes) extension.runs.push_back(std::move(attribute.runs));
        return;
    }
    for (const SAttribute& attribute : record.attributes) m_clusters.Claim(number, attribute.runs);
    SFile file = LoadFile(std::move(record), m_mft, m_reader, m_geometry, m_budget);
    for (const SProblem& problem : file.problems) m_report.Add(problem);
    for (const SRecord& extension : file.extensions) m_model.listed.emplace(extension.number, number);
    CheckFile(file);
}

void CRecordScan::CheckFile(const SFile& file) {
    SFileState state;
    state.sequence = file.base.sequence;
    state.linkCount = file.base.linkCount;
    state.directory = file.base.IsDirectory();
    if (!file.base.Find(AttrType::StandardInformation))
        m_report.Add(ECode::Attribute, file.Number(), "Record %1 has no $STANDARD_INFORMATION", file.Number());
    CheckStreams(file);
    CollectNames(file, state);
    CheckIndexAttributes(file, state);
    CopiedSizes(file, state);
    const uint32_t clusterSize = m_geometry.boot.clusterSize;
    if (file.Number() == kBitmapRecord) m_model.clusterBitmap = file.Stream(AttrType::Data, u"", clusterSize);
    if (file.Number() == kUpCaseRecord) m_model.upcase = file.Stream(AttrType::Data, u"", clusterSize);
    m_model.files[file.Number()] = std::move(state);
}

// A file's entries copy the sizes of its unnamed $DATA, a resident value's
// allocation in whole 8-byte units as its record keeps it. Compressed and
// sparse data may copy their allocated or their compressed size (writers
// differ); the system files are left alone, as nobody keeps their copies
// (that of $MFT stays as the volume was formatted).
void CRecordScan::CopiedSizes(const SFile& file, SFileState& state) const {
    if (file.base.IsDirectory() || file.Number() < kFirstUserRecord) return;
    auto data = file.Stream(AttrType::Data, u"", m_geometry.boot.clusterSize);
    if (!data || !data->chainError.empty()) return;
    if (data->resident) {
        state.sizes = {(data->value.size() + 7) / 8 * 8, data->value.size()};
        return;
    }
    state.sizes = {data->allocatedSize, data->dataSize};
    if ((data->flags & (AttrRecord::FlagCompressedMask | AttrRecord::FlagSparse)) != 0) state.compressedSize = data->compressedSize;
}

// Every attribute but the names is one stream: one resident value, or
// non-resident extents that cover its allocation from VCN 0.
void CRecordScan::CheckStreams(const SFile& file) {
    std::set<std::pair<uint32_t, std::u16string>> seen;
    for (const SAttribute* attribute : file.Attributes()) {
        if (attribute->type == AttrType::FileName || !seen.emplace(attribute->type, attribute->name).second) continue;
        auto stream = file.Stream(attribute->type, attribute->name, m_geometry.boot.clusterSize);
        if (stream && !stream->chainError.empty())
            m_report.Add(ECode::Attribute, file.Number(), "Record %1: attribute %2: %3", file.Number(),
                         AttributeLabel(attribute->type, attribute->name), stream->chainError);
        if (stream && attribute->type == AttrType::Data) CheckOverAllocation(file.Number(), *attribute, *stream);
        if (stream && stream->chainError.empty() && !stream->resident) CheckCompressedForm(file.Number(), *attribute, *stream);
    }
}

// Compressed and sparse data: the compressed size counts the clusters the
// runs allocate, and compressed data keeps to its units: whole units, each
// its stored clusters first and then a hole.
void CRecordScan::CheckCompressedForm(uint64_t number, const SAttribute& attribute, const SStream& stream) {
    const uint64_t clusterSize = m_geometry.boot.clusterSize;
    const std::string label = AttributeLabel(attribute.type, attribute.name);
    uint64_t inUse = 0;
    for (const auto& [vcn, run] : stream.runs)
        if (run.lcn != SparseLcn) inUse += run.length;
    if (stream.compressedSize && *stream.compressedSize != inUse * clusterSize)
        m_report.Add(ECode::Attribute, number, "Record %1: %2 gives a compressed size of %3, its runs allocate %4 bytes",
                     number, label, *stream.compressedSize, inUse * clusterSize);
    const bool compressed = attribute.type == AttrType::Data && (stream.flags & AttrRecord::FlagCompressedMask) != 0;
    if (!compressed) return;
    if (stream.compressionUnit == 0 || stream.compressionUnit > 16 || stream.allocatedSize % (clusterSize << stream.compressionUnit) != 0)
        return m_report.Add(ECode::Attribute, number, "Record %1: %2 is compressed in units of 2^%3 clusters for %4 allocated bytes",
                            number, label, stream.compressionUnit, stream.allocatedSize);
    const uint64_t unitClusters = uint64_t{1} << stream.compressionUnit;
    // The unit a hole ends inside of: a stored cluster after it there is out of place.
    std::optional<uint64_t> openHole;
    for (const auto& [vcn, run] : stream.runs) {
        const uint64_t end = vcn.value + run.length;
        if (run.lcn == SparseLcn) {
            openHole = end % unitClusters == 0 ? std::nullopt : std::optional<uint64_t>(end / unitClusters);
        } else if (openHole == vcn.value / unitClusters) {
            return m_report.Add(ECode::Attribute, number, "Record %1: %2 stores clusters after a hole in compression unit %3",
                                number, label, *openHole);
        }
    }
}

// Clusters past the end of a plain file's data are held but never read. The
// MFT grows ahead of its records on purpose, and compressed or sparse data
// is allocated in whole compression units.
void CRecordScan::CheckOverAllocation(uint64_t number, const SAttribute& attribute, const SStream& stream) {
    const uint32_t clusterSize = m_geometry.boot.clusterSize;
    bool plain = (stream.flags & (AttrRecord::FlagCompressedMask | AttrRecord::FlagSparse)) == 0;
    if (number == kMftRecord || stream.resident || !plain || stream.allocatedSize <= stream.dataSize ||
        stream.allocatedSize - stream.dataSize < clusterSize)
        return;
    m_report.Add(ECode::ClusterLeaked, number, "Record %1: %2 holds %3 clusters for %4 bytes of data", number,
                 AttributeLabel(attribute.type, attribute.name), stream.allocatedSize / clusterSize, stream.dataSize);
}

void CRecordScan::CollectNames(const SFile& file, SFileState& state) {
    for (const SAttribute* attribute : file.Extents(AttrType::FileName, u"")) {
        CByteReader value(attribute->value);
        if (value.Size() < FileNameValue::Name ||
            value.Size() < FileNameValue::Name + 2u * value.U8(FileNameValue::NameLength))
            continue;  // reported by the record's parse
        SName name;
        name.parent = value.U64(FileNameValue::ParentReference);
        name.nameSpace = value.U8(FileNameValue::NameSpace);
        name.name = value.Utf16(FileNameValue::Name, value.U8(FileNameValue::NameLength));
        state.names.push_back(std::move(name));
    }
    std::sort(state.names.begin(), state.names.end(), SNameOrder{});
}

void CRecordScan::CheckIndexAttributes(const SFile& file, SFileState& state) {
    const uint64_t number = file.Number();
    bool anyIndex = false;
    for (const SAttribute* attribute : file.Attributes()) {
        anyIndex |= attribute->type == AttrType::IndexRoot;
        if (attribute->type != AttrType::IndexAllocation) continue;
        for (uint32_t needed : {AttrType::IndexRoot, AttrType::Bitmap})
            if (file.Extents(needed, attribute->name).empty())
                m_report.Add(ECode::Attribute, number, "Record %1 has %2 without %3", number,
                             AttributeLabel(AttrType::IndexAllocation, attribute->name),
                             AttributeLabel(needed, attribute->name));
    }
    auto root = file.Stream(AttrType::IndexRoot, kFileNameIndex, m_geometry.boot.clusterSize);
    if (state.directory != root.has_value())
        m_report.Add(ECode::Attribute, number, "Record %1 is %2flagged as a directory but has %3$INDEX_ROOT:$I30",
                     number, state.directory ? "" : "not ", root ? "" : "no ");
    if (!state.directory && !anyIndex && file.Extents(AttrType::Data, u"").empty())
        m_report.Add(ECode::Attribute, number, "Record %1 is a file without $DATA", number);
    if (!root || !root->resident) return;
    SIndexSource& index = state.index.emplace();
    index.root = root->value;
    index.allocation = file.Stream(AttrType::IndexAllocation, kFileNameIndex, m_geometry.boot.clusterSize);
    index.bitmap = file.Stream(AttrType::Bitmap, kFileNameIndex, m_geometry.boot.clusterSize);
}

// An extension whose base is gone (or was reused) is left over from a file
// deleted before it: nothing reads it, so it only wastes a record. One whose
// base is in use but does not list it has cut the file short.
void CRecordScan::CheckExtensions() {
    for (const auto& [number, extension] : m_model.extensions) {
        uint64_t base = RecordNumber(extension.base);
        auto found = m_model.files.find(base);
        if (found == m_model.files.end() || found->second.sequence != SequenceNumber(extension.base)) {
            m_report.Add(SFix{EFix::FreeRecord}, ECode::RecordLeaked, number,
                         "Record %1 extends record %2, which is no base record in use with sequence %3", number, base,
                         SequenceNumber(extension.base));
            continue;
        }
        for (const RunMap& runs : extension.runs) m_clusters.Claim(number, runs);
        if (!found->second.damaged && !m_model.listed.count({number, base}))
            m_report.Add(ECode::AttributeList, number, "Record %1 extends record %2, whose attribute list omits it",
                         number, base);
    }
}

}  // namespace volcore::check
