// Security descriptors and reparse points set through the family, read back by
// libntfs-3g on its own mount of the saved image.
#include "FamilyFixture.h"
#include "base/Bytes.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes Sid(uint8_t authority, std::vector<uint32_t> subAuthorities) {
    Bytes sid(8 + 4 * subAuthorities.size());
    volcore::CByteWriter out(sid);
    out.U8(0, 1);
    out.U8(1, static_cast<uint8_t>(subAuthorities.size()));
    out.U8(7, authority);
    for (size_t i = 0; i < subAuthorities.size(); ++i) out.U32(8 + 4 * i, subAuthorities[i]);
    return sid;
}

// One ACCESS_ALLOWED entry for `trustee`.
Bytes Dacl(const Bytes& trustee, uint32_t mask) {
    const size_t aceSize = 8 + trustee.size();
    Bytes acl(8 + aceSize);
    volcore::CByteWriter out(acl);
    out.U8(0, 2);
    out.U16(2, static_cast<uint16_t>(acl.size()));
    out.U16(4, 1);
    out.U16(8 + 2, static_cast<uint16_t>(aceSize));
    out.U32(8 + 4, mask);
    out.CopyFrom(16, trustee.data(), trustee.size());
    return acl;
}

struct DescriptorParts {
    Bytes owner, group, dacl;
};

// Self-relative: header, DACL, owner, group.
Bytes Descriptor(const DescriptorParts& parts) {
    Bytes sd(20);
    volcore::CByteWriter header(sd);
    header.U8(0, 1);
    header.U16(2, 0x8004);  // self-relative, DACL present
    header.U32(16, 20);
    header.U32(4, static_cast<uint32_t>(20 + parts.dacl.size()));
    header.U32(8, static_cast<uint32_t>(20 + parts.dacl.size() + parts.owner.size()));
    sd.insert(sd.end(), parts.dacl.begin(), parts.dacl.end());
    sd.insert(sd.end(), parts.owner.begin(), parts.owner.end());
    sd.insert(sd.end(), parts.group.begin(), parts.group.end());
    return sd;
}

DescriptorParts PartsOf(const Bytes& sd) {
    const volcore::CByteReader in(sd);
    auto sidAt = [&](uint32_t offset) { return in.Bytes(offset, 8 + 4 * size_t{in.U8(offset + 1)}); };
    DescriptorParts parts;
    parts.owner = sidAt(in.U32(4));
    parts.group = sidAt(in.U32(8));
    parts.dacl = in.Bytes(in.U32(16), in.U16(in.U32(16) + 2));
    return parts;
}

// libntfs-3g's view of the object's descriptor (owner, group, DACL).
Bytes SecurityReadBack(const std::string& image, const char* path) {
    SECURITY_API* api = ntfs_initialize_file_security(image.c_str(), NTFS_MNT_RDONLY);
    if (api == nullptr) {
        ADD_FAILURE() << "libntfs-3g cannot open " << image;
        return {};
    }
    Bytes descriptor(4096);
    u32 size = 0;
    const int got = ntfs_get_file_security(api, path, 0x7, reinterpret_cast<char*>(descriptor.data()),
                                           static_cast<u32>(descriptor.size()), &size);
    ntfs_leave_file_security(api);
    EXPECT_GT(got, 0) << path;
    descriptor.resize(got > 0 ? size : 0);
    return descriptor;
}

Bytes ReparseReadBack(const std::string& image, const char* path) {
    ntfs_volume* volume = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
    if (volume == nullptr) {
        ADD_FAILURE() << "libntfs-3g cannot mount " << image;
        return {};
    }
    Bytes data(16 * 1024);
    int got = -1;
    if (ntfs_inode* inode = ntfs_pathname_to_inode(volume, nullptr, path)) {
        got = ntfs_get_ntfs_reparse_data(inode, reinterpret_cast<char*>(data.data()), data.size());
        ntfs_inode_close(inode);
    }
    ntfs_umount(volume, FALSE);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return data;
}

Bytes ReparseBuffer(uint32_t tag, const Bytes& payload) {
    Bytes buffer(8);
    volcore::CByteWriter header(buffer);
    header.U32(0, tag);
    header.U16(4, static_cast<uint16_t>(payload.size()));
    buffer.insert(buffer.end(), payload.begin(), payload.end());
    return buffer;
}

}  // namespace

TEST_F(FamilyTest, SecurityDescriptorIsCheckedAndMerged) {
    Mount();
    // Set while the file is held open and written: the held copy takes it.
    file::handle h;
    ASSERT_TRUE(file::create(h, "secured", volume) && file::write(h, 0, "data", 4));
    const DescriptorParts admins{Sid(5, {32, 544}), Sid(5, {18}), Dacl(Sid(1, {0}), 0x1F01FF)};
    const Bytes descriptor = Descriptor(admins);
    ASSERT_TRUE(file::setFileSecurity("\\SECURED", 0x7, descriptor.data(), volume));
    // The DACL alone: owner and group stay.
    const DescriptorParts users{Sid(5, {18}), Sid(5, {32, 545}), Dacl(Sid(5, {11}), 0x120089)};
    ASSERT_TRUE(file::setFileSecurity("secured", 0x4, Descriptor(users).data(), volume));
    ASSERT_TRUE(file::write(h, 4, "more", 4) && file::close(h));

    // Descriptor layout: header, DACL at 20 (its ACE at 28, the ACE's SID at
    // 36), owner at 48, group at 64.
    struct Bad {
        const char* what;
        size_t field, width;
        uint64_t value;
        const char* message = "invalid security descriptor";
    };
    const Bad bads[] = {
        {"revision", 0, 1, 7},
        {"not self-relative", 2, 2, 0x0004},
        {"owner inside the header", 4, 4, 8},
        {"owner past the bound", 4, 4, 0x20000, "security descriptor is too large"},
        {"SID with 16 sub-authorities", 49, 1, 16},
        {"ACL shorter than its header", 22, 2, 4},
        {"ACE larger than its ACL", 30, 2, 200},
        {"ACE shorter than its SID", 37, 1, 5},
    };
    log->Clear();
    for (const Bad& bad : bads) {
        Bytes broken = descriptor;
        volcore::CByteWriter(broken).PutLe(bad.field, bad.value, bad.width);
        EXPECT_FALSE(file::setFileSecurity("secured", 0x7, broken.data(), volume)) << bad.what;
        EXPECT_EQ(log->Errors(), Lines{bad.message}) << bad.what;
        log->Clear();
    }
    const Bytes garbage = Pattern(40, 9);
    EXPECT_FALSE(file::setFileSecurity("secured", 0x7, garbage.data(), volume));
    EXPECT_FALSE(file::setFileSecurity("secured", 0x7, nullptr, volume));
    EXPECT_FALSE(file::setFileSecurity("absent", 0x7, descriptor.data(), volume));
    EXPECT_FALSE(file::setFileSecurity("secured", 0x7, descriptor.data(), filesystem::handle{}));
    EXPECT_EQ(log->Errors(), (Lines{"invalid security descriptor", "invalid security descriptor", "file not found",
                                    "volume handle is invalid"}));

    EXPECT_EQ(ReadWhole("secured"), (Bytes{'d', 'a', 't', 'a', 'm', 'o', 'r', 'e'}));
    const std::string image = SaveImage();
    const DescriptorParts stored = PartsOf(SecurityReadBack(image, "/secured"));
    EXPECT_EQ(stored.owner, admins.owner);
    EXPECT_EQ(stored.group, admins.group);
    EXPECT_EQ(stored.dacl, users.dacl);
}

TEST_F(FamilyTest, ReparseDataIsSetAndReplaced) {
    Mount();
    // Set while the file is held open and written: the held copy takes it.
    file::handle h;
    ASSERT_TRUE(file::create(h, "point", volume) && file::write(h, 0, "data", 4));
    const Bytes first = ReparseBuffer(0x80000017, Pattern(40, 5));
    ASSERT_TRUE(file::setReparseData("POINT", first.data(), static_cast<uint32_t>(first.size()), volume));
    file::attributes attributes;
    ASSERT_TRUE(file::getAttributes(h, attributes));
    EXPECT_NE(attributes.fileAttributes & 0x400, 0u);
    ASSERT_TRUE(file::close(h));

    // A header length that disagrees with the size is refused.
    Bytes lying = ReparseBuffer(0x80000017, Pattern(16, 6));
    log->Clear();
    EXPECT_FALSE(file::setReparseData("point", lying.data(), static_cast<uint32_t>(lying.size() + 4), volume));
    EXPECT_FALSE(file::setReparseData("point", nullptr, 8, volume));
    EXPECT_FALSE(file::setReparseData("nowhere", first.data(), static_cast<uint32_t>(first.size()), volume));
    EXPECT_FALSE(file::setReparseData(nullptr, first.data(), static_cast<uint32_t>(first.size()), volume));
    EXPECT_EQ(log->Errors(), (Lines{"failed to set reparse data", "failed to set reparse data", "file not found",
                                    "cannot normalize empty path"}));
    std::string image = SaveImage();
    EXPECT_EQ(ReparseReadBack(image, "/point"), first);

    // Setting again replaces, whatever the length.
    Mount();
    const Bytes second = ReparseBuffer(0x80000017, Pattern(8, 7));
    ASSERT_TRUE(file::setReparseData("point", second.data(), static_cast<uint32_t>(second.size()), volume));
    image = SaveImage();
    EXPECT_EQ(ReparseReadBack(image, "/point"), second);
}

}  // namespace volcore::test
