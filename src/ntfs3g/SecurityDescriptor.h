#pragma once
// Self-relative security descriptors as callers hand them in: checked before
// libntfs-3g reads a byte of them, and merged into an object's current
// descriptor part by part.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace volcore::fsfamily {

// The caller passes no length, so the check reads the caller's memory only
// as far as the descriptor's own offsets and lengths lead, and never further
// than this from its start.
constexpr size_t kMaxDescriptorBytes = 65536;

// Field offsets of the structures inside a descriptor.
namespace DescriptorLayout {
inline constexpr size_t Revision = 0;
inline constexpr size_t Control = 2;
inline constexpr size_t Owner = 4;
inline constexpr size_t Group = 8;
inline constexpr size_t Sacl = 12;
inline constexpr size_t Dacl = 16;
inline constexpr size_t HeaderSize = 20;
inline constexpr uint8_t CurrentRevision = 1;
inline constexpr uint16_t SelfRelative = 0x8000;
}  // namespace DescriptorLayout

namespace SidLayout {
inline constexpr size_t Revision = 0;
inline constexpr size_t SubAuthorityCount = 1;
inline constexpr size_t HeaderSize = 8;
inline constexpr size_t SubAuthoritySize = 4;
inline constexpr uint8_t CurrentRevision = 1;
inline constexpr uint8_t MaxSubAuthorities = 15;
}  // namespace SidLayout

namespace AclLayout {
inline constexpr size_t Revision = 0;
inline constexpr size_t Size = 2;
inline constexpr size_t AceCount = 4;
inline constexpr size_t HeaderSize = 8;
inline constexpr uint8_t Revision2 = 2;
inline constexpr uint8_t RevisionDs = 4;
}  // namespace AclLayout

namespace AceLayout {
inline constexpr size_t Type = 0;
inline constexpr size_t Size = 2;
inline constexpr size_t HeaderSize = 4;
inline constexpr size_t Sid = 8;                // after the access mask, in the plain kinds
inline constexpr uint8_t LastPlainType = 3;     // allowed, denied, audit, alarm
}  // namespace AceLayout

// A copy of the descriptor at `descriptor`, exactly as long as its parts
// reach. Fails with "invalid security descriptor" for a null pointer and for
// anything malformed (revision, self-relative flag, a SID, an ACL or an ACE
// that does not fit where it claims to be), and with "security descriptor is
// too large" for a part reaching past kMaxDescriptorBytes.
std::vector<uint8_t> CopyDescriptor(const void* descriptor);

// `current` (which may be empty: no descriptor yet) with the owner (0x1),
// group (0x2), DACL (0x4) and SACL (0x8) that `selection` names taken from
// `given`, both already checked by CopyDescriptor.
std::vector<uint8_t> MergeDescriptor(const std::vector<uint8_t>& current, const std::vector<uint8_t>& given,
                                     uint32_t selection);

}  // namespace volcore::fsfamily
