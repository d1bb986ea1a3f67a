#include "ntfs3g/SecurityDescriptor.h"

#include <algorithm>

#include "base/Bytes.h"
#include "ntfs3g/FamilyLog.h"

namespace volcore::fsfamily {
namespace {

using volcore::CByteReader;
using volcore::CByteWriter;

struct SMalformedDescriptor {};
struct SOversizedDescriptor {};

void Require(bool condition) {
    if (!condition) throw SMalformedDescriptor{};
}

// `in` spans everything that may be read, so what does not fit in it lies
// past the bound.
void RequireWithin(const CByteReader& in, uint64_t offset, uint64_t length) {
    if (offset > in.Size() || length > in.Size() - offset) throw SOversizedDescriptor{};
}

uint64_t SidEnd(const CByteReader& in, uint64_t offset) {
    RequireWithin(in, offset, SidLayout::HeaderSize);
    const uint8_t count = in.U8(offset + SidLayout::SubAuthorityCount);
    Require(in.U8(offset + SidLayout::Revision) == SidLayout::CurrentRevision &&
            count <= SidLayout::MaxSubAuthorities);
    const uint64_t length = SidLayout::HeaderSize + SidLayout::SubAuthoritySize * count;
    RequireWithin(in, offset, length);
    return offset + length;
}

// The trustee of an allowed, denied, audit or alarm entry must lie inside it.
bool HoldsSid(const CByteReader& ace) {
    if (ace.Size() < AceLayout::Sid + SidLayout::HeaderSize) return false;
    const uint8_t count = ace.U8(AceLayout::Sid + SidLayout::SubAuthorityCount);
    return ace.U8(AceLayout::Sid + SidLayout::Revision) == SidLayout::CurrentRevision &&
           count <= SidLayout::MaxSubAuthorities &&
           AceLayout::Sid + SidLayout::HeaderSize + SidLayout::SubAuthoritySize * count <= ace.Size();
}

void CheckAces(const CByteReader& acl) {
    uint64_t position = AclLayout::HeaderSize;
    for (uint16_t index = 0, count = acl.U16(AclLayout::AceCount); index < count; ++index) {
        Require(position + AceLayout::HeaderSize <= acl.Size());
        const uint16_t size = acl.U16(position + AceLayout::Size);
        Require(size >= AceLayout::HeaderSize && size <= acl.Size() - position);
        const CByteReader ace = acl.Sub(position, size);
        Require(ace.U8(AceLayout::Type) > AceLayout::LastPlainType || HoldsSid(ace));
        position += size;
    }
}

uint64_t AclEnd(const CByteReader& in, uint64_t offset) {
    RequireWithin(in, offset, AclLayout::HeaderSize);
    const uint8_t revision = in.U8(offset + AclLayout::Revision);
    const uint16_t size = in.U16(offset + AclLayout::Size);
    Require((revision == AclLayout::Revision2 || revision == AclLayout::RevisionDs) && size >= AclLayout::HeaderSize);
    RequireWithin(in, offset, size);
    CheckAces(in.Sub(offset, size));
    return offset + size;
}

uint64_t PartEnd(const CByteReader& in, size_t field, bool isAcl) {
    const uint32_t offset = in.U32(field);
    if (offset == 0) return 0;
    Require(offset >= DescriptorLayout::HeaderSize);
    return isAcl ? AclEnd(in, offset) : SidEnd(in, offset);
}

// How far the descriptor's parts reach.
uint64_t DescriptorEnd(const CByteReader& in) {
    RequireWithin(in, 0, DescriptorLayout::HeaderSize);
    Require(in.U8(DescriptorLayout::Revision) == DescriptorLayout::CurrentRevision &&
            (in.U16(DescriptorLayout::Control) & DescriptorLayout::SelfRelative) != 0);
    return std::max({uint64_t{DescriptorLayout::HeaderSize}, PartEnd(in, DescriptorLayout::Owner, false),
                     PartEnd(in, DescriptorLayout::Group, false), PartEnd(in, DescriptorLayout::Sacl, true),
                     PartEnd(in, DescriptorLayout::Dacl, true)});
}

struct SPartKind {
    size_t field;
    uint16_t controlBits;  // the control flags that describe this part
    uint32_t selection;
    bool isAcl;
};

// In the order they are laid out in a merged descriptor.
constexpr SPartKind kParts[] = {
    {DescriptorLayout::Sacl, 0x2A30, 0x8, true},
    {DescriptorLayout::Dacl, 0x150C, 0x4, true},
    {DescriptorLayout::Owner, 0x0001, 0x1, false},
    {DescriptorLayout::Group, 0x0002, 0x2, false},
};

// What libntfs-3g holds is used only when it passes the same checks.
CByteReader CheckedCurrent(const std::vector<uint8_t>& current) {
    const CByteReader in(current);
    try {
        DescriptorEnd(in);
        return in;
    } catch (const SMalformedDescriptor&) {
    } catch (const SOversizedDescriptor&) {
    }
    return CByteReader();
}

}  // namespace

std::vector<uint8_t> CopyDescriptor(const void* descriptor) {
    if (descriptor == nullptr) Fail("invalid security descriptor");
    const CByteReader in(static_cast<const uint8_t*>(descriptor), kMaxDescriptorBytes);
    try {
        return in.Bytes(0, DescriptorEnd(in));
    } catch (const SMalformedDescriptor&) {
        Fail("invalid security descriptor");
    } catch (const SOversizedDescriptor&) {
        Fail("security descriptor is too large");
    }
}

std::vector<uint8_t> MergeDescriptor(const std::vector<uint8_t>& current, const std::vector<uint8_t>& given,
                                     uint32_t selection) {
    const CByteReader sources[] = {CheckedCurrent(current), CByteReader(given)};
    std::vector<uint8_t> merged(DescriptorLayout::HeaderSize);
    uint16_t control = DescriptorLayout::SelfRelative;
    uint32_t offsets[std::size(kParts)] = {};
    for (size_t i = 0; i < std::size(kParts); ++i) {
        const CByteReader& source = sources[(selection & kParts[i].selection) != 0 ? 1 : 0];
        if (source.Size() == 0) continue;
        control |= source.U16(DescriptorLayout::Control) & kParts[i].controlBits;
        const uint64_t end = PartEnd(source, kParts[i].field, kParts[i].isAcl);
        if (end == 0) continue;
        const uint32_t start = source.U32(kParts[i].field);
        offsets[i] = static_cast<uint32_t>(merged.size());
        merged.insert(merged.end(), source.Data() + start, source.Data() + end);
    }
    const CByteWriter header(merged);
    header.U8(DescriptorLayout::Revision, DescriptorLayout::CurrentRevision);
    header.U16(DescriptorLayout::Control, control);
    for (size_t i = 0; i < std::size(kParts); ++i) header.U32(kParts[i].field, offsets[i]);
    return merged;
}

}  // namespace volcore::fsfamily
