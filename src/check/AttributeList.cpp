#include "check/AttributeList.h"

#include "base/Bytes.h"
#include "base/Exception.h"

namespace volcore::check {

std::vector<SListEntry> ParseAttributeList(std::span<const uint8_t> value) {
    CByteReader list(value);
    std::vector<SListEntry> entries;
    for (size_t position = 0; position < list.Size();) {
        SListEntry entry;
        switch (ReadAttributeListEntry(list, position, entry)) {
        case EListEntryFault::Length:
            throw CException(EErrorKind::Corrupt, "Attribute list entry at offset %1 has length %2", position,
                             entry.length);
        case EListEntryFault::NameOutside:
            throw CException(EErrorKind::Corrupt, "Attribute list entry at offset %1 has a name past its end",
                             position);
        case EListEntryFault::None:
            break;
        }
        position += entry.length;
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace volcore::check
