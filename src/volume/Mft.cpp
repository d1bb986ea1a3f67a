#include "volume/Mft.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "volume/Bitmap.h"
#include "disk/Fixups.h"
#include "disk/VolumeServices.h"

namespace volcore {

namespace {

// Records below this number belong to the system files and are never handed out.
constexpr uint64_t kFirstAllocatableRecord = 25;
// Records kept for $MFT's own extension records, [first, end).
constexpr uint64_t kFirstReservedRecord = 16;
constexpr uint64_t kEndOfReservedRecords = 24;
constexpr uint32_t kGrowthWhenFull = 1024;
constexpr uint32_t kLargestGrowth = 65536;
// Records are added a few dozen at a time, space permitting: each growth
// rewrites record 0 and then its mirror copy, a moment in which the two differ.
// A session starts with a few and doubles the step each growth: a short
// session (one create) formats and writes 8 KiB, not 64.
constexpr uint64_t kFirstGrowthStep = 8;
constexpr uint64_t kGrowthStep = 64;
// The update sequence count is 16 bits, so no record can span more strides.
constexpr uint64_t kLargestProtectableRecord = uint64_t{0xFFFE} * 512;
// The most record bytes Extend formats in one buffer: four 1 KiB records, a
// device write each time, in one page, which a create on a fresh volume
// otherwise touches four of for its first growth.
constexpr uint64_t kExtendBatchBytes = 4 * 1024;

void CheckRecordZero(const CMftRecBuffer& record, uint32_t recordSize) {
    const SFileRecordHeader header = ReadFileRecordHeader(record.bytes);
    if (!header.IsFileRecord())
        throw CException(EErrorKind::Corrupt, "MFT record: invalid signature %1", header.signature);
    if (header.bytesAllocated != recordSize)
        throw CException(EErrorKind::Corrupt, "MFT record: invalid allocation size %1 (expected: %2)",
                         header.bytesAllocated, recordSize);
    if (header.firstAttribute >= recordSize)
        throw CException(EErrorKind::Corrupt, "MFT record: invalid attributes offset %1", header.firstAttribute);
}

MftRecBufferPtr ReadRecordZero(IVolumeServices& volume) {
    uint32_t recordSize = volume.GetMftRecordSize();
    if (recordSize > kLargestProtectableRecord)
        throw CException(EErrorKind::Corrupt, "MFT record: invalid record size %1", recordSize);
    uint64_t clusters = volume.GetDevice().GetSize() / volume.GetClusterSize();
    if (volume.GetMftLcn() >= clusters)
        throw CException(EErrorKind::Corrupt, "MFT LCN %1 is beyond the end of the volume (%2 clusters)",
                         volume.GetMftLcn(), clusters);
    auto record = CMftRecBuffer::ForFilling(recordSize);
    volume.GetDevice().Read(volume.GetMftLcn() * volume.GetClusterSize(), record->bytes.data(), recordSize);
    MstUnprotect(record->bytes, 1, recordSize);
    CheckRecordZero(*record, recordSize);
    return record;
}

void CheckMftData(const CAttribute& data) {
    if (!data.IsNonResident() || data.IsCompressed() || data.IsEncrypted())
        throw CException(EErrorKind::Corrupt, "MFT DATA cannot be resident, compressed or encrypted");
}

// The header a grown record carries until a file entry builds a real one: a
// whole empty record, not in use. A record marked in the bitmap whose entry
// never reached the disk (a crash in between) is left this way, and checkers
// then see a leak, not a broken record.
void WriteMinimalHeader(const CByteWriter& record, uint32_t recordSize, uint64_t recordNumber) {
    WriteRecordHeader(record, recordNumber, 0, 0, 0, 0);
    const uint32_t firstAttribute = FirstAttributeOffset(recordSize);
    record.U32(firstAttribute, AttrType::End);
    record.U32(FileRecord::BytesInUse, firstAttribute + FileRecord::EndMarkerSize);
}

}  // namespace

void CMft::Load() {
    LogInfo("Initializing MFT");
    LoadSystemEntries(ReadRecordZero(m_volume));
}

void CMft::LoadSystemEntries(const MftRecBufferPtr& recordZero) {
    // A fragmented $MFT keeps part of its own runs in extension records, which
    // can only be read through what record 0 maps by itself.
    m_mftData = DataOfRecordZero(recordZero);
    m_mftEntry = CFileEntry::LoadFromBuffer(recordZero, m_volume);
    LogInfo("Loading MFT Bitmap");
    m_bitmap = std::make_unique<CBitmap>(m_mftEntry->GetAttribute(AttrType::Bitmap));
    AttributePtr data = m_mftEntry->GetAttribute(AttrType::Data);
    CheckMftData(*data);
    m_mftData = data;
    m_mirrorEntry = CFileEntry::Load(MakeReference(kMftMirrRecord, 0), m_volume);
}

AttributePtr CMft::DataOfRecordZero(const MftRecBufferPtr& recordZero) {
    ParseMap parsed;
    ParseAttributeRecords(recordZero, parsed);
    auto found = parsed.find(SAttributeKey{AttrType::Data, u"", 0});
    if (found == parsed.end() || found->second.front().LowestVcn() != 0) return nullptr;
    return CAttribute::FirstExtentOnly(m_volume, 0, found->second.front());
}

CMft::CMft(uint32_t recordSize, uint32_t mirrorRecordCount, IVolumeServices& volume)
    : m_recordSize(recordSize), m_mirrorRecordCount(mirrorRecordCount), m_volume(volume) {}

CMft::~CMft() = default;

std::shared_ptr<CAttribute> CMft::GetMftData() {
    if (!m_mftData) {
        if (!m_mftEntry) throw CException(EErrorKind::Argument, "MFT is not loaded");
        m_mftData = m_mftEntry->GetAttribute(AttrType::Data);
    }
    return m_mftData;
}

uint64_t CMft::GetRecordCount() { return GetMftData()->GetSize() / m_recordSize; }

void CMft::CheckRecordExists(uint64_t recordNumber) {
    uint64_t count = GetRecordCount();
    if (recordNumber >= count)
        throw CException(EErrorKind::Corrupt, "MFT record %1 is beyond the end of the MFT (%2 records)", recordNumber,
                         count);
}

MftRecBufferPtr CMft::ReadRecord(FileReference reference) {
    uint64_t recordNumber = RecordNumber(reference);
    CheckRecordExists(recordNumber);
    auto record = CMftRecBuffer::ForFilling(m_recordSize);
    GetMftData()->ReadData(recordNumber * m_recordSize, record->bytes.data(), m_recordSize);
    MstUnprotect(record->bytes, 1, m_recordSize);
    return record;
}

void CMft::WriteRecord(FileReference reference, const MftRecBufferPtr& buffer) {
    if (buffer->bytes.size() != m_recordSize)
        throw CException(EErrorKind::Corrupt, "Invalid record size %1 (expected %2)", buffer->bytes.size(),
                         m_recordSize);
    uint64_t recordNumber = RecordNumber(reference);
    if (m_handedOut && m_handedOut->record == recordNumber) m_handedOut.reset();
    if (!GetBitmap().Test(recordNumber))
        throw CException(EErrorKind::Corrupt, "Attempt to write unallocated MFT record %1", recordNumber);
    CheckRecordExists(recordNumber);
    MstProtect(buffer->bytes, 1, m_recordSize);
    uint64_t offset = recordNumber * m_recordSize;
    if (recordNumber >= m_mirrorRecordCount) {
        GetMftData()->WriteData(offset, buffer->bytes.data(), m_recordSize);
        return;
    }
    // A record that differs from its mirror makes the volume unusable for
    // every reader: when the mirror cannot follow, the record goes back.
    const auto previous = std::make_unique_for_overwrite<uint8_t[]>(m_recordSize);  // read whole below
    GetMftData()->ReadData(offset, previous.get(), m_recordSize);
    GetMftData()->WriteData(offset, buffer->bytes.data(), m_recordSize);
    try {
        GetMirrorData()->WriteData(offset, buffer->bytes.data(), m_recordSize);
    } catch (...) {
        try {
            GetMftData()->WriteData(offset, previous.get(), m_recordSize);
        } catch (...) {
        }
        throw;
    }
}

std::shared_ptr<CAttribute> CMft::GetMirrorData() {
    if (!m_mirrorEntry) throw CException(EErrorKind::Argument, "MFT mirror is not loaded");
    return m_mirrorEntry->GetAttribute(AttrType::Data);
}

CBitmap& CMft::GetBitmap() const {
    if (!m_bitmap) throw CException(EErrorKind::Argument, "MFT bitmap is not loaded");
    return *m_bitmap;
}

uint64_t CMft::AllocateRecord() {
    m_volume.BeginWrite();
    CBitmap& bitmap = GetBitmap();
    m_handedOut.reset();
    m_seen.reset();
    uint64_t recordNumber = FindFreeRecord();
    // Taken now: saving record 0 below may allocate (and read headers) again.
    const std::optional<SSeenSequence> seen =
        m_seen && m_seen->record == recordNumber ? m_seen : std::optional<SSeenSequence>();
    if (recordNumber == CBitmap::NotFound) {
        recordNumber = bitmap.GetSize();
        ExtendWhenFull();
    }
    // A bitmap may reach past the last record; such a bit needs its record first.
    uint64_t count = GetRecordCount();
    if (recordNumber >= count) GrowBy(recordNumber - count + 1);
    bitmap.Set(recordNumber);
    // Records the MFT grew by exist for other readers only once record 0
    // says so: before any of them is written, and again after a failed try.
    if (m_mftEntry && m_mftEntry->IsDirty()) {
        try {
            SaveMftEntry();
        } catch (...) {
            bitmap.Clear(recordNumber);
            throw;
        }
    }
    m_firstMaybeFree = recordNumber + 1;
    m_handedOut = seen;
    return recordNumber;
}

uint16_t CMft::StoredSequenceNumber(uint64_t recordNumber) {
    if (m_handedOut && m_handedOut->record == recordNumber) {
        const uint16_t sequence = m_handedOut->sequence;
        m_handedOut.reset();
        return sequence;
    }
    RecordSaysInUse(recordNumber);
    if (!m_seen || m_seen->record != recordNumber) return 0;
    return m_seen->sequence;
}

uint64_t CMft::AllocateReservedRecord() {
    m_volume.BeginWrite();
    CBitmap& bitmap = GetBitmap();
    for (uint64_t record = kFirstReservedRecord; record < kEndOfReservedRecords; ++record) {
        if (record >= GetRecordCount() || record >= bitmap.GetSize() || bitmap.Test(record) || RecordSaysInUse(record)) continue;
        bitmap.Set(record);
        return record;
    }
    throw CException(EErrorKind::Unsupported,
                     "Cannot grow the MFT: records %1 to %2, kept for its own extension records, are all taken",
                     kFirstReservedRecord, kEndOfReservedRecords - 1);
}

// Every record between the first allocatable one and the hint is in use,
// unless a bit was cleared behind the MFT's back: then look again from the
// start, unless no bit was cleared since such a search last found none (the
// MFT grows 64 records at a time, and each time its bitmap is full). A clear
// bit whose record says it is in use was lost by whoever wrote the bitmap
// (its file is live, whatever the bit says): the bit is set again and the
// search goes on, so a live file is never handed out as a new one.
uint64_t CMft::FindFreeRecord() {
    CBitmap& bitmap = GetBitmap();
    for (;;) {
        uint64_t found = CBitmap::NotFound;
        for (uint64_t start : {std::max(kFirstAllocatableRecord, m_firstMaybeFree), kFirstAllocatableRecord}) {
            if (found == CBitmap::NotFound && bitmap.GetSize() > start) found = bitmap.FindClearRun(1, start);
            if (start == kFirstAllocatableRecord) break;
            if (found == CBitmap::NotFound && bitmap.ClearGeneration() == m_fullAtGeneration) break;
        }
        if (found == CBitmap::NotFound) m_fullAtGeneration = bitmap.ClearGeneration();
        if (found == CBitmap::NotFound || !RecordSaysInUse(found)) return found;
        LogWarning(FormatText("MFT record %1 is in use but free in the MFT bitmap: it is marked in use again", found));
        bitmap.Set(found);
    }
}

// Only the header is read: it lies before the first fixup, so a torn record
// still tells whether it was in use.
bool CMft::RecordSaysInUse(uint64_t recordNumber) {
    m_seen.reset();
    if (recordNumber >= GetRecordCount()) return false;
    std::array<uint8_t, FileRecord::HeaderSize> header;  // on the stack: every create asks
    GetMftData()->ReadData(recordNumber * m_recordSize, header.data(), static_cast<uint32_t>(header.size()));
    const SFileRecordHeader read = ReadFileRecordHeader(header);
    m_seen = SSeenSequence{recordNumber, read.IsFileRecord() ? read.sequence : uint16_t{0}};
    return read.IsInUse();
}

// Saving $MFT may take a record for its own attribute list, which comes back
// here: that inner allocation leaves the save to the one under way.
void CMft::SaveMftEntry() {
    if (m_savingMftEntry) return;
    m_savingMftEntry = true;
    try {
        // The bitmap first: writing it may move its initialized size, which
        // the record must carry. Written after the record was built (as every
        // record write flushes the bitmaps first), that change was lost, and
        // the bits of records the MFT grew by read as free in the next session.
        FlushBitmap();
        m_mftEntry->Save();
    } catch (...) {
        m_savingMftEntry = false;
        throw;
    }
    m_savingMftEntry = false;
}

void CMft::FreeRecord(FileReference reference) {
    if (m_handedOut && m_handedOut->record == RecordNumber(reference)) m_handedOut.reset();
    GetBitmap().Clear(RecordNumber(reference));
    m_firstMaybeFree = std::min(m_firstMaybeFree, RecordNumber(reference));
}

// Clusters are taken by an eighth of the records there are (1,024 at least,
// 65,536 at most): each growth usually adds one run to $MFT's data, and
// record 0 with the records kept for its extensions can map only so many. A
// volume without room for that many gets only a few. Records are made from
// those clusters a step at a time, as they are needed: formatting an eighth
// of a large $MFT at once would write megabytes on the first create of a
// session. An allocated tail (mkntfs leaves one) is used up the same way.
void CMft::ExtendWhenFull() {
    AttributePtr data = GetMftData();
    const uint64_t count = GetRecordCount();
    if (data->GetAllocatedSize() / m_recordSize <= count) {
        const uint64_t step = std::clamp<uint64_t>(count / 8, kGrowthWhenFull, kLargestGrowth);
        try {
            data->Reserve((count + step) * m_recordSize);
        } catch (const CException& e) {
            if (e.Kind() != EErrorKind::Argument) throw;
        }
    }
    const uint64_t reserved = data->GetAllocatedSize() / m_recordSize;
    const uint64_t tail = reserved > count ? reserved - count : 0;
    const uint64_t step = NextGrowthStep();
    try {
        Extend(NumericCast<uint32_t>(tail > 0 ? std::min(tail, step) : step));
        return;
    } catch (const CException& e) {
        if (e.Kind() != EErrorKind::Argument) throw;
    }
    Extend(8);
}

// As far as the bitmap already reaches, so that the bitmap need not grow too.
void CMft::GrowBy(uint64_t needed) {
    const uint64_t count = GetRecordCount();
    const uint64_t covered = GetBitmap().GetSize() > count ? GetBitmap().GetSize() - count : 0;
    const uint64_t step = std::min(NextGrowthStep(), covered);
    if (needed < step) {
        try {
            Extend(NumericCast<uint32_t>(step));
            return;
        } catch (const CException& e) {
            // No room for the whole step: only what is needed.
            if (e.Kind() != EErrorKind::Argument) throw;
        }
    }
    Extend(NumericCast<uint32_t>(needed));
}

uint64_t CMft::NextGrowthStep() {
    const uint64_t step = m_growthStep == 0 ? kFirstGrowthStep : m_growthStep;
    m_growthStep = std::min(step * 2, kGrowthStep);
    return step;
}

void CMft::Extend(uint32_t count) {
    AttributePtr data = GetMftData();
    uint64_t dataSize = data->GetSize();
    uint64_t current = dataSize / m_recordSize;
    uint64_t target = RoundUp(current + count, 8);
    uint64_t added = target - current;
    uint32_t bytes = NumericCast<uint32_t>(added * m_recordSize);

    data->SetSize(dataSize + bytes);
    // Written a batch at a time: the tail mkntfs leaves allocated, or one a
    // hostile image claims, may be far larger than any buffer worth holding.
    const uint64_t perBatch = std::max<uint64_t>(1, kExtendBatchBytes / m_recordSize);
    // Cleared once and kept, as growths come a few dozen records at a time:
    // every batch writes its headers over the same bytes.
    std::vector<uint8_t>& records = m_formatted;
    const size_t batchBytes = static_cast<size_t>(std::min(added, perBatch) * m_recordSize);
    if (records.size() < batchBytes) records.resize(batchBytes);
    for (uint64_t done = 0; done < added;) {
        const uint64_t batch = std::min(added - done, perBatch);
        CByteWriter writer(records);
        for (uint64_t i = 0; i < batch; ++i)
            WriteMinimalHeader(writer.Sub(i * m_recordSize, m_recordSize), m_recordSize, current + done + i);
        data->WriteData(dataSize + done * m_recordSize, records.data(), NumericCast<uint32_t>(batch * m_recordSize));
        done += batch;
    }
    // The bitmap is kept in whole bytes and may already cover more records:
    // it only ever grows here.
    CBitmap& bitmap = GetBitmap();
    bitmap.Resize(std::max(target, bitmap.GetSize()));
}

void CMft::CompareMirror() {
    uint32_t bytes = NumericCast<uint32_t>(uint64_t{m_mirrorRecordCount} * m_recordSize);
    std::vector<uint8_t> mirror(bytes, 0);
    GetMirrorData()->ReadData(0, mirror.data(), bytes);
    MstUnprotect(mirror, m_mirrorRecordCount, m_recordSize);
    for (uint32_t i = 0; i < m_mirrorRecordCount; ++i) {
        MftRecBufferPtr record = ReadRecord(i);
        const SFileRecordHeader header = ReadFileRecordHeader(record->bytes);
        if (!header.IsFileRecord()) continue;
        uint32_t inUse = std::min(header.bytesInUse, m_recordSize);
        if (std::memcmp(record->bytes.data(), mirror.data() + size_t{i} * m_recordSize, inUse) != 0)
            throw CException(EErrorKind::Corrupt, "MFT mirror: record %1 differs", i);
    }
}

void CMft::FlushBitmap() {
    if (m_bitmap) m_bitmap->Flush();
}

void CMft::Flush() {
    LogInfo("Flushing MFT");
    // Saving $MFT may take records for its own extension records, which
    // changes the bitmap again; the second round writes what that changed.
    for (int round = 0; round < 2; ++round) {
        if (m_bitmap) m_bitmap->Flush();
        if (m_mftEntry) SaveMftEntry();
        if (m_mirrorEntry) m_mirrorEntry->Save();
    }
}

}  // namespace volcore
