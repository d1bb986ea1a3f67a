#include "objects/VolumeSession.h"

#include <exception>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "objects/Volume.h"
#include "disk/WindowsTraces.h"

namespace volcore {

namespace {

// Where the flags word sits in record 3 as read.
size_t LocateVolumeFlags(const MftRecBufferPtr& record) {
    ParseMap parsed;
    ParseAttributeRecords(record, parsed);
    auto found = parsed.find(SAttributeKey{AttrType::VolumeInformation, u"", 0});
    if (found == parsed.end() || found->second.front().IsNonResident())
        throw CException(EErrorKind::Corrupt, "$Volume has no volume information");
    const SAttributeLocation& location = found->second.front();
    const SAttributeHeader header = location.Header();
    if (header.valueLength < VolumeInformation::Flags + 2)
        throw CException(EErrorKind::Corrupt, "$Volume has no volume information");
    return location.offset + header.valueOffset + VolumeInformation::Flags;
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

// A journal that cannot be read is taken as one with work left.
bool JournalIsClean(CVolume& volume) {
    try {
        AttributePtr log = CFileEntry::Load(MakeReference(kLogFileRecord, 0), volume)->FindAttribute(AttrType::Data);
        if (!log) return false;
        return LogFileIsClean(log->GetSize(), [&](uint64_t offset, uint8_t* buffer, uint32_t length) {
            log->ReadData(offset, buffer, length);
        });
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

uint16_t ReadVolumeFlags(IVolumeServices& volume) {
    MftRecBufferPtr record = volume.ReadMftRecord(MakeReference(kVolumeRecord, 0));
    return CByteReader(record->bytes).U16(LocateVolumeFlags(record));
}

void WriteVolumeFlags(IVolumeServices& volume, uint16_t flags) {
    MftRecBufferPtr record = volume.ReadMftRecord(MakeReference(kVolumeRecord, 0));
    CByteWriter(record->bytes).U16(LocateVolumeFlags(record), flags);
    volume.WriteMftRecord(MakeReference(kVolumeRecord, 0), record);
}

std::string ReasonToStayReadOnly(CVolume& volume) {
    if (IsHibernated(volume)) return "Windows left it hibernated (hiberfil.sys)";
    if (!JournalIsClean(volume)) return "its $LogFile holds changes that Windows has not replayed";
    return {};
}

}  // namespace volcore
