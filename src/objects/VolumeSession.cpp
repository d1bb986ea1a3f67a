#include "objects/VolumeSession.h"

#include <exception>
#include <optional>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"
#include "objects/Directory.h"
#include "objects/Volume.h"
#include "disk/WindowsTraces.h"

namespace volcore {

namespace {

// Finds the first unnamed $VOLUME_INFORMATION and refuses a damaged record
// before it, as a full parse would; nothing is collected on the way, since
// every session that writes reads and writes the flags twice.
class CVolumeInformationFinder final : public IAttributeVisitor {
public:
    void Attribute(const SAttributeHeader& header, const CByteReader&) override {
        if (!m_found && header.type == AttrType::VolumeInformation && header.name.empty()) m_found = header;
    }
    void Fault(EAttributeFault fault, const SAttributeHeader& header) override { RefuseAttributeRecord(fault, header); }
    const std::optional<SAttributeHeader>& Found() const { return m_found; }

private:
    std::optional<SAttributeHeader> m_found;
};

// Where the flags word sits in record 3 as read.
size_t LocateVolumeFlags(const MftRecBufferPtr& record) {
    CByteReader bytes(record->bytes);
    CVolumeInformationFinder finder;
    WalkAttributeRecords(bytes, bytes.U16(FileRecord::FirstAttribute), bytes.Size(), finder);
    const std::optional<SAttributeHeader>& header = finder.Found();
    if (!header || header->nonResident || header->valueLength < VolumeInformation::Flags + 2)
        throw CException(EErrorKind::Corrupt, "$Volume has no volume information");
    return header->offset + header->valueOffset + VolumeInformation::Flags;
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

void WriteVolumeFlags(IVolumeServices& volume, uint16_t flags) { ChangeVolumeFlags(volume, flags, 0xFFFF); }

// One read of record 3 for both the old word and the new: a session that
// writes changes the flag twice, and each read parses the whole record.
void ChangeVolumeFlags(IVolumeServices& volume, uint16_t set, uint16_t clear) {
    MftRecBufferPtr record = volume.ReadMftRecord(MakeReference(kVolumeRecord, 0));
    const size_t at = LocateVolumeFlags(record);
    CByteWriter writer(record->bytes);
    const uint16_t before = CByteReader(record->bytes).U16(at);
    writer.U16(at, static_cast<uint16_t>((before & ~clear) | set));
    volume.WriteMftRecord(MakeReference(kVolumeRecord, 0), record);
}

std::string ReasonToStayReadOnly(CVolume& volume) {
    if (IsHibernated(volume)) return "Windows left it hibernated (hiberfil.sys)";
    if (!JournalIsClean(volume)) return "its $LogFile holds changes that Windows has not replayed";
    return {};
}

}  // namespace volcore
