#include "volume/Mft.h"

#include "api/NotYet.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "volume/Bitmap.h"

namespace volcore {
std::shared_ptr<CMft> CMft::Initialize(CVolume&) { NotYet("CMft"); }
CMft::CMft(uint32_t recordSize, uint32_t mirrorRecordCount, CVolume& volume)
    : m_recordSize(recordSize), m_mirrorRecordCount(mirrorRecordCount), m_volume(volume) {}
CMft::~CMft() = default;
MftRecBufferPtr CMft::ReadRecord(FileReference) { NotYet("CMft"); }
void CMft::WriteRecord(FileReference, const MftRecBufferPtr&) { NotYet("CMft"); }
uint64_t CMft::AllocateRecord() { NotYet("CMft"); }
void CMft::FreeRecord(FileReference) { NotYet("CMft"); }
void CMft::Extend(uint32_t) { NotYet("CMft"); }
void CMft::CompareMirror() { NotYet("CMft"); }
void CMft::Flush() { NotYet("CMft"); }
std::shared_ptr<CAttribute> CMft::GetMftData() { NotYet("CMft"); }
uint64_t CMft::GetRecordCount() { NotYet("CMft"); }
}  // namespace volcore
