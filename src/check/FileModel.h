#pragma once
// A file as its base record and the extension records its attribute list
// names, and its attributes as streams (every extent merged).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "check/AttributeList.h"
#include "check/RecordParser.h"
#include "check/VolumeReader.h"

namespace volcore::check {

class CMftAccess;

struct SStream {
    bool resident = false;
    std::vector<uint8_t> value;  // resident
    RunMap runs;                 // non-resident: the runs of every extent
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;  // what lies past it reads as zeros, whatever the clusters hold
    uint16_t flags = 0;  // of the first extent
    std::optional<uint64_t> compressedSize;  // of the first extent
    uint16_t compressionUnit = 0;
    std::string chainError;  // how the extents fail to cover the allocation, "" when they do

    uint64_t Size() const { return resident ? value.size() : dataSize; }
};

struct SFile {
    SRecord base;
    std::vector<SRecord> extensions;
    std::vector<SListEntry> list;
    std::vector<SProblem> problems;  // the list against the records it names

    uint64_t Number() const { return base.number; }
    // Every attribute of the file, the base record's first.
    std::vector<const SAttribute*> Attributes() const;
    // The extents (or resident occurrences) of one attribute, in VCN order.
    std::vector<const SAttribute*> Extents(uint32_t type, std::u16string_view name) const;
    std::optional<SStream> Stream(uint32_t type, std::u16string_view name, uint32_t clusterSize) const;
};

// What loading files may still read: lists that share clusters, or that name
// the same records again and again, must not keep the check reading forever.
struct SReadBudget {
    uint64_t extensionRecords = 0;
    uint64_t listBytes = 0;
};

// Reads the extension records the base's attribute list names and checks the
// list against them.
SFile LoadFile(SRecord base, const CMftAccess& mft, const CVolumeReader& reader, const SGeometry& geometry,
               SReadBudget& budget);

// The stream's first bytes, `limit` at most, as every reader sees them: zeros
// past the initialized size. Raises CException when its runs cannot be read.
std::vector<uint8_t> ReadStreamBytes(const SStream& stream, const CVolumeReader& reader, uint64_t limit);
// The same for bytes at `offset` of a non-resident stream.
void ReadStreamAt(const SStream& stream, const CVolumeReader& reader, uint64_t offset, std::span<uint8_t> out);

}  // namespace volcore::check
