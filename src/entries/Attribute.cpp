#include "entries/Attribute.h"

#include <algorithm>
#include <cstring>

#include "base/ContractTexts.h"
#include "base/Exception.h"
#include "base/NumericCast.h"
#include "disk/RecordWriter.h"
#include "disk/Runlist.h"
#include "disk/VolumeServices.h"

namespace volcore {
namespace {

// 2^4 = 16 clusters, what every NTFS writer uses.
constexpr uint16_t kStandardCompressionUnit = 4;

uint64_t RunsEndVcn(const RunMap& runs) {
    if (runs.empty()) return 0;
    const auto& [vcn, run] = *runs.rbegin();
    return vcn.value + run.length;
}

}  // namespace

CAttribute::CAttribute(IVolumeServices& volume, FileReference owner, uint32_t type, std::u16string name, bool resident)
    : m_volume(volume), m_name(std::move(name)), m_owner(owner), m_type(type), m_nonResident(!resident),
      m_dirty(true) {}

CAttribute::CAttribute(IVolumeServices& volume, FileReference owner, std::span<const SAttributeLocation> extents)
    : m_volume(volume), m_owner(owner) {
    if (extents.empty()) throw CException(EErrorKind::Corrupt, "Cannot initialize attribute: there is no base extent");
    InitFromBaseExtent(extents.front());
    for (size_t i = 1; i < extents.size(); ++i) AddExtent(extents[i]);
    if (m_nonResident) ValidateLoadedRuns();
}

std::shared_ptr<CAttribute> CAttribute::FirstExtentOnly(IVolumeServices& volume, FileReference owner,
                                                        const SAttributeLocation& extent) {
    auto attribute = std::make_shared<CAttribute>(volume, owner, 0, u"", false);
    attribute->InitFromBaseExtent(extent);
    if (!attribute->m_nonResident) throw CException(EErrorKind::Corrupt, "Cannot read a resident attribute by extents");
    attribute->m_dataSize = std::min(attribute->m_dataSize, attribute->GetAllocatedSize());
    attribute->m_initializedSize = std::min(attribute->m_initializedSize, attribute->m_dataSize);
    attribute->ValidateLoadedRuns();
    attribute->m_dirty = false;
    return attribute;
}

void CAttribute::InitFromBaseExtent(const SAttributeLocation& extent) {
    const SAttributeHeader header = extent.Header();
    if (header.nonResident && header.lowestVcn != 0) throw CException(EErrorKind::Corrupt, "Not a base extent");
    m_name = header.name;
    m_type = header.type;
    m_flags = header.flags;
    m_nonResident = header.nonResident;
    CByteReader record = extent.Record();
    if (header.nonResident) {
        m_dataSize = header.dataSize;
        m_initializedSize = header.initializedSize;
        if (m_initializedSize > m_dataSize)
            throw CException(EErrorKind::Corrupt, "Corrupted attribute %1: initialized size %2 exceeds data size %3",
                             m_type, m_initializedSize, m_dataSize);
        m_compressionUnit = header.compressionUnit;
        ChangeRuns([&](RunMap& runs) { DecodeMappingPairs(record, runs); });
    } else {
        m_dataSize = 0;
        // The reader has checked that the value lies inside its record.
        m_value = record.Bytes(header.valueOffset, header.valueLength);
    }
}

void CAttribute::AddExtent(const SAttributeLocation& extent) {
    if (!m_nonResident) throw CException(EErrorKind::Corrupt, "Cannot add extent: attribute is resident");
    if (!extent.IsNonResident() || extent.LowestVcn() == 0)
        throw CException(EErrorKind::Corrupt, "Extent cannot be base or resident");
    ChangeRuns([&](RunMap& runs) { DecodeMappingPairs(extent.Record(), runs); });
}

// A loaded run map must describe byte positions that fit 64 bits, and the data
// must fit the runs; unless the data may have holes, it must also fit the volume.
void CAttribute::ValidateLoadedRuns() const {
    uint64_t clusterSize = m_volume.GetClusterSize();
    if (RunsEndVcn(Runs()) > UINT64_MAX / clusterSize)
        throw CException(EErrorKind::Corrupt, "Corrupted runlist: VCN %1 out of range", RunsEndVcn(Runs()));
    uint64_t allocated = GetAllocatedSize();
    if (m_dataSize > allocated)
        throw CException(EErrorKind::Corrupt, "Corrupted attribute %1: data size %2 exceeds allocated size %3", m_type,
                         m_dataSize, allocated);
    if (!IsCompressed() && !IsSparse() && m_dataSize > m_volume.GetDevice().GetSize())
        throw CException(EErrorKind::Corrupt, "Corrupted attribute %1: data size %2 exceeds the volume size", m_type,
                         m_dataSize);
}

uint64_t CAttribute::GetAllocatedSize() const {
    if (!m_nonResident) return RoundUp(m_value.size(), 8);
    return RunsEndVcn(Runs()) * m_volume.GetClusterSize();
}

uint64_t CAttribute::GetSizeOnDisk() const {
    return m_nonResident && (IsCompressed() || IsSparse()) ? BytesInUse() : GetAllocatedSize();
}

uint32_t CAttribute::MaxResidentSize(uint32_t recordSize) {
    uint32_t usaBytes = static_cast<uint32_t>(RoundUp(2 * UpdateSequence::CountFor(recordSize), 8));
    return recordSize - usaBytes - 120;
}

void CAttribute::CheckRange(const char* operation, uint64_t offset, uint32_t size) const {
    uint64_t dataSize = GetSize();
    if (size == 0 || offset > dataSize || size > dataSize - offset)
        throw CException(EErrorKind::Argument,
                         ContractText::AttributeRange, operation,
                         offset, size, dataSize);
}

// Encrypted bytes are never handed out as if they were the contents.
void CAttribute::CheckReadable() const {
    if (IsEncrypted())
        throw CException(EErrorKind::Unsupported,
                         "Attribute %1 of record %2 is encrypted (EFS): only Windows, with its owner's key, can read it",
                         m_type, RecordNumber(m_owner));
    if (HoldsCompressedData() && (m_flags & AttrRecord::FlagCompressedMask) != AttrRecord::FlagCompressedLznt1)
        throw CException(EErrorKind::Unsupported, "Attribute %1 of record %2 uses compression method %3: it cannot be read",
                         m_type, RecordNumber(m_owner), m_flags & AttrRecord::FlagCompressedMask);
}

void CAttribute::CheckChangeable() const {
    if (IsEncrypted())
        throw CException(EErrorKind::Unsupported,
                         "Attribute %1 of record %2 is encrypted (EFS): only Windows, with its owner's key, can change it",
                         m_type, RecordNumber(m_owner));
    if (HoldsCompressedData() && (m_flags & AttrRecord::FlagCompressedMask) != AttrRecord::FlagCompressedLznt1)
        throw CException(EErrorKind::Unsupported,
                         "Attribute %1 of record %2 uses compression method %3: it cannot be changed", m_type,
                         RecordNumber(m_owner), m_flags & AttrRecord::FlagCompressedMask);
    if (m_nonResident && HoldsCompressedData()) CompressionUnitBytes();  // refuses units NTFS never writes
}

uint64_t CAttribute::AllocationGranule() const {
    if (HoldsCompressedData() || (IsSparse() && m_compressionUnit != 0)) return CompressionUnitBytes();
    return m_volume.GetClusterSize();
}

void CAttribute::MakeCompressed() {
    m_flags = static_cast<uint16_t>((m_flags & ~AttrRecord::FlagCompressedMask) | AttrRecord::FlagCompressedLznt1);
    m_compressionUnit = kStandardCompressionUnit;
    m_dirty = true;
}

void CAttribute::MakeSparse() {
    if (IsSparse() || HoldsCompressedData()) return;  // compressed data grows by holes already
    CheckChangeable();
    const uint16_t before = m_flags;
    m_flags = static_cast<uint16_t>(m_flags | AttrRecord::FlagSparse);
    m_dirty = true;
    if (m_nonResident) return;
    try {
        MakeNonResident(m_value.size());
    } catch (...) {
        m_flags = before;
        throw;
    }
}

// Out of line, so that the short path does not set up the frame that the walk
// and its failure messages need on every call.
[[gnu::noinline]] void CAttribute::ReadDataWalked(uint64_t offset, uint8_t* out, uint32_t size) const {
    CheckRange("ReadData", offset, size);
    if (!m_nonResident) {
        std::memcpy(out, m_value.data() + offset, size);
        return;
    }
    CheckReadable();
    // Nothing was ever written past the initialized size: it reads as zeros.
    uint64_t valid = offset < m_initializedSize ? std::min<uint64_t>(size, m_initializedSize - offset) : 0;
    if (valid != 0 && HoldsCompressedData()) {
        ReadCompressed(offset, out, valid);
    } else if (valid != 0) {
        uint64_t done = Transfer(offset, valid, [&](const STransferChunk& chunk) {
            uint8_t* target = out + chunk.bufferOffset;
            if (chunk.lcn == SparseLcn) std::memset(target, 0, chunk.length);  // no clusters: reads as zeros
            else m_volume.GetDevice().Read(chunk.devicePosition, target, chunk.length);
        });
        if (done != valid)
            throw CException(EErrorKind::Corrupt, "Failed to read %1 bytes, offset %2, read %3", size, offset, done);
    }
    std::memset(out + valid, 0, size - valid);
}

void CAttribute::WriteData(uint64_t offset, const void* buffer, uint32_t size) {
    CheckRange("WriteData", offset, size);
    CheckChangeable();
    if (!m_nonResident) {
        std::memcpy(m_value.data() + offset, buffer, size);
        m_dirty = true;
        return;
    }
    WriteStored(offset, static_cast<const uint8_t*>(buffer), size);
}

void CAttribute::WriteStored(uint64_t offset, const uint8_t* buffer, uint64_t size) {
    if (HoldsCompressedData()) return WriteCompressed(offset, buffer, size);
    if (IsSparse()) FillHoles(offset, size);
    WriteNonResident(offset, buffer, NumericCast<uint32_t>(size));
}

void CAttribute::WriteNonResident(uint64_t offset, const void* buffer, uint32_t size) {
    uint64_t end = offset + size;
    // A rewrite inside the valid data and inside one known run (a record, an
    // index block) needs neither walk: no gap, no hole, no new valid end.
    uint64_t position = 0;
    if (end <= m_initializedSize && InLastRun(offset, size, position)) {
        m_volume.GetDevice().Write(position, buffer, size);
        return;
    }
    uint64_t from = std::min(offset, m_initializedSize);
    // A first walk checks every piece, the gap before the write included, so
    // that a hole or a run outside the volume is refused before anything is
    // written. A hole inside the gap already reads as zeros.
    const struct {
        uint64_t offset, gapBytes;
        uint32_t size;
    } write{offset, offset - from, size};
    uint64_t covered = Transfer(from, end - from, [&write](const STransferChunk& chunk) {
        if (chunk.lcn == SparseLcn && chunk.bufferOffset + chunk.length > write.gapBytes)
            throw CException(EErrorKind::Corrupt, "Cannot write %1 bytes at offset %2: the range has no clusters",
                             write.size, write.offset);
    });
    if (covered != end - from)
        throw CException(EErrorKind::Corrupt, "Failed to write %1 bytes, offset %2, written %3", size, offset, 0);
    // Bytes between the old valid end and the write would otherwise show
    // whatever the clusters held before.
    if (from < offset) ZeroOnDevice(from, offset - from);
    Transfer(offset, size, [&](const STransferChunk& chunk) {
        m_volume.GetDevice().Write(chunk.devicePosition, static_cast<const uint8_t*>(buffer) + chunk.bufferOffset,
                                   chunk.length);
    });
    if (end > m_initializedSize) {
        m_initializedSize = end;
        m_dirty = true;
    }
}

void CAttribute::ZeroOnDevice(uint64_t offset, uint64_t size) {
    static const std::vector<uint8_t> zeros(64 * 1024, 0);
    Transfer(offset, size, [&](const STransferChunk& chunk) {
        if (chunk.lcn == SparseLcn) return;
        for (uint64_t done = 0; done < chunk.length;) {
            uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(zeros.size(), chunk.length - done));
            m_volume.GetDevice().Write(chunk.devicePosition + done, zeros.data(), piece);
            done += piece;
        }
    });
}

bool CAttribute::NextChunk(uint64_t position, uint64_t left, STransferChunk& chunk) const {
    constexpr uint64_t kLargestPiece = 1ull << 30;
    const uint64_t clusterSize = m_volume.GetClusterSize();
    auto next = Runs().upper_bound(VCN{position / clusterSize});
    if (next == Runs().begin()) ThrowNoncontiguous(position, next);
    auto run = std::prev(next);
    uint64_t runStart = run->first.value * clusterSize;
    uint64_t runBytes = run->second.length * clusterSize;
    if (position - runStart >= runBytes) {
        if (next == Runs().end()) return false;
        ThrowNoncontiguous(position, next);
    }
    chunk.lcn = run->second.lcn;
    chunk.devicePosition = 0;
    uint64_t skip = position - runStart;
    chunk.length = static_cast<uint32_t>(std::min({runBytes - skip, left, kLargestPiece}));
    if (chunk.lcn != SparseLcn) {
        const uint64_t deviceSize = m_volume.GetDevice().GetSize();
        chunk.devicePosition = DevicePosition(chunk.lcn, skip, chunk.length, deviceSize);
        if (runBytes <= deviceSize - chunk.devicePosition + skip)  // the whole run lies inside the device
            m_lastRun = {m_runChanges, runStart, runBytes, chunk.devicePosition - skip};
    }
    return true;
}

bool CAttribute::InLastRun(uint64_t offset, uint32_t size, uint64_t& devicePosition) const {
    const SLastRun& last = m_lastRun;
    if (offset < last.dataStart || offset - last.dataStart > last.bytes || size > last.bytes - (offset - last.dataStart))
        return false;
    if (last.runChanges != m_runChanges) return false;
    devicePosition = last.devicePosition + (offset - last.dataStart);
    return true;
}

bool CAttribute::ReadFromLastRun(uint64_t offset, uint8_t* out, uint32_t size) const {
    // The range, and the kinds of data that cannot be read so.
    const uint64_t readable = std::min(m_initializedSize, m_dataSize);
    if (!m_nonResident || size == 0 || offset > readable || size > readable - offset || IsEncrypted() ||
        HoldsCompressedData())
        return false;
    uint64_t position = 0;
    if (!InLastRun(offset, size, position)) return false;
    m_volume.GetDevice().Read(position, out, size);
    return true;
}

void CAttribute::ThrowNoncontiguous(uint64_t position, RunMap::const_iterator next) const {
    uint64_t available = next == Runs().end() ? 0 : next->first.value * m_volume.GetClusterSize();
    throw CException(EErrorKind::Corrupt, "Block mapping is noncontiguous (current offset: %1, available: %2)",
                     position, available);
}

// The byte position of a piece of a run on the device; a run that reaches past
// the device is corrupt and never turns into a transfer.
uint64_t CAttribute::DevicePosition(uint64_t lcn, uint64_t skip, uint32_t length, uint64_t deviceSize) const {
    uint64_t clusterSize = m_volume.GetClusterSize();
    bool inside = lcn <= deviceSize / clusterSize && skip <= deviceSize - lcn * clusterSize &&
                  length <= deviceSize - lcn * clusterSize - skip;
    if (!inside)
        throw CException(EErrorKind::Corrupt, "Attribute %1 of record %2: run at LCN %3 lies outside the volume",
                         m_type, RecordNumber(m_owner), lcn);
    return lcn * clusterSize + skip;
}

std::vector<uint8_t> CAttribute::ReadAll() const {
    if (!m_nonResident) return m_value;
    uint64_t size = m_dataSize;
    if (size == 0) return {};
    CheckSizeFitsVolume();
    std::vector<uint8_t> data(NumericCast<uint32_t>(size));
    ReadData(0, data.data(), static_cast<uint32_t>(size));
    return data;
}

void CAttribute::CheckSizeFitsVolume() const {
    if (m_nonResident && m_dataSize > m_volume.GetDevice().GetSize())
        throw CException(EErrorKind::Corrupt, "Attribute %1 of record %2: data size %3 exceeds the volume size", m_type,
                         RecordNumber(m_owner), m_dataSize);
}

void CAttribute::SetSize(uint64_t newSize) {
    if (newSize == GetSize()) return;
    CheckChangeable();
    m_dirty = true;
    if (m_nonResident && HoldsCompressedData()) return ResizeCompressed(newSize);
    if (m_nonResident) {
        if (newSize > GetAllocatedSize()) Allocate(newSize);
        else if (newSize < m_dataSize) Shrink(newSize);
        else m_dataSize = newSize;  // the new range lies past the initialized size
        return;
    }
    if (newSize >= MaxResidentSize(m_volume.GetMftRecordSize())) MakeNonResident(newSize);
    else m_value.resize(newSize, 0);
}

void CAttribute::Shrink(uint64_t newSize) {
    m_dataSize = newSize;
    // What lies past the new end must never come back on a later growth.
    m_initializedSize = std::min(m_initializedSize, newSize);
    ReleaseRunsFrom(RoundUp(newSize, AllocationGranule()) / m_volume.GetClusterSize());
    if (newSize != 0 || !ReturnsToRecordWhenEmpty()) return;
    m_pendingUnit = ~uint64_t{0};
    m_nonResident = false;
    ChangeRuns([](RunMap& runs) { runs.clear(); });
    m_value.clear();
}

// Empty data is kept in the record, as other implementations keep it; the
// MFT's own data always has clusters, and sparse data stays sparse.
bool CAttribute::ReturnsToRecordWhenEmpty() const {
    return m_type == AttrType::Data && RecordNumber(m_owner) != kMftRecord && !IsSparse();
}

// Runs leave the map as they are returned, so a failure part-way never hands
// the same clusters back twice.
void CAttribute::ReleaseRunsFrom(uint64_t vcn) {
    while (!Runs().empty()) {
        SLcnAndLength released{SparseLcn, 0};
        ChangeRuns([&](RunMap& runs) {
            auto last = std::prev(runs.end());
            uint64_t start = last->first.value;
            SLcnAndLength& run = last->second;
            if (start + run.length <= vcn) return;
            uint64_t keep = start < vcn ? vcn - start : 0;
            released = {run.lcn == SparseLcn ? SparseLcn : run.lcn + keep, run.length - keep};
            if (keep == 0) runs.erase(last);
            else run.length = keep;
        });
        if (released.length == 0) return;
        if (released.lcn != SparseLcn) m_volume.DeallocateClusters(m_owner, released.lcn, released.length);
    }
}

EAllocationZone CAttribute::Zone() const {
    bool mftData = m_type == AttrType::Data && RecordNumber(m_owner) == kMftRecord;
    return mftData ? EAllocationZone::MFT : EAllocationZone::DATA;
}

void CAttribute::Allocate(uint64_t newSize) {
    if (!m_nonResident)
        throw CException(EErrorKind::Corrupt, "Cannot allocate clusters for resident attribute %1", m_type);
    m_dirty = true;
    uint64_t clusterSize = m_volume.GetClusterSize();
    if (newSize > UINT64_MAX - clusterSize) throw CException(EErrorKind::Argument, "Cannot allocate %1 bytes", newSize);
    uint64_t allocated = GetAllocatedSize();
    uint64_t needed = RoundUp(newSize, AllocationGranule());
    // Sparse and compressed data grow by a hole: the new range reads as
    // zeros without taking clusters.
    const uint64_t count = needed > allocated ? (needed - allocated) / clusterSize : 0;
    if (count != 0 && (IsSparse() || HoldsCompressedData())) ChangeRuns([&](RunMap& runs) { AppendHole(runs, count); });
    else if (count != 0) ChangeRuns([&](RunMap& runs) { m_volume.AllocateClusters(m_owner, Zone(), count, runs); });
    m_dataSize = newSize;
}

void CAttribute::Reserve(uint64_t bytes) {
    if (!m_nonResident || IsSparse() || HoldsCompressedData())
        throw CException(EErrorKind::Corrupt, "Cannot reserve clusters for attribute %1", m_type);
    const uint64_t clusterSize = m_volume.GetClusterSize();
    if (bytes > UINT64_MAX - clusterSize) throw CException(EErrorKind::Argument, "Cannot allocate %1 bytes", bytes);
    const uint64_t allocated = GetAllocatedSize();
    const uint64_t needed = RoundUp(bytes, AllocationGranule());
    if (needed <= allocated) return;
    m_dirty = true;
    ChangeRuns([&](RunMap& runs) { m_volume.AllocateClusters(m_owner, Zone(), (needed - allocated) / clusterSize, runs); });
}

void CAttribute::MakeNonResident(uint64_t newSize) {
    m_dirty = true;
    if (m_nonResident) throw CException(EErrorKind::Corrupt, "Attribute %1 is already non-resident", m_type);
    ChangeRuns([](RunMap& runs) { runs.clear(); });
    m_dataSize = 0;
    m_initializedSize = 0;
    m_nonResident = true;
    if (HoldsCompressedData() && m_compressionUnit == 0) m_compressionUnit = kStandardCompressionUnit;
    size_t keep = static_cast<size_t>(std::min<uint64_t>(m_value.size(), newSize));
    try {
        Allocate(newSize);
        if (HoldsCompressedData()) m_initializedSize = newSize;  // the units past the value are holes
        if (keep != 0) WriteStored(0, m_value.data(), keep);
    } catch (...) {
        // Still the resident value it was.
        try {
            ReleaseRunsFrom(0);
        } catch (...) {
        }
        m_nonResident = false;
        ChangeRuns([](RunMap& runs) { runs.clear(); });
        m_dataSize = 0;
        m_initializedSize = 0;
        m_pendingUnit = ~uint64_t{0};
        throw;
    }
    m_value = {};
}

void CAttribute::ReleaseClusters() {
    m_dirty = true;
    if (!m_nonResident) {
        m_value = {};
        return;
    }
    m_pendingUnit = ~uint64_t{0};
    ReleaseRunsFrom(0);
    m_dataSize = 0;
    m_initializedSize = 0;
}

uint32_t CAttribute::HeaderSize() const { return AttributeHeaderSize(m_nonResident, IsCompressed() || IsSparse()); }

// Asked for every attribute whenever a record is sized: no header is built for it.
uint32_t CAttribute::ExtentHeaderSize() const { return AttributeBodyOffset(m_nonResident, m_flags, m_name.size()); }

uint32_t CAttribute::GetSerializedSize() const {
    if (!m_nonResident) return NumericCast<uint32_t>(ExtentHeaderSize() + RoundUp(m_value.size(), 8));
    int64_t previousLcn = 0;
    uint64_t pairs = 0;
    for (const auto& [vcn, run] : Runs()) pairs += MappingPairSize(run, previousLcn);
    return NumericCast<uint32_t>(ExtentHeaderSize() + RoundUp(pairs + 1, 8));
}

uint32_t CAttribute::Serialize(const CByteWriter& out) const {
    if (m_nonResident) return SerializeExtent(out, 0, RunsEndVcn(Runs()));
    CheckRoom(out);
    return WriteResidentRecord(out, RecordHeader(), m_value);
}

void CAttribute::CheckRoom(const CByteWriter& out) const {
    uint64_t required = ExtentHeaderSize() + (m_nonResident ? 0 : RoundUp(m_value.size(), 8));
    if (out.Size() < required)
        throw CException(EErrorKind::Corrupt, "Cannot save %1 attribute: buffer size %2 is too small",
                         m_nonResident ? "non-resident" : "resident", out.Size());
}

SAttributeHeader CAttribute::RecordHeader() const {
    SAttributeHeader header;
    header.type = m_type;
    header.flags = m_flags;
    header.nonResident = m_nonResident;
    header.name = m_name;
    return header;
}

uint32_t CAttribute::SerializeExtent(const CByteWriter& out, uint64_t firstVcn, uint64_t endVcn) const {
    if (!m_nonResident) throw CException(EErrorKind::Corrupt, "Cannot save resident attribute %1 as an extent", m_type);
    CheckRoom(out);
    SAttributeHeader header = RecordHeader();
    header.lowestVcn = firstVcn;
    header.highestVcn = endVcn - 1;  // all ones for an attribute without clusters
    header.compressionUnit = m_compressionUnit;
    header.allocatedSize = GetAllocatedSize();
    header.dataSize = m_dataSize;
    header.initializedSize = m_initializedSize;
    if (firstVcn == 0 && header.IsCompressedForm()) header.compressedSize = BytesInUse();
    uint32_t position = WriteNonResidentHeader(out, header);
    RunMap extent(Runs().lower_bound(VCN{firstVcn}), Runs().lower_bound(VCN{endVcn}));
    return EncodeMappingPairs(extent, out, position, firstVcn);
}

// Bytes of the runs that have clusters on the volume.
uint64_t CAttribute::BytesInUse() const {
    uint64_t clusters = 0;
    for (const auto& [vcn, run] : Runs())
        if (run.lcn != SparseLcn) clusters += run.length;
    return clusters * m_volume.GetClusterSize();
}

}  // namespace volcore
