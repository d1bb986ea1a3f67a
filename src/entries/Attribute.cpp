#include "entries/Attribute.h"

#include "api/NotYet.h"

namespace volcore {
CAttribute::CAttribute(CVolume& volume, FileReference owner, uint32_t, std::u16string, bool)
    : m_volume(volume), m_owner(owner) { NotYet("CAttribute"); }
CAttribute::CAttribute(CVolume& volume, FileReference owner, const AttributeLocations&)
    : m_volume(volume), m_owner(owner) { NotYet("CAttribute"); }
uint64_t CAttribute::GetSize() const { NotYet("CAttribute"); }
uint64_t CAttribute::GetAllocatedSize() const { NotYet("CAttribute"); }
uint32_t CAttribute::MaxResidentSize(uint32_t) { NotYet("CAttribute"); }
void CAttribute::ReadData(uint64_t, void*, uint32_t) const { NotYet("CAttribute"); }
void CAttribute::WriteData(uint64_t, const void*, uint32_t) { NotYet("CAttribute"); }
std::vector<uint8_t> CAttribute::ReadAll() const { NotYet("CAttribute"); }
void CAttribute::SetSize(uint64_t) { NotYet("CAttribute"); }
void CAttribute::Allocate(uint64_t) { NotYet("CAttribute"); }
void CAttribute::MakeNonResident(uint64_t) { NotYet("CAttribute"); }
void CAttribute::ReleaseClusters() { NotYet("CAttribute"); }
void CAttribute::AddExtent(const AttributeLocation&) { NotYet("CAttribute"); }
uint32_t CAttribute::GetSerializedSize() const { NotYet("CAttribute"); }
uint32_t CAttribute::Serialize(const CByteWriter&) const { NotYet("CAttribute"); }
void CAttribute::InitFromBaseExtent(const AttributeLocation&) { NotYet("CAttribute"); }
}  // namespace volcore
