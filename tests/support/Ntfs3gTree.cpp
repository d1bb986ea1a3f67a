#include "support/Ntfs3gTree.h"

#include <stdexcept>

#include "base/Unicode.h"
#include "index/Directory.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

std::runtime_error Failure(const std::string& what, const std::u16string& path) {
    return std::runtime_error("libntfs-3g: " + what + " " + volcore::Utf16ToUtf8(path));
}

std::vector<ntfschar> ToNtfs(const std::u16string& name) {
    std::vector<ntfschar> units;
    for (char16_t unit : name) units.push_back(cpu_to_le16(static_cast<u16>(unit)));
    return units;
}

class Inode {
public:
    explicit Inode(ntfs_inode* inode = nullptr) : m_inode(inode) {}
    ~Inode() {
        if (m_inode) ntfs_inode_close(m_inode);
    }
    Inode(Inode&& other) noexcept : m_inode(other.Release()) {}
    Inode& operator=(Inode&& other) noexcept {
        if (m_inode) ntfs_inode_close(m_inode);
        m_inode = other.Release();
        return *this;
    }
    ntfs_inode* Get() const { return m_inode; }
    ntfs_inode* Release() {
        ntfs_inode* inode = m_inode;
        m_inode = nullptr;
        return inode;
    }

private:
    ntfs_inode* m_inode;
};

Inode OpenPath(ntfs_volume* volume, const std::u16string& path) {
    Inode current(ntfs_inode_open(volume, FILE_root));
    if (!current.Get()) throw Failure("cannot open the root of", path);
    for (const std::u16string& name : volcore::SplitPath(path)) {
        std::vector<ntfschar> units = ToNtfs(name);
        u64 reference = ntfs_inode_lookup_by_name(current.Get(), units.data(), static_cast<int>(units.size()));
        if (reference == static_cast<u64>(-1)) throw Failure("no such entry", path);
        current = Inode(ntfs_inode_open(volume, MREF(reference)));
        if (!current.Get()) throw Failure("cannot open", path);
    }
    return current;
}

struct SAttribute {
    explicit SAttribute(ntfs_inode* inode, const std::u16string& path)
        : attribute(ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0)) {
        if (!attribute) throw Failure("no data attribute in", path);
    }
    ~SAttribute() { ntfs_attr_close(attribute); }
    ntfs_attr* attribute;
};

int CollectEntry(void* context, const ntfschar* name, const int length, const int nameType, const s64,
                 const MFT_REF reference, const unsigned) {
    std::u16string text;
    for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(le16_to_cpu(name[i])));
    if (text != u"." && text != u"..")
        static_cast<std::vector<Ntfs3gDirEntry>*>(context)->push_back({text, static_cast<uint64_t>(reference), nameType});
    return 0;
}

uint64_t ReferenceOf(const Inode& inode) {
    return inode.Get()->mft_no | (uint64_t{le16_to_cpu(inode.Get()->mrec->sequence_number)} << 48);
}

}  // namespace

Ntfs3gTree::Ntfs3gTree(const std::string& imagePath, bool readOnly) {
    ntfs_mount_flags flags = static_cast<ntfs_mount_flags>(0);
    if (readOnly) flags = NTFS_MNT_RDONLY;
    m_volume = ntfs_mount(imagePath.c_str(), flags);
    if (!m_volume) throw std::runtime_error("libntfs-3g cannot mount " + imagePath);
}

Ntfs3gTree::~Ntfs3gTree() { ntfs_umount(m_volume, FALSE); }

uint64_t Ntfs3gTree::MakeDirectory(const std::u16string& path) {
    volcore::SParentAndName target = volcore::SplitLastComponent(path);
    Inode parent = OpenPath(m_volume, target.parentPath);
    std::vector<ntfschar> units = ToNtfs(target.name);
    Inode created(ntfs_create(parent.Get(), const_cpu_to_le32(0), units.data(), static_cast<u8>(units.size()), S_IFDIR));
    if (!created.Get()) throw Failure("cannot create directory", path);
    return ReferenceOf(created);
}

uint64_t Ntfs3gTree::MakeFile(const std::u16string& path, const std::vector<uint8_t>& contents) {
    volcore::SParentAndName target = volcore::SplitLastComponent(path);
    Inode parent = OpenPath(m_volume, target.parentPath);
    std::vector<ntfschar> units = ToNtfs(target.name);
    Inode created(ntfs_create(parent.Get(), const_cpu_to_le32(0), units.data(), static_cast<u8>(units.size()), S_IFREG));
    if (!created.Get()) throw Failure("cannot create file", path);
    if (!contents.empty()) {
        SAttribute data(created.Get(), path);
        if (ntfs_attr_pwrite(data.attribute, 0, static_cast<s64>(contents.size()), contents.data()) !=
            static_cast<s64>(contents.size()))
            throw Failure("cannot write", path);
        ntfs_inode_update_times(created.Get(), static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
    }
    uint64_t reference = ReferenceOf(created);
    // The new sizes reach the parent's index while it is still open here.
    ntfs_inode_close_in_dir(created.Release(), parent.Get());
    return reference;
}

void Ntfs3gTree::Append(const std::u16string& path, const std::vector<uint8_t>& bytes) {
    Inode inode = OpenPath(m_volume, path);
    SAttribute data(inode.Get(), path);
    s64 written = ntfs_attr_pwrite(data.attribute, data.attribute->data_size, static_cast<s64>(bytes.size()), bytes.data());
    if (written != static_cast<s64>(bytes.size())) throw Failure("cannot write", path);
    // As a real writer does: the standard information now differs from the names.
    ntfs_inode_update_times(inode.Get(), static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
}

void Ntfs3gTree::Resize(const std::u16string& path, uint64_t size) {
    Inode inode = OpenPath(m_volume, path);
    SAttribute data(inode.Get(), path);
    if (ntfs_attr_truncate(data.attribute, static_cast<s64>(size)) != 0) throw Failure("cannot resize", path);
}

void Ntfs3gTree::Link(const std::u16string& existing, const std::u16string& newPath) {
    volcore::SParentAndName target = volcore::SplitLastComponent(newPath);
    Inode inode = OpenPath(m_volume, existing);
    Inode parent = OpenPath(m_volume, target.parentPath);
    std::vector<ntfschar> units = ToNtfs(target.name);
    if (ntfs_link(inode.Get(), parent.Get(), units.data(), static_cast<u8>(units.size())) != 0)
        throw Failure("cannot link", newPath);
}

void Ntfs3gTree::SetDosName(const std::u16string& path, const std::string& dosName) {
    volcore::SParentAndName target = volcore::SplitLastComponent(path);
    Inode inode = OpenPath(m_volume, path);
    Inode parent = OpenPath(m_volume, target.parentPath);
    // Both inodes are closed by the call, whatever its outcome.
    if (ntfs_set_ntfs_dos_name(inode.Release(), parent.Release(), dosName.data(), dosName.size(), 0) != 0)
        throw Failure("cannot set the DOS name of", path);
}

void Ntfs3gTree::Remove(const std::u16string& path) {
    volcore::SParentAndName target = volcore::SplitLastComponent(path);
    Inode inode = OpenPath(m_volume, path);
    Inode parent = OpenPath(m_volume, target.parentPath);
    std::vector<ntfschar> units = ToNtfs(target.name);
    // ntfs_delete closes both inodes itself.
    if (ntfs_delete(m_volume, nullptr, inode.Release(), parent.Release(), units.data(), static_cast<u8>(units.size())) != 0)
        throw Failure("cannot delete", path);
}

std::pair<int64_t, int64_t> Ntfs3gTree::SpaceInUse() {
    if (ntfs_volume_get_free_space(m_volume) != 0) throw std::runtime_error("libntfs-3g cannot count free space");
    int64_t mftClusters = m_volume->mft_na->allocated_size >> m_volume->cluster_size_bits;
    return {m_volume->nr_clusters - m_volume->free_clusters - mftClusters, m_volume->free_mft_records};
}

bool Ntfs3gTree::Exists(const std::u16string& path) {
    try {
        OpenPath(m_volume, path);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::vector<uint8_t> Ntfs3gTree::Read(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    SAttribute data(inode.Get(), path);
    std::vector<uint8_t> bytes(static_cast<size_t>(data.attribute->data_size));
    if (!bytes.empty() &&
        ntfs_attr_pread(data.attribute, 0, static_cast<s64>(bytes.size()), bytes.data()) != static_cast<s64>(bytes.size()))
        throw Failure("cannot read", path);
    return bytes;
}

Ntfs3gStat Ntfs3gTree::Stat(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    Ntfs3gStat stat;
    stat.creationTime = static_cast<uint64_t>(sle64_to_cpu(inode.Get()->creation_time));
    stat.modificationTime = static_cast<uint64_t>(sle64_to_cpu(inode.Get()->last_data_change_time));
    stat.accessTime = static_cast<uint64_t>(sle64_to_cpu(inode.Get()->last_access_time));
    stat.attributes = le32_to_cpu(inode.Get()->flags);
    stat.directory = (le16_to_cpu(inode.Get()->mrec->flags) & le16_to_cpu(MFT_RECORD_IS_DIRECTORY)) != 0;
    return stat;
}

std::vector<Ntfs3gDirEntry> Ntfs3gTree::Entries(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<Ntfs3gDirEntry> entries;
    s64 position = 0;
    if (ntfs_readdir(inode.Get(), &position, &entries, CollectEntry) != 0) throw Failure("cannot list", path);
    return entries;
}

std::map<std::u16string, uint64_t> Ntfs3gTree::List(const std::u16string& path) {
    std::map<std::u16string, uint64_t> names;
    for (const Ntfs3gDirEntry& entry : Entries(path))
        if (entry.nameSpace != FILE_NAME_DOS) names[entry.name] = MREF(entry.reference);
    return names;
}

}  // namespace volcore::test
