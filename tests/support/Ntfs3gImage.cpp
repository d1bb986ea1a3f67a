#include "support/Ntfs3gImage.h"

#include <stdexcept>

#include "api/Unicode.h"
#include "ntfs3g/Ntfs3g.h"

namespace volkit::test {

namespace {

std::vector<ntfschar> ToNtfs(const std::u16string& name) {
    std::vector<ntfschar> units;
    for (char16_t unit : name) units.push_back(cpu_to_le16(static_cast<u16>(unit)));
    return units;
}

std::u16string FromNtfs(const ntfschar* name, int length) {
    std::u16string text;
    for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(le16_to_cpu(name[i])));
    return text;
}

// Owns one open inode.
struct InodeHolder {
    ntfs_inode* inode;
    ~InodeHolder() {
        if (inode) ntfs_inode_close(inode);
    }
};

ntfs_inode* OpenPath(ntfs_volume* volume, const std::string& path) {
    ntfs_inode* inode = ntfs_pathname_to_inode(volume, nullptr, path.c_str());
    if (!inode) throw std::runtime_error("libntfs-3g cannot open " + path);
    return inode;
}

int CollectEntry(void* context, const ntfschar* name, const int length, const int nameType, const s64,
                 const MFT_REF reference, const unsigned) {
    auto* entries = static_cast<std::vector<Ntfs3gDirEntry>*>(context);
    std::u16string text = FromNtfs(name, length);
    if (text != u"." && text != u"..") entries->push_back({text, static_cast<uint64_t>(reference), nameType});
    return 0;
}

}  // namespace

Ntfs3gImage::Ntfs3gImage(const std::string& path, bool readOnly) {
    m_volume = ntfs_mount(path.c_str(), readOnly ? NTFS_MNT_RDONLY : 0);
    if (!m_volume) throw std::runtime_error("libntfs-3g cannot mount " + path);
}

Ntfs3gImage::~Ntfs3gImage() {
    if (m_volume) ntfs_umount(m_volume, FALSE);
}

uint64_t Ntfs3gImage::CreateDirectory(const std::string& parent, const std::u16string& name) {
    InodeHolder directory{OpenPath(m_volume, parent)};
    std::vector<ntfschar> units = ToNtfs(name);
    InodeHolder created{ntfs_create(directory.inode, const_cpu_to_le32(0), units.data(),
                                    static_cast<u8>(units.size()), S_IFDIR)};
    if (!created.inode) throw std::runtime_error("libntfs-3g cannot create a directory");
    return created.inode->mft_no | (uint64_t{le16_to_cpu(created.inode->mrec->sequence_number)} << 48);
}

uint64_t Ntfs3gImage::CreateFile(const std::string& parent, const std::u16string& name, const std::string& contents) {
    InodeHolder directory{OpenPath(m_volume, parent)};
    std::vector<ntfschar> units = ToNtfs(name);
    InodeHolder created{ntfs_create(directory.inode, const_cpu_to_le32(0), units.data(),
                                    static_cast<u8>(units.size()), S_IFREG)};
    if (!created.inode) throw std::runtime_error("libntfs-3g cannot create a file");
    if (!contents.empty()) {
        ntfs_attr* data = ntfs_attr_open(created.inode, AT_DATA, AT_UNNAMED, 0);
        if (!data) throw std::runtime_error("libntfs-3g cannot open the data attribute");
        s64 written = ntfs_attr_pwrite(data, 0, static_cast<s64>(contents.size()), contents.data());
        ntfs_attr_close(data);
        if (written != static_cast<s64>(contents.size())) throw std::runtime_error("libntfs-3g cannot write data");
    }
    uint64_t reference = created.inode->mft_no | (uint64_t{le16_to_cpu(created.inode->mrec->sequence_number)} << 48);
    // The new sizes reach the parent's index while it is still open here.
    ntfs_inode_close_in_dir(created.inode, directory.inode);
    created.inode = nullptr;
    return reference;
}

void Ntfs3gImage::Link(const std::string& path, const std::string& parent, const std::u16string& name) {
    InodeHolder target{OpenPath(m_volume, path)};
    InodeHolder directory{OpenPath(m_volume, parent)};
    std::vector<ntfschar> units = ToNtfs(name);
    if (ntfs_link(target.inode, directory.inode, units.data(), static_cast<u8>(units.size())) != 0)
        throw std::runtime_error("libntfs-3g cannot link " + path);
}

void Ntfs3gImage::SetDosName(const std::string& path, const std::string& dosName) {
    std::string parent = path.substr(0, path.find_last_of('/'));
    // ntfs_set_ntfs_dos_name closes the file's inode itself, also on failure.
    ntfs_inode* inode = OpenPath(m_volume, path);
    InodeHolder directory{OpenPath(m_volume, parent.empty() ? "/" : parent)};
    if (ntfs_set_ntfs_dos_name(inode, directory.inode, dosName.data(), dosName.size(), 0) != 0)
        throw std::runtime_error("libntfs-3g cannot set the DOS name of " + path);
}

void Ntfs3gImage::Remove(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::vector<ntfschar> units = ToNtfs(volcore::Utf8ToUtf16(path.substr(slash + 1)));
    ntfs_inode* inode = OpenPath(m_volume, path);
    ntfs_inode* directory = ntfs_pathname_to_inode(m_volume, nullptr, slash == 0 ? "/" : path.substr(0, slash).c_str());
    if (!directory) ntfs_inode_close(inode);
    // ntfs_delete closes both inodes, also when it fails.
    if (!directory || ntfs_delete(m_volume, path.c_str(), inode, directory, units.data(), static_cast<u8>(units.size())))
        throw std::runtime_error("libntfs-3g cannot delete " + path);
}

std::optional<uint64_t> Ntfs3gImage::Lookup(const std::string& directoryPath, const std::u16string& name) {
    InodeHolder directory{OpenPath(m_volume, directoryPath)};
    std::vector<ntfschar> units = ToNtfs(name);
    u64 reference = ntfs_inode_lookup_by_name(directory.inode, units.data(), static_cast<int>(units.size()));
    if (reference == static_cast<u64>(-1)) return std::nullopt;
    return static_cast<uint64_t>(reference);
}

std::vector<Ntfs3gDirEntry> Ntfs3gImage::List(const std::string& directoryPath) {
    InodeHolder directory{OpenPath(m_volume, directoryPath)};
    std::vector<Ntfs3gDirEntry> entries;
    s64 position = 0;
    if (ntfs_readdir(directory.inode, &position, &entries, CollectEntry) != 0)
        throw std::runtime_error("libntfs-3g cannot list " + directoryPath);
    return entries;
}

}  // namespace volkit::test
