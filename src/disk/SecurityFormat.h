#pragma once
// Byte layouts of self-relative security descriptors and their parts, the
// $Secure streams that share them, and $Quota's entries. Only a new volume's
// system files are written with them.
#include <cstddef>
#include <cstdint>

namespace volcore {

// Self-relative security descriptor header.
namespace SecurityDescriptor {
inline constexpr size_t Revision = 0;
inline constexpr size_t Control = 2;
inline constexpr size_t Owner = 4;  // offsets from the descriptor start; 0 when absent
inline constexpr size_t Group = 8;
inline constexpr size_t Sacl = 12;
inline constexpr size_t Dacl = 16;
inline constexpr size_t HeaderSize = 20;
inline constexpr uint8_t RevisionValue = 1;
inline constexpr uint16_t ControlDaclPresent = 0x0004;
inline constexpr uint16_t ControlSelfRelative = 0x8000;
}  // namespace SecurityDescriptor

// Access control list header; its entries follow.
namespace Acl {
inline constexpr size_t Revision = 0;
inline constexpr size_t Size = 2;
inline constexpr size_t AceCount = 4;
inline constexpr size_t HeaderSize = 8;
inline constexpr uint8_t RevisionValue = 2;
}  // namespace Acl

// Access-allowed entry: header, mask, then the SID.
namespace Ace {
inline constexpr size_t Type = 0;
inline constexpr size_t Flags = 1;
inline constexpr size_t Size = 2;
inline constexpr size_t Mask = 4;
inline constexpr size_t Sid = 8;
inline constexpr uint8_t FlagObjectInherit = 0x01;
inline constexpr uint8_t FlagContainerInherit = 0x02;
inline constexpr uint8_t FlagInheritOnly = 0x08;
}  // namespace Ace

namespace Sid {
inline constexpr size_t Revision = 0;
inline constexpr size_t SubAuthorityCount = 1;
inline constexpr size_t Authority = 2;  // six bytes, big-endian
inline constexpr size_t SubAuthorities = 8;
inline constexpr size_t AuthorityLowByte = Authority + 5;
inline constexpr uint8_t RevisionValue = 1;
inline constexpr uint8_t NtAuthority = 5;
}  // namespace Sid

// An entry of $Secure:$SDS: header and descriptor. The stream holds every
// 256 KiB block twice, the copy right after the original.
namespace SdsEntry {
inline constexpr size_t Hash = 0;
inline constexpr size_t SecurityId = 4;
inline constexpr size_t Offset = 8;  // of this entry in $SDS
inline constexpr size_t Length = 16;  // header and descriptor
inline constexpr size_t HeaderSize = 20;
inline constexpr uint32_t MirrorDistance = 0x40000;
}  // namespace SdsEntry

// Key of $Secure:$SDH; $SII's key is the security id alone.
namespace SdhKey {
inline constexpr size_t Hash = 0;
inline constexpr size_t SecurityId = 4;
inline constexpr size_t Size = 8;
}  // namespace SdhKey

// Data of a $Quota:$Q entry; the owner's SID follows the fixed part.
namespace QuotaEntry {
inline constexpr size_t Version = 0;
inline constexpr size_t Flags = 4;
inline constexpr size_t BytesUsed = 8;
inline constexpr size_t ChangeTime = 16;
inline constexpr size_t Threshold = 24;
inline constexpr size_t Limit = 32;
inline constexpr size_t ExceededTime = 40;
inline constexpr size_t Sid = 48;
inline constexpr uint32_t VersionValue = 2;
inline constexpr uint32_t FlagDefaultLimits = 0x1;
}  // namespace QuotaEntry

}  // namespace volcore
