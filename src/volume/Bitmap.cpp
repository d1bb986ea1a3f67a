#include "volume/Bitmap.h"

#include "api/NotYet.h"
#include "entries/Attribute.h"

namespace volcore {
CBitmap::CBitmap(std::shared_ptr<CAttribute> attribute) : m_attribute(std::move(attribute)) { NotYet("CBitmap"); }
CBitmap::~CBitmap() = default;
uint64_t CBitmap::GetSize() const { NotYet("CBitmap"); }
void CBitmap::CheckIndex(uint64_t) const { NotYet("CBitmap"); }
bool CBitmap::Test(uint64_t) const { NotYet("CBitmap"); }
void CBitmap::Set(uint64_t) { NotYet("CBitmap"); }
void CBitmap::Clear(uint64_t) { NotYet("CBitmap"); }
void CBitmap::SetRange(uint64_t, uint64_t) { NotYet("CBitmap"); }
void CBitmap::ClearRange(uint64_t, uint64_t) { NotYet("CBitmap"); }
uint64_t CBitmap::FindClearRun(uint64_t, uint64_t) const { NotYet("CBitmap"); }
void CBitmap::Resize(uint64_t) { NotYet("CBitmap"); }
void CBitmap::Flush() { NotYet("CBitmap"); }
}  // namespace volcore
