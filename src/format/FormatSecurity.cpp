#include "format/FormatSecurity.h"

#include <algorithm>
#include <initializer_list>

#include "base/Bytes.h"
#include "disk/SecurityFormat.h"

namespace volcore::format {
namespace {

constexpr uint16_t kSelfRelativeWithDacl =
    SecurityDescriptor::ControlSelfRelative | SecurityDescriptor::ControlDaclPresent;
constexpr uint8_t kInheritOnlyToChildren = Ace::FlagObjectInherit | Ace::FlagContainerInherit | Ace::FlagInheritOnly;

std::vector<uint8_t> MakeSid(std::initializer_list<uint32_t> subAuthorities) {
    std::vector<uint8_t> sid(Sid::SubAuthorities + 4 * subAuthorities.size(), 0);
    CByteWriter out(sid);
    out.U8(Sid::Revision, Sid::RevisionValue);
    out.U8(Sid::SubAuthorityCount, static_cast<uint8_t>(subAuthorities.size()));
    out.U8(Sid::AuthorityLowByte, Sid::NtAuthority);
    size_t offset = Sid::SubAuthorities;
    for (uint32_t sub : subAuthorities) {
        out.U32(offset, sub);
        offset += 4;
    }
    return sid;
}

std::vector<uint8_t> LocalSystem() { return MakeSid({18}); }
std::vector<uint8_t> Administrators() { return MakeSid({32, 544}); }
std::vector<uint8_t> AuthenticatedUsers() { return MakeSid({11}); }
std::vector<uint8_t> Users() { return MakeSid({32, 545}); }

struct SAce {
    std::vector<uint8_t> sid;
    uint32_t mask = 0;
    uint8_t flags = 0;
};

// An access-allowed DACL; `declaredSize` 0 means exactly as long as its ACEs.
std::vector<uint8_t> Dacl(const std::vector<SAce>& aces, size_t declaredSize = 0) {
    size_t used = Acl::HeaderSize;
    for (const SAce& ace : aces) used += Ace::Sid + ace.sid.size();
    std::vector<uint8_t> acl(declaredSize ? declaredSize : used, 0);
    CByteWriter out(acl);
    out.U8(Acl::Revision, Acl::RevisionValue);
    out.U16(Acl::Size, static_cast<uint16_t>(acl.size()));
    out.U16(Acl::AceCount, static_cast<uint16_t>(aces.size()));
    size_t offset = Acl::HeaderSize;
    for (const SAce& ace : aces) {
        CByteWriter entry = out.Sub(offset, Ace::Sid + ace.sid.size());
        entry.U8(Ace::Flags, ace.flags);  // type 0: access allowed
        entry.U16(Ace::Size, static_cast<uint16_t>(entry.Size()));
        entry.U32(Ace::Mask, ace.mask);
        entry.CopyFrom(Ace::Sid, ace.sid.data(), ace.sid.size());
        offset += entry.Size();
    }
    return acl;
}

// Self-relative: header, DACL, owner, group.
std::vector<uint8_t> Descriptor(const std::vector<uint8_t>& dacl, const std::vector<uint8_t>& owner,
                                const std::vector<uint8_t>& group) {
    size_t ownerOffset = SecurityDescriptor::HeaderSize + dacl.size();
    size_t groupOffset = ownerOffset + owner.size();
    std::vector<uint8_t> descriptor(groupOffset + group.size(), 0);
    CByteWriter out(descriptor);
    out.U8(SecurityDescriptor::Revision, SecurityDescriptor::RevisionValue);
    out.U16(SecurityDescriptor::Control, kSelfRelativeWithDacl);
    out.U32(SecurityDescriptor::Owner, static_cast<uint32_t>(ownerOffset));
    out.U32(SecurityDescriptor::Group, static_cast<uint32_t>(groupOffset));
    out.U32(SecurityDescriptor::Dacl, static_cast<uint32_t>(SecurityDescriptor::HeaderSize));
    out.CopyFrom(SecurityDescriptor::HeaderSize, dacl.data(), dacl.size());
    out.CopyFrom(ownerOffset, owner.data(), owner.size());
    out.CopyFrom(groupOffset, group.data(), group.size());
    return descriptor;
}

uint32_t SystemMask(bool readOnly) { return readOnly ? 0x120089 : 0x12019F; }

std::vector<uint8_t> SystemDacl(bool readOnly) {
    return Dacl({{LocalSystem(), SystemMask(readOnly)}, {Administrators(), SystemMask(readOnly)}});
}

std::vector<uint8_t> SharedDescriptor(bool readOnly) {
    return Descriptor(SystemDacl(readOnly), Administrators(), Administrators());
}

}  // namespace

void WriteSdsHeader(const CByteWriter& out, const SSecurityId& id) {
    out.U32(SdsEntry::Hash, id.hash);
    out.U32(SdsEntry::SecurityId, id.id);
    out.U64(SdsEntry::Offset, id.offset);
    out.U32(SdsEntry::Length, id.length);
}

std::vector<uint8_t> AdministratorsSid() { return Administrators(); }

std::vector<uint8_t> SystemFileDescriptor(bool readOnly) {
    return Descriptor(SystemDacl(readOnly), LocalSystem(), Administrators());
}

std::vector<uint8_t> RootDirectoryDescriptor() {
    std::vector<SAce> aces = {
        {Administrators(), 0x1F01FF},
        {Administrators(), 0x10000000, kInheritOnlyToChildren},
        {LocalSystem(), 0x1F01FF},
        {LocalSystem(), 0x10000000, kInheritOnlyToChildren},
        {AuthenticatedUsers(), 0x1301BF},
        {AuthenticatedUsers(), 0xE0010000, kInheritOnlyToChildren},
        {Users(), 0x1200A9},
        {Users(), 0xA0000000, kInheritOnlyToChildren},
    };
    return Descriptor(Dacl(aces, 0x1000), LocalSystem(), LocalSystem());
}

uint32_t SecurityDescriptorHash(const std::vector<uint8_t>& descriptor) {
    CByteReader in(descriptor);
    uint32_t hash = 0;
    for (size_t offset = 0; offset + 4 <= descriptor.size(); offset += 4)
        hash = ((hash << 3) | (hash >> 29)) + in.U32(offset);
    return hash;
}

std::vector<SSecurityId> SharedSecurityIds() {
    uint32_t length = static_cast<uint32_t>(SdsEntry::HeaderSize + SharedDescriptor(true).size());
    return {{0x100, 0xF80312F0, 0, length}, {0x101, 0x00B32451, 0x80, length}};
}

// Mostly zeroes: each shared descriptor twice, in the stream's first half
// and at the mirror distance. Pieces are made as the stream is written.
void FillSdsStream(uint64_t firstByte, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint64_t end = firstByte + out.size();
    bool readOnly = true;
    for (const SSecurityId& entry : SharedSecurityIds()) {
        std::vector<uint8_t> bytes(entry.length, 0);
        CByteWriter at(bytes);
        WriteSdsHeader(at, entry);
        const std::vector<uint8_t> descriptor = SharedDescriptor(readOnly);
        at.CopyFrom(SdsEntry::HeaderSize, descriptor.data(), descriptor.size());
        for (uint64_t base : {uint64_t{0}, uint64_t{SdsEntry::MirrorDistance}}) {
            const uint64_t from = std::max(base + entry.offset, firstByte);
            const uint64_t to = std::min(base + entry.offset + entry.length, end);
            if (from < to)
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from - base - entry.offset), to - from,
                            out.begin() + static_cast<std::ptrdiff_t>(from - firstByte));
        }
        readOnly = false;
    }
}

std::vector<uint8_t> BuildSdsStream() {
    std::vector<uint8_t> sds(kSdsSize, 0);
    FillSdsStream(0, sds);
    return sds;
}

}  // namespace volcore::format
