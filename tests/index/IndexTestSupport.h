#pragma once
// Names, values and listings shared by the directory index tests.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "index/Index.h"

namespace volcore::test {

// Twelve-unit names: an entry of 112 bytes each.
inline std::u16string TwelveUnitName(int i) {
    char text[24];
    std::snprintf(text, sizeof text, "name-%07d", i);
    return std::u16string(text, text + 12);
}

inline SIndexEntryValue ValueFor(uint64_t reference) {
    SIndexEntryValue value;
    value.fileReference = reference;
    value.parentReference = MakeReference(kRootRecord, kRootRecord);
    value.modificationTime = reference * 5;
    value.dataSize = reference * 7;
    value.nameSpace = FileNameValue::NameSpaceWin32;
    return value;
}

// Every entry of the index in index order.
using IndexListing = std::vector<std::pair<std::u16string, SIndexEntryValue>>;
inline IndexListing ListEntries(CIndex& index) {
    IndexListing entries;
    index.ForEach([&](std::u16string_view name, const SIndexEntryValue& value) {
        entries.emplace_back(name, value);
        return true;
    });
    return entries;
}

}  // namespace volcore::test
