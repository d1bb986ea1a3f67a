#include "entries/File.h"

#include "api/NotYet.h"

namespace volcore {
CFsObject::CFsObject(std::shared_ptr<CFileEntry> entry, CVolume& volume)
    : m_entry(std::move(entry)), m_volume(volume), m_reference(0), m_parentReference(0) { NotYet("CFsObject"); }
CFileEntry& CFsObject::GetEntry() const { NotYet("CFsObject"); }
void CFsObject::CheckAlive() const { NotYet("CFsObject"); }
StandardInformation CFsObject::GetAttributesAndTime() const { NotYet("CFsObject"); }
void CFsObject::SetAttributesAndTime(const StandardInformation&) { NotYet("CFsObject"); }
void CFsObject::UpdateFileName() { NotYet("CFsObject"); }
void CFsObject::DeleteObject() { NotYet("CFsObject"); }
CFile::CFile(std::shared_ptr<CFileEntry> entry, CVolume& volume) : CFsObject(std::move(entry), volume) {}
CFile::~CFile() = default;
std::shared_ptr<CFile> CFile::Open(CVolume&, FileReference) { NotYet("CFile"); }
std::shared_ptr<CFile> CFile::OpenByPath(CVolume&, std::u16string_view) { NotYet("CFile"); }
std::shared_ptr<CFile> CFile::Create(CVolume&, FileReference, const std::u16string&) { NotYet("CFile"); }
std::shared_ptr<CFile> CFile::CreateByPath(CVolume&, std::u16string_view) { NotYet("CFile"); }
uint64_t CFile::GetSize() const { NotYet("CFile"); }
void CFile::Read(uint64_t, void*, uint32_t) const { NotYet("CFile"); }
void CFile::Write(uint64_t, const void*, uint32_t) { NotYet("CFile"); }
void CFile::SetSize(uint64_t) { NotYet("CFile"); }
void CFile::Delete() { NotYet("CFile"); }
void CFile::Flush() { NotYet("CFile"); }
}  // namespace volcore
