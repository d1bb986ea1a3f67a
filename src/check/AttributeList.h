#pragma once
// $ATTRIBUTE_LIST entries: where each attribute of a file with extension
// records lives.
#include <cstdint>
#include <span>
#include <vector>

#include "disk/RecordReader.h"

namespace volcore::check {

using SListEntry = SAttributeListEntry;

// Parses a whole list value; raises CException at the first malformed entry.
std::vector<SListEntry> ParseAttributeList(std::span<const uint8_t> value);

}  // namespace volcore::check
