#pragma once
// $ATTRIBUTE_LIST entries: where each attribute of a file with extension
// records lives.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "disk/Types.h"

namespace volcore::check {

struct SListEntry {
    uint32_t type = 0;
    std::u16string name;
    uint64_t lowestVcn = 0;
    FileReference reference = 0;
    uint16_t instance = 0;
};

// Parses a whole list value; raises CException at the first malformed entry.
std::vector<SListEntry> ParseAttributeList(std::span<const uint8_t> value);

}  // namespace volcore::check
