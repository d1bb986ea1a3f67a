#pragma once
// One FILE record taken apart: its header, every attribute record and the
// runs of the non-resident ones, with everything found wrong on the way.
#include <cstdint>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/BootCheck.h"
#include "check/Problems.h"
#include "disk/Types.h"

namespace volcore::check {

struct SAttribute {
    uint32_t type = 0;
    std::u16string name;
    uint16_t flags = 0;
    uint16_t instance = 0;
    bool nonResident = false;
    std::vector<uint8_t> value;  // resident
    uint64_t lowestVcn = 0;      // non-resident from here on
    uint64_t highestVcn = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;
    // Compressed and sparse data: the bytes its clusters take, and the
    // compression unit (a power of two of clusters).
    std::optional<uint64_t> compressedSize;
    uint16_t compressionUnit = 0;
    RunMap runs;  // empty when the mapping pairs are corrupt
    bool runsValid = false;

    uint64_t Size() const { return nonResident ? dataSize : value.size(); }
};

struct SRecord {
    uint64_t number = 0;
    uint16_t flags = 0;
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    uint64_t baseReference = 0;
    std::vector<SAttribute> attributes;
    std::vector<SProblem> problems;

    bool IsBase() const { return baseReference == 0; }
    bool IsDirectory() const;
    FileReference Reference() const { return MakeReference(number, sequence); }
    // The first attribute of the type and name, or null.
    const SAttribute* Find(uint32_t type, std::u16string_view name = u"") const;
};

// "$DATA", "$INDEX_ROOT:$I30", "type 0x1234" for messages.
std::string AttributeLabel(uint32_t type, std::u16string_view name);

// Parses a record that is in use and whose fixups have been applied. Parsing
// goes on as far as the record's layout allows.
SRecord ParseRecord(std::span<const uint8_t> bytes, uint64_t number, const SGeometry& geometry);

}  // namespace volcore::check
