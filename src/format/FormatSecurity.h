#pragma once
// Security descriptors of the system files and the initial content of
// $Secure: the $SDS stream and the keys of its $SDH and $SII indexes.
#include <cstdint>
#include <span>
#include <vector>

#include "base/Bytes.h"

namespace volcore::format {

inline constexpr uint32_t kSdsSize = 0x400FC;

struct SSecurityId {
    uint32_t id = 0;
    uint32_t hash = 0;
    uint64_t offset = 0;  // in $SDS
    uint32_t length = 0;  // of the $SDS entry, header included
};

// Stored in the records of $Volume, $AttrDef, $Boot and the reserved records;
// `readOnly` gives the narrower rights of $AttrDef and $Boot.
std::vector<uint8_t> SystemFileDescriptor(bool readOnly);
std::vector<uint8_t> RootDirectoryDescriptor();

// The two descriptors that every system file refers to by id (0x100, 0x101).
std::vector<SSecurityId> SharedSecurityIds();
std::vector<uint8_t> BuildSdsStream();
// Bytes [firstByte, firstByte + out.size()) of that stream.
void FillSdsStream(uint64_t firstByte, std::span<uint8_t> out);
// The header of an $SDS entry, which is also the data of its $SDH and $SII entries.
void WriteSdsHeader(const CByteWriter& out, const SSecurityId& id);

// The hash by which a descriptor is found in $SDH.
uint32_t SecurityDescriptorHash(const std::vector<uint8_t>& descriptor);

// The S-1-5-32-544 (Administrators) SID, also an owner in $Quota.
std::vector<uint8_t> AdministratorsSid();

}  // namespace volcore::format
