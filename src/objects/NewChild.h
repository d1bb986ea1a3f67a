#pragma once
// The part of creating a file or a directory that both share: a fresh record
// with $STANDARD_INFORMATION and $FILE_NAME, not yet linked into its parent.
#include <cstdint>
#include <string>
#include <vector>

#include "entries/FileEntry.h"
#include "index/Index.h"
#include "objects/File.h"

namespace volcore {

class CDirectory;

struct SNewChild {
    FileEntryPtr entry;
    std::vector<uint8_t> fileName;    // the $FILE_NAME value, also the parent's index key
    CIndex::SInsertPosition position;  // the name's place in the parent's index
};

// Refuses a name that could not be linked into `parent`, before any record is
// taken (a failed create must leave nothing behind), and tells where it goes.
CIndex::SInsertPosition CheckNewName(const CDirectory& parent, const std::u16string& name);

// Takes a free record and gives it the two attributes every object has; the
// owner and security ids come from the parent's standard information, which
// the caller has read already. On failure the record is released again.
SNewChild CreateChildEntry(CDirectory& parent, const StandardInformation& parentInfo, const std::u16string& name,
                           uint16_t recordFlags, uint32_t fileAttributes);

// Writes the new object's record, then links it into its parent's index and
// writes that, using up the child's position. On failure the name is out of
// the index again.
void LinkChild(CDirectory& parent, const std::u16string& name, SNewChild& child);

// Releases the record of a create that did not complete. Never raises: the
// failure that got us here is the one to report.
void DiscardChildEntry(CFileEntry& entry) noexcept;

}  // namespace volcore
