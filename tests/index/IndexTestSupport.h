#pragma once
// Shared pieces of the directory index tests.
#include <cstdint>
#include <string>

#include "entries/FileEntry.h"
#include "index/Index.h"

namespace volkit::test {

// A directory entry built by hand: 72-byte $STANDARD_INFORMATION, a
// $FILE_NAME "d" under the root and an empty $I30 root. Not linked anywhere.
volcore::FileEntryPtr MakeDirectoryEntry(volcore::CVolume& volume);

// Twelve-unit names: an entry of 112 bytes each.
std::u16string TwelveUnitName(int i);

volcore::SIndexEntryValue ValueFor(uint64_t reference);

std::vector<uint8_t> RootValue(const volcore::CFileEntry& entry);

// Every entry of the index in index order.
using IndexListing = std::vector<std::pair<std::u16string, volcore::SIndexEntryValue>>;
IndexListing ListEntries(volcore::CIndex& index);

}  // namespace volkit::test
