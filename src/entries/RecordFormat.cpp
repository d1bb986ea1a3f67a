#include "entries/RecordFormat.h"

#include "api/NotYet.h"

namespace volcore {
bool AttributeKey::operator<(const AttributeKey&) const { NotYet("AttributeKey"); }
CByteReader AttributeLocation::Record() const { NotYet("AttributeLocation"); }
bool AttributeLocation::IsNonResident() const { NotYet("AttributeLocation"); }
uint64_t AttributeLocation::LowestVcn() const { NotYet("AttributeLocation"); }
void ParseAttributeRecords(const MftRecBufferPtr&, ParseMap&) { NotYet("ParseAttributeRecords"); }
MftRecBufferPtr BuildRecordHeader(uint32_t, FileReference, FileReference, uint16_t, uint16_t) { NotYet("BuildRecordHeader"); }
uint16_t FreshSequenceNumber(uint64_t) { NotYet("FreshSequenceNumber"); }
uint32_t FirstAttributeOffset(uint32_t) { NotYet("FirstAttributeOffset"); }
const std::vector<SAttrDef>& AttributeDefinitions() { NotYet("AttributeDefinitions"); }
std::vector<uint8_t> BuildAttrDefTable() { NotYet("BuildAttrDefTable"); }
}  // namespace volcore
