#include "support/Ntfs3gTree.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "base/Unicode.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::test {
namespace {

struct CloseInode {
    void operator()(ntfs_inode* inode) const { ntfs_inode_close(inode); }
};
struct CloseAttribute {
    void operator()(ntfs_attr* attribute) const { ntfs_attr_close(attribute); }
};
using Inode = std::unique_ptr<ntfs_inode, CloseInode>;
using Data = std::unique_ptr<ntfs_attr, CloseAttribute>;

std::runtime_error Failure(const std::string& what, const std::u16string& path) {
    return std::runtime_error("libntfs-3g: " + what + " " + volcore::Utf16ToUtf8(path));
}

std::vector<ntfschar> ToNtfs(const std::u16string& name) {
    std::vector<ntfschar> units;
    for (char16_t unit : name) units.push_back(cpu_to_le16(static_cast<u16>(unit)));
    return units;
}

// The last name of a backslash-separated path, and the path of its directory.
std::vector<ntfschar> LastName(const std::u16string& path) { return ToNtfs(path.substr(path.rfind(u'\\') + 1)); }
std::u16string ParentOf(const std::u16string& path) {
    const size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? u"" : path.substr(0, slash);
}

Inode OpenPath(ntfs_volume* volume, const std::u16string& path) {
    std::string utf8 = volcore::Utf16ToUtf8(path);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    Inode inode(ntfs_pathname_to_inode(volume, nullptr, utf8.c_str()));
    if (!inode) throw Failure("no such entry", path);
    return inode;
}

Data OpenData(ntfs_inode* inode, const std::u16string& path) {
    Data data(ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0));
    if (!data) throw Failure("no data attribute in", path);
    return data;
}

Inode Create(ntfs_inode* parent, const std::u16string& path, mode_t type) {
    std::vector<ntfschar> name = LastName(path);
    Inode created(ntfs_create(parent, const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()), type));
    if (!created) throw Failure("cannot create", path);
    return created;
}

void WriteData(ntfs_attr* data, s64 offset, const std::vector<uint8_t>& bytes, const std::u16string& path) {
    const s64 size = static_cast<s64>(bytes.size());
    if (size > 0 && ntfs_attr_pwrite(data, offset, size, bytes.data()) != size) throw Failure("cannot write", path);
}

std::vector<uint8_t> ReadData(ntfs_attr* data, const std::u16string& path) {
    std::vector<uint8_t> bytes(static_cast<size_t>(data->data_size));
    const s64 size = static_cast<s64>(bytes.size());
    if (size > 0 && ntfs_attr_pread(data, 0, size, bytes.data()) != size) throw Failure("cannot read", path);
    return bytes;
}

void AppendTo(ntfs_inode* inode, const std::u16string& path, const std::vector<uint8_t>& bytes) {
    Data data = OpenData(inode, path);
    WriteData(data.get(), data->data_size, bytes, path);
    // As a real writer does: the standard information now differs from the names.
    ntfs_inode_update_times(inode, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
}

int CollectEntry(void* context, const ntfschar* name, const int length, const int nameType, const s64,
                 const MFT_REF reference, const unsigned) {
    std::u16string text;
    for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(le16_to_cpu(name[i])));
    if (text != u"." && text != u"..")
        static_cast<std::vector<Ntfs3gDirEntry>*>(context)->push_back({text, static_cast<uint64_t>(reference), nameType});
    return 0;
}

uint64_t ReferenceOf(const ntfs_inode* inode) {
    return inode->mft_no | (uint64_t{le16_to_cpu(inode->mrec->sequence_number)} << 48);
}

}  // namespace

Ntfs3gTree::Ntfs3gTree(const std::string& imagePath, bool readOnly)
    : m_volume(ntfs_mount(imagePath.c_str(), static_cast<ntfs_mount_flags>(readOnly ? NTFS_MNT_RDONLY : 0))) {
    if (!m_volume) throw std::runtime_error("libntfs-3g cannot mount " + imagePath);
}

Ntfs3gTree::~Ntfs3gTree() { ntfs_umount(m_volume, FALSE); }

uint64_t Ntfs3gTree::MakeDirectory(const std::u16string& path) {
    Inode parent = OpenPath(m_volume, ParentOf(path));
    return ReferenceOf(Create(parent.get(), path, S_IFDIR).get());
}

uint64_t Ntfs3gTree::MakeFile(const std::u16string& path, const std::vector<uint8_t>& contents) {
    Inode parent = OpenPath(m_volume, ParentOf(path));
    Inode created = Create(parent.get(), path, S_IFREG);
    if (!contents.empty()) AppendTo(created.get(), path, contents);
    const uint64_t reference = ReferenceOf(created.get());
    // The new sizes reach the parent's index while it is still open here.
    ntfs_inode_close_in_dir(created.release(), parent.get());
    return reference;
}

void Ntfs3gTree::Append(const std::u16string& path, const std::vector<uint8_t>& bytes) {
    AppendTo(OpenPath(m_volume, path).get(), path, bytes);
}

void Ntfs3gTree::Resize(const std::u16string& path, uint64_t size) {
    Inode inode = OpenPath(m_volume, path);
    if (ntfs_attr_truncate(OpenData(inode.get(), path).get(), static_cast<s64>(size)) != 0)
        throw Failure("cannot resize", path);
}

void Ntfs3gTree::Link(const std::u16string& existing, const std::u16string& newPath) {
    Inode inode = OpenPath(m_volume, existing);
    Inode parent = OpenPath(m_volume, ParentOf(newPath));
    std::vector<ntfschar> name = LastName(newPath);
    if (ntfs_link(inode.get(), parent.get(), name.data(), static_cast<u8>(name.size())) != 0)
        throw Failure("cannot link", newPath);
}

void Ntfs3gTree::SetDosName(const std::u16string& path, const std::string& dosName) {
    Inode inode = OpenPath(m_volume, path);
    Inode parent = OpenPath(m_volume, ParentOf(path));
    // Both inodes are closed by the call, whatever its outcome.
    if (ntfs_set_ntfs_dos_name(inode.release(), parent.release(), dosName.data(), dosName.size(), 0) != 0)
        throw Failure("cannot set the DOS name of", path);
}

void Ntfs3gTree::Remove(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    Inode parent = OpenPath(m_volume, ParentOf(path));
    std::vector<ntfschar> name = LastName(path);
    // ntfs_delete closes both inodes itself.
    if (ntfs_delete(m_volume, nullptr, inode.release(), parent.release(), name.data(), static_cast<u8>(name.size())) != 0)
        throw Failure("cannot delete", path);
}

void Ntfs3gTree::WriteAt(const std::u16string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    Inode inode = OpenPath(m_volume, path);
    WriteData(OpenData(inode.get(), path).get(), static_cast<s64>(offset), bytes, path);
}

void Ntfs3gTree::EnableCompression() { NVolSetCompression(m_volume); }

void Ntfs3gTree::SetAttributes(const std::u16string& path, uint32_t attributes) {
    Inode inode = OpenPath(m_volume, path);
    const le32 value = cpu_to_le32(attributes);
    if (ntfs_set_ntfs_attrib(inode.get(), reinterpret_cast<const char*>(&value), sizeof(value), 0) != 0)
        throw Failure("cannot set the attributes of", path);
}

uint16_t Ntfs3gTree::DataFlags(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    return le16_to_cpu(OpenData(inode.get(), path)->data_flags);
}

void Ntfs3gTree::SetReparse(const std::u16string& path, const std::vector<uint8_t>& reparse) {
    Inode inode = OpenPath(m_volume, path);
    if (ntfs_set_ntfs_reparse_data(inode.get(), reinterpret_cast<const char*>(reparse.data()), reparse.size(), 0) != 0)
        throw Failure("cannot set the reparse point of", path);
}

void Ntfs3gTree::MakeInterixLink(const std::u16string& path, const std::u16string& target) {
    Inode parent = OpenPath(m_volume, ParentOf(path));
    std::vector<ntfschar> name = LastName(path);
    std::vector<ntfschar> to = ToNtfs(target);
    Inode link(ntfs_create_symlink(parent.get(), const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()),
                                   to.data(), static_cast<int>(to.size())));
    if (!link) throw Failure("cannot create the symbolic link", path);
}

std::vector<uint8_t> Ntfs3gTree::ReparseData(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<uint8_t> data(16384);
    const int size = ntfs_get_ntfs_reparse_data(inode.get(), reinterpret_cast<char*>(data.data()), data.size());
    data.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return data;
}

std::pair<int64_t, int64_t> Ntfs3gTree::SpaceInUse() {
    if (ntfs_volume_get_free_space(m_volume) != 0) throw std::runtime_error("libntfs-3g cannot count free space");
    int64_t mftClusters = m_volume->mft_na->allocated_size >> m_volume->cluster_size_bits;
    return {m_volume->nr_clusters - m_volume->free_clusters - mftClusters, m_volume->free_mft_records};
}

std::vector<uint8_t> Ntfs3gTree::Read(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    return ReadData(OpenData(inode.get(), path).get(), path);
}

void Ntfs3gTree::WriteStream(const std::u16string& path, const std::u16string& stream,
                              const std::vector<uint8_t>& bytes) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<ntfschar> name = ToNtfs(stream);
    const u32 length = static_cast<u32>(name.size());
    if (!ntfs_attr_exist(inode.get(), AT_DATA, name.data(), length) &&
        ntfs_attr_add(inode.get(), AT_DATA, name.data(), length, nullptr, 0) != 0)
        throw Failure("cannot add stream to", path);
    Data data(ntfs_attr_open(inode.get(), AT_DATA, name.data(), length));
    if (!data || ntfs_attr_truncate(data.get(), static_cast<s64>(bytes.size())) != 0)
        throw Failure("cannot write stream of", path);
    WriteData(data.get(), 0, bytes, path);
}

std::vector<uint8_t> Ntfs3gTree::ReadStream(const std::u16string& path, const std::u16string& stream) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<ntfschar> name = ToNtfs(stream);
    Data data(ntfs_attr_open(inode.get(), AT_DATA, name.data(), static_cast<u32>(name.size())));
    if (!data) throw Failure("no such stream in", path);
    return ReadData(data.get(), path);
}

void Ntfs3gTree::RemoveStream(const std::u16string& path, const std::u16string& stream) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<ntfschar> name = ToNtfs(stream);
    if (ntfs_attr_remove(inode.get(), AT_DATA, name.data(), static_cast<u32>(name.size())) != 0)
        throw Failure("cannot remove stream of", path);
}

Ntfs3gStat Ntfs3gTree::Stat(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    Ntfs3gStat stat;
    stat.creationTime = static_cast<uint64_t>(sle64_to_cpu(inode->creation_time));
    stat.modificationTime = static_cast<uint64_t>(sle64_to_cpu(inode->last_data_change_time));
    stat.accessTime = static_cast<uint64_t>(sle64_to_cpu(inode->last_access_time));
    stat.attributes = le32_to_cpu(inode->flags);
    stat.directory = (le16_to_cpu(inode->mrec->flags) & le16_to_cpu(MFT_RECORD_IS_DIRECTORY)) != 0;
    return stat;
}

std::vector<Ntfs3gDirEntry> Ntfs3gTree::Entries(const std::u16string& path) {
    Inode inode = OpenPath(m_volume, path);
    std::vector<Ntfs3gDirEntry> entries;
    s64 position = 0;
    if (ntfs_readdir(inode.get(), &position, &entries, CollectEntry) != 0) throw Failure("cannot list", path);
    return entries;
}

std::map<std::u16string, uint64_t> Ntfs3gTree::List(const std::u16string& path) {
    std::map<std::u16string, uint64_t> names;
    for (const Ntfs3gDirEntry& entry : Entries(path))
        if (entry.nameSpace != FILE_NAME_DOS) names[entry.name] = MREF(entry.reference);
    return names;
}

}  // namespace volcore::test
