#include "check/AttributeList.h"

#include "base/Bytes.h"
#include "disk/RecordFormat.h"

namespace volcore::check {
namespace {

constexpr uint32_t kSmallestEntry = AttrListEntry::Instance + 2;

}  // namespace

std::vector<SListEntry> ParseAttributeList(std::span<const uint8_t> value) {
    CByteReader list(value);
    std::vector<SListEntry> entries;
    for (size_t position = 0; position < list.Size();) {
        uint16_t length = list.Size() - position >= kSmallestEntry ? list.U16(position + AttrListEntry::Length) : 0;
        if (length < kSmallestEntry || length > list.Size() - position)
            throw CException(EErrorKind::Corrupt, "Attribute list entry at offset %1 has length %2", position, length);
        CByteReader entry = list.Sub(position, length);
        uint64_t nameEnd = entry.U8(AttrListEntry::NameOffset) + 2ull * entry.U8(AttrListEntry::NameLength);
        if (nameEnd > length)
            throw CException(EErrorKind::Corrupt, "Attribute list entry at offset %1 has a name past its end",
                             position);
        SListEntry parsed;
        parsed.type = entry.U32(AttrListEntry::Type);
        parsed.name = entry.Utf16(entry.U8(AttrListEntry::NameOffset), entry.U8(AttrListEntry::NameLength));
        parsed.lowestVcn = entry.U64(AttrListEntry::LowestVcn);
        parsed.reference = entry.U64(AttrListEntry::Reference);
        parsed.instance = entry.U16(AttrListEntry::Instance);
        entries.push_back(std::move(parsed));
        position += length;
    }
    return entries;
}

}  // namespace volcore::check
