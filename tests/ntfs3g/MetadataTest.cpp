// Security descriptors and reparse points set through the family, read back by
// libntfs-3g on its own mount of the saved image.
#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "disk/SecurityFormat.h"
#include "format/FormatSecurity.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct DescriptorParts {
    Bytes owner, group, dacl;
    bool operator==(const DescriptorParts&) const = default;
};

DescriptorParts PartsOf(const Bytes& sd) {
    const CByteReader in(sd);
    auto sidAt = [&](uint32_t at) { return in.Bytes(at, Sid::SubAuthorities + 4 * size_t{in.U8(at + Sid::SubAuthorityCount)}); };
    const uint32_t dacl = in.U32(SecurityDescriptor::Dacl);
    return {sidAt(in.U32(SecurityDescriptor::Owner)), sidAt(in.U32(SecurityDescriptor::Group)),
            in.Bytes(dacl, in.U16(dacl + Acl::Size))};
}

// libntfs-3g's view of the object's descriptor (owner, group, DACL) and of
// its reparse data.
std::pair<Bytes, Bytes> ReadBack(const std::string& image, const char* path) {
    SECURITY_API* api = ntfs_initialize_file_security(image.c_str(), NTFS_MNT_RDONLY);
    Bytes descriptor(64 * 1024), reparse(16 * 1024);
    u32 size = 0;
    int got = api ? ntfs_get_file_security(api, path, 0x7, reinterpret_cast<char*>(descriptor.data()),
                                           static_cast<u32>(descriptor.size()), &size)
                  : -1;
    EXPECT_GT(got, 0) << path;
    descriptor.resize(got > 0 ? size : 0);
    got = -1;
    if (ntfs_inode* inode = api ? ntfs_pathname_to_inode(api->security.vol, nullptr, path) : nullptr) {
        got = ntfs_get_ntfs_reparse_data(inode, reinterpret_cast<char*>(reparse.data()), reparse.size());
        ntfs_inode_close(inode);
    }
    reparse.resize(got > 0 ? static_cast<size_t>(got) : 0);
    if (api) ntfs_leave_file_security(api);
    return {descriptor, reparse};
}

Bytes ReparseBuffer(const Bytes& payload) {
    Bytes buffer(8 + payload.size());
    CByteWriter header(buffer);
    header.U32(0, 0x80000013);  // a Microsoft tag (deduplication) the family hands through untouched
    header.U16(4, static_cast<uint16_t>(payload.size()));
    header.CopyFrom(8, payload.data(), payload.size());
    return buffer;
}

}  // namespace

TEST_F(FamilyTest, SecurityAndReparseDataAreCheckedAndMerged) {
    Mount();
    // Set while the file is held open and written: the held copy takes them.
    file::handle h;
    ASSERT_TRUE(file::create(h, "object", volume) && file::write(h, 0, "data", 4));
    const Bytes descriptor = format::SystemFileDescriptor(false);
    ASSERT_TRUE(file::setFileSecurity("\\OBJECT", 0x7, descriptor.data(), volume));
    // The DACL alone, of a descriptor with another owner: owner and group stay.
    Bytes narrower = format::SystemFileDescriptor(true);
    const CByteReader layout(narrower);
    const uint32_t owner = layout.U32(SecurityDescriptor::Owner), dacl = layout.U32(SecurityDescriptor::Dacl);
    CByteWriter(narrower).U32(owner + Sid::SubAuthorities, 99);
    ASSERT_TRUE(file::setFileSecurity("object", 0x4, narrower.data(), volume));
    const Bytes first = ReparseBuffer(Pattern(40, 5)), second = ReparseBuffer(Pattern(8, 7));
    const auto size = static_cast<uint32_t>(first.size());
    ASSERT_TRUE(file::setReparseData("OBJECT", first.data(), size, volume));
    file::attributes attributes;
    ASSERT_TRUE(file::getAttributes(h, attributes) && file::write(h, 4, "more", 4) && file::close(h));
    EXPECT_NE(attributes.fileAttributes & 0x400, 0u);

    const size_t ace = dacl + Acl::HeaderSize;
    const struct {
        const char* what;
        size_t field, width;
        uint64_t value;
        const char* message = "invalid security descriptor";
    } bads[] = {
        {"revision", SecurityDescriptor::Revision, 1, 7},
        {"not self-relative", SecurityDescriptor::Control, 2, SecurityDescriptor::ControlDaclPresent},
        {"owner inside the header", SecurityDescriptor::Owner, 4, 8},
        {"owner past the bound", SecurityDescriptor::Owner, 4, 0x20000, "security descriptor is too large"},
        {"SID with 16 sub-authorities", owner + Sid::SubAuthorityCount, 1, 16},
        {"ACL shorter than its header", dacl + Acl::Size, 2, 4},
        {"ACE larger than its ACL", ace + Ace::Size, 2, 0x7FF0},
        {"ACE shorter than its SID", ace + Ace::Sid + Sid::SubAuthorityCount, 1, 5},
    };
    log->Clear();
    for (const auto& bad : bads) {
        Bytes broken = descriptor;
        CByteWriter(broken).PutLe(bad.field, bad.value, bad.width);
        EXPECT_FALSE(file::setFileSecurity("object", 0x7, broken.data(), volume)) << bad.what;
        ExpectErrors({bad.message});
    }
    // A reparse header length that disagrees with the size is refused.
    const Bytes garbage = Pattern(40, 9);
    EXPECT_FALSE(file::setFileSecurity("object", 0x7, garbage.data(), volume) ||
                 file::setFileSecurity("object", 0x7, nullptr, volume) ||
                 file::setFileSecurity("absent", 0x7, descriptor.data(), volume) ||
                 file::setFileSecurity("object", 0x7, descriptor.data(), filesystem::handle{}) ||
                 file::setReparseData("object", first.data(), size + 4, volume) ||
                 file::setReparseData("object", nullptr, 8, volume) || file::setReparseData(nullptr, first.data(), size, volume));
    ExpectErrors({"invalid security descriptor", "invalid security descriptor", "file not found", "volume handle is invalid",
                  "failed to set reparse data", "failed to set reparse data", "cannot normalize empty path"});

    // Setting reparse data again replaces it, whatever the length.
    ASSERT_TRUE(file::setReparseData("object", second.data(), static_cast<uint32_t>(second.size()), volume));
    EXPECT_EQ(ReadWhole("object"), (Bytes{'d', 'a', 't', 'a', 'm', 'o', 'r', 'e'}));
    const auto [storedDescriptor, storedReparse] = ReadBack(SaveImage(), "/object");
    const DescriptorParts firstParts = PartsOf(descriptor), secondParts = PartsOf(narrower);
    ASSERT_NE(firstParts.dacl, secondParts.dacl);
    EXPECT_EQ(PartsOf(storedDescriptor), (DescriptorParts{firstParts.owner, firstParts.group, secondParts.dacl}));
    EXPECT_EQ(storedReparse, second);
}

}  // namespace volcore::test
