#include "volume/VolumeSession.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "entries/FileEntry.h"
#include "entries/RecordFormat.h"
#include "index/Directory.h"
#include "volume/Fixups.h"
#include "volume/Volume.h"

namespace volcore {

namespace {

constexpr uint32_t kLargestLogPage = 64 * 1024;
constexpr uint32_t kUsualLogPage = 4096;

// Where the flags word sits in record 3 as read.
size_t LocateVolumeFlags(const MftRecBufferPtr& record) {
    ParseMap parsed;
    ParseAttributeRecords(record, parsed);
    auto found = parsed.find(AttributeKey{AttrType::VolumeInformation, u"", 0});
    if (found == parsed.end() || found->second.front().IsNonResident())
        throw CException(EErrorKind::Corrupt, "$Volume has no volume information");
    const AttributeLocation& location = found->second.front();
    CByteReader attribute = location.Record();
    size_t value = attribute.U16(AttrRecord::ValueOffset);
    if (attribute.U32(AttrRecord::ValueLength) < VolumeInformation::Flags + 2)
        throw CException(EErrorKind::Corrupt, "$Volume has no volume information");
    return location.offset + value + VolumeInformation::Flags;
}

bool IsHibernationSignature(const uint8_t* bytes) {
    for (const char* signature : {"hibr", "HIBR", "wake", "WAKE"})
        if (std::memcmp(bytes, signature, 4) == 0) return true;
    return false;
}

bool IsHibernated(CVolume& volume) {
    SIndexEntryValue hiberfile;
    if (!volume.GetRoot() || !volume.GetRoot()->GetIndex().FindEntry(u"hiberfil.sys", hiberfile)) return false;
    // A hibernation file that cannot be read may hold a hibernated system.
    try {
        AttributePtr data = CFileEntry::Load(hiberfile.fileReference, volume)->FindAttribute(AttrType::Data);
        if (!data || data->GetSize() < 4) return false;
        uint8_t signature[4];
        data->ReadData(0, signature, 4);
        return IsHibernationSignature(signature);
    } catch (const std::exception&) {
        return true;
    }
}

// The verdict of one restart page at `offset`, or false when there is none.
bool ReadRestartPage(const CAttribute& log, uint64_t offset, uint32_t& pageSize, bool& clean) {
    if (log.GetSize() < offset || log.GetSize() - offset < RestartPage::HeaderSize) return false;
    uint8_t header[RestartPage::HeaderSize];
    log.ReadData(offset, header, RestartPage::HeaderSize);
    CByteReader fields(header, sizeof header);
    if (std::memcmp(header, "RSTR", 4) != 0 && std::memcmp(header, "CHKD", 4) != 0) return false;
    uint32_t size = fields.U32(RestartPage::SystemPageSize);
    if (size < 512 || size > kLargestLogPage || (size & (size - 1)) != 0 || log.GetSize() - offset < size)
        return false;
    pageSize = size;
    std::vector<uint8_t> page(size);
    log.ReadData(offset, page.data(), size);
    try {
        MstUnprotect(page, 1, size);
    } catch (const std::exception&) {
        return false;
    }
    CByteReader reader(page);
    size_t area = reader.U16(RestartPage::RestartAreaOffset);
    if (area + RestartArea::HeaderSize > size) return false;
    clean = reader.U16(area + RestartArea::ClientInUseList) == RestartArea::NoClient ||
            (reader.U16(area + RestartArea::Flags) & RestartArea::FlagVolumeIsClean) != 0;
    return true;
}

// A journal that others emptied (all bytes 0xFF) or that says no client has
// work left is clean; anything that cannot be read is not.
bool LogFileIsClean(CVolume& volume) {
    try {
        AttributePtr log = CFileEntry::Load(MakeReference(kLogFileRecord, 0), volume)->FindAttribute(AttrType::Data);
        if (!log || log->GetSize() == 0) return false;
        std::vector<uint8_t> start(static_cast<size_t>(std::min<uint64_t>(log->GetSize(), kUsualLogPage)));
        log->ReadData(0, start.data(), static_cast<uint32_t>(start.size()));
        if (std::all_of(start.begin(), start.end(), [](uint8_t byte) { return byte == 0xFF; })) return true;
        uint32_t pageSize = kUsualLogPage;
        bool clean = false;
        if (ReadRestartPage(*log, 0, pageSize, clean)) return clean;
        return ReadRestartPage(*log, pageSize, pageSize, clean) && clean;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

void CGuardedDevice::Write(uint64_t offset, const void* buffer, uint32_t length) {
    if (!m_inHook && m_beforeWrite) {
        m_inHook = true;
        try {
            m_beforeWrite();
        } catch (...) {
            m_inHook = false;
            throw;
        }
        m_inHook = false;
    }
    m_inner->Write(offset, buffer, length);
}

uint16_t ReadVolumeFlags(CVolume& volume) {
    MftRecBufferPtr record = volume.ReadMftRecord(MakeReference(kVolumeRecord, 0));
    return CByteReader(record->bytes).U16(LocateVolumeFlags(record));
}

void WriteVolumeFlags(CVolume& volume, uint16_t flags) {
    MftRecBufferPtr record = volume.ReadMftRecord(MakeReference(kVolumeRecord, 0));
    CByteWriter(record->bytes).U16(LocateVolumeFlags(record), flags);
    volume.WriteMftRecord(MakeReference(kVolumeRecord, 0), record);
}

std::string ReasonToStayReadOnly(CVolume& volume) {
    if (IsHibernated(volume)) return "Windows left it hibernated (hiberfil.sys)";
    if (!LogFileIsClean(volume)) return "its $LogFile holds changes that Windows has not replayed";
    return {};
}

}  // namespace volcore
