#include "Engines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/Ntfs3g.h"
#include "volkit/api.h"
#include "volkit/filesystem.h"

namespace volcore::bench {

namespace {

void Require(bool done, const char* what, const std::string& path = {}) {
    if (!done) throw std::runtime_error(std::string(what) + " failed" + (path.empty() ? "" : " on " + path));
}

// The bytes behind both device records: an image in memory or a file.
struct SStorage {
    std::vector<uint8_t>* memory = nullptr;
    int fd = -1;

    uint64_t Size() const {
        if (memory) return memory->size();
        struct stat facts {};
        return fstat(fd, &facts) == 0 ? static_cast<uint64_t>(facts.st_size) : 0;
    }
    bool Transfer(uint64_t offset, void* buffer, uint64_t length, bool write) {
        if (offset > Size() || length > Size() - offset) return false;
        if (memory) {
            uint8_t* at = memory->data() + offset;
            write ? std::memcpy(at, buffer, length) : std::memcpy(buffer, at, length);
            return true;
        }
        auto done = write ? pwrite(fd, buffer, length, static_cast<off_t>(offset))
                          : pread(fd, buffer, length, static_cast<off_t>(offset));
        return done == static_cast<ssize_t>(length);
    }
    void Open(SMemoryImage* image, const std::string& path) {
        Close();
        if (image) memory = &image->bytes;
        else fd = open(path.c_str(), O_RDWR);
        Require(memory || fd >= 0, "opening the image", path);
    }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
        memory = nullptr;
    }
};

bool StorageRead(uint64_t offset, void* buffer, uint64_t length, void* context) {
    return static_cast<SStorage*>(context)->Transfer(offset, buffer, length, false);
}
bool StorageWrite(uint64_t offset, const void* buffer, uint64_t length, void* context) {
    return static_cast<SStorage*>(context)->Transfer(offset, const_cast<void*>(buffer), length, true);
}
bool StorageSize(uint64_t* size, void* context) {
    *size = static_cast<SStorage*>(context)->Size();
    return true;
}
bool NativeRead(uint64_t offset, void* buffer, uint32_t length, void* context) {
    return StorageRead(offset, buffer, length, context);
}
bool NativeWrite(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    return StorageWrite(offset, buffer, length, context);
}

bool IsDotName(const std::u16string_view name) { return name == u"." || name == u".."; }

// The checksums of listings, kept so that no engine's reads of sizes and
// times can be optimized away.
volatile uint64_t g_listingChecksum = 0;

// Entries counted, and a checksum of their sizes and times.
struct SListingCount {
    uint64_t entries = 0;
    uint64_t checksum = 0;
    void Add(uint64_t size, uint64_t time) {
        ++entries;
        checksum += size ^ time;
    }
    uint64_t Done() const {
        g_listingChecksum = g_listingChecksum + checksum;
        return entries;
    }
};

class CNativeEngine final : public IEngine {
public:
    const char* Name() const override { return "native"; }
    void Mount(SMemoryImage& image) override { MountStorage(&image, {}); }
    void MountFile(const std::string& path) override { MountStorage(nullptr, path); }
    void Unmount() override {
        Require(volkit::api::NtfsCloseVolume(m_volume), "NtfsCloseVolume");
        m_storage.Close();
    }
    void* OpenFile(const SPath& path) override {
        volkit::api::NtfsFileHandle file;
        Require(volkit::api::NtfsOpenFile(path.wide.c_str(), file, m_volume), "NtfsOpenFile", path.utf8);
        return file.ptr;
    }
    void* CreateFile(const SPath& path) override {
        volkit::api::NtfsFileHandle file;
        Require(volkit::api::NtfsCreateFile(path.wide.c_str(), file, m_volume), "NtfsCreateFile", path.utf8);
        return file.ptr;
    }
    void CloseFile(void* file) override {
        volkit::api::NtfsFileHandle handle{file};
        Require(volkit::api::NtfsCloseFile(handle), "NtfsCloseFile");
    }
    void CreateDirectory(const SPath& path) override {
        volkit::api::NtfsDirHandle directory;
        Require(volkit::api::NtfsCreateDir(path.wide.c_str(), directory, m_volume), "NtfsCreateDir", path.utf8);
        Require(volkit::api::NtfsCloseDir(directory), "NtfsCloseDir");
    }
    void Read(void* file, uint64_t offset, void* buffer, uint32_t length) override {
        Require(volkit::api::NtfsReadFile(offset, buffer, length, {file}), "NtfsReadFile");
    }
    void Append(void* file, uint64_t offset, const void* buffer, uint32_t length) override {
        Require(volkit::api::SetFileSize(offset + length, {file}), "SetFileSize");
        Require(volkit::api::NtfsWriteFile(offset, buffer, length, {file}), "NtfsWriteFile");
    }
    void Truncate(void* file) override { Require(volkit::api::SetFileSize(0, {file}), "SetFileSize"); }
    uint64_t CountEntries(const SPath& directory, EListing listing) override {
        volkit::api::NtfsDirHandle handle;
        Require(volkit::api::NtfsOpenDir(directory.wide.c_str(), handle, m_volume), "NtfsOpenDir", directory.utf8);
        SListingCount count;
        auto names = [](const volkit::api::NtfsDirEntry& entry, void* context) {
            bool dot = entry.name[0] == L'.' && (entry.name[1] == 0 || (entry.name[1] == L'.' && entry.name[2] == 0));
            if (!dot) ++static_cast<SListingCount*>(context)->entries;
            return true;
        };
        auto details = [](const volkit::api::NtfsDirEntry& entry, void* context) {
            bool dot = entry.name[0] == L'.' && (entry.name[1] == 0 || (entry.name[1] == L'.' && entry.name[2] == 0));
            if (!dot) static_cast<SListingCount*>(context)->Add(entry.dataSize, entry.lastWriteTime);
            return true;
        };
        bool listed = volkit::api::NtfsEnumDir(handle, listing == EListing::Names ? +names : +details, &count);
        Require(volkit::api::NtfsCloseDir(handle) && listed, "NtfsEnumDir", directory.utf8);
        return count.Done();
    }

private:
    void MountStorage(SMemoryImage* image, const std::string& path) {
        m_storage.Open(image, path);
        volkit::api::NtfsIoDevice device{&m_storage, &NativeRead, &NativeWrite, &StorageSize};
        Require(volkit::api::NtfsOpenVolume(device, m_volume), "NtfsOpenVolume");
    }

    SStorage m_storage;
    volkit::api::NtfsVolumeHandle m_volume;
};

std::vector<ntfschar> ToNtfs(const std::string& name) {
    std::vector<ntfschar> units;
    for (char c : name) units.push_back(cpu_to_le16(static_cast<u16>(static_cast<unsigned char>(c))));
    return units;
}

// An open inode and its unnamed data stream, opened at the first transfer
// as the native engine looks its own up: an open that is closed again costs
// either engine no attribute.
struct SNtfs3gFile {
    ntfs_inode* inode;
    ntfs_attr* data = nullptr;
    ntfs_attr* Data() {
        if (!data) data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
        Require(data != nullptr, "ntfs_attr_open");
        return data;
    }
};

class CNtfs3gEngine final : public IEngine {
public:
    const char* Name() const override { return "libntfs-3g"; }
    void Mount(SMemoryImage& image) override { MountStorage(&image, {}); }
    void MountFile(const std::string& path) override { MountStorage(nullptr, path); }
    void Unmount() override {
        fsfamily::DismountVolume(m_volume);
        m_volume = nullptr;
        m_storage.Close();
    }
    void* OpenFile(const SPath& path) override {
        ntfs_inode* inode = ntfs_pathname_to_inode(m_volume, nullptr, path.utf8.c_str());
        Require(inode != nullptr, "ntfs_pathname_to_inode", path.utf8);
        return new SNtfs3gFile{inode};
    }
    void* CreateFile(const SPath& path) override { return new SNtfs3gFile{Create(path, S_IFREG)}; }
    void CloseFile(void* file) override {
        auto* open = static_cast<SNtfs3gFile*>(file);
        if (open->data) ntfs_attr_close(open->data);
        int closed = ntfs_inode_close(open->inode);
        delete open;
        Require(closed == 0, "ntfs_inode_close");
    }
    void CreateDirectory(const SPath& path) override {
        Require(ntfs_inode_close(Create(path, S_IFDIR)) == 0, "ntfs_inode_close", path.utf8);
    }
    void Read(void* file, uint64_t offset, void* buffer, uint32_t length) override {
        s64 done = ntfs_attr_pread(static_cast<SNtfs3gFile*>(file)->Data(), static_cast<s64>(offset), length, buffer);
        Require(done == static_cast<s64>(length), "ntfs_attr_pread");
    }
    void Append(void* file, uint64_t offset, const void* buffer, uint32_t length) override {
        s64 done = ntfs_attr_pwrite(static_cast<SNtfs3gFile*>(file)->Data(), static_cast<s64>(offset), length, buffer);
        Require(done == static_cast<s64>(length), "ntfs_attr_pwrite");
    }
    void Truncate(void* file) override {
        Require(ntfs_attr_truncate(static_cast<SNtfs3gFile*>(file)->Data(), 0) == 0, "ntfs_attr_truncate");
    }
    // ntfs_readdir hands over names only; the sizes and times of the index
    // entries are reached through libntfs-3g's index lookup by the filesystem
    // family's reader (an ntfs_inode_open per entry would cost far more).
    uint64_t CountEntries(const SPath& directory, EListing listing) override {
        ntfs_inode* inode = ntfs_pathname_to_inode(m_volume, nullptr, directory.utf8.c_str());
        Require(inode != nullptr, "ntfs_pathname_to_inode", directory.utf8);
        SListingCount count;
        s64 position = 0;
        auto names = [](void* context, const ntfschar* name, const int length, const int, const s64, const MFT_REF,
                        const unsigned) {
            std::u16string_view text(reinterpret_cast<const char16_t*>(name), static_cast<size_t>(length));
            if (!IsDotName(text)) ++static_cast<SListingCount*>(context)->entries;
            return 0;
        };
        auto details = [](void* context, uint64_t, const fsfamily::SDirEntryEx& entry) {
            static_cast<SListingCount*>(context)->Add(entry.size, entry.lastWriteTime);
            return 0;
        };
        fsfamily::SDirFiller filler;
        filler.mode = static_cast<int>(fsfamily::EFillerMode::Extended);
        filler.extended = details;
        int listed = listing == EListing::Names ? ntfs_readdir(inode, &position, &count, names)
                                                : fsfamily::ReadDirectoryEx(inode, &position, &count, &filler);
        Require(ntfs_inode_close(inode) == 0 && listed == 0, "ntfs_readdir", directory.utf8);
        return count.Done();
    }

private:
    void MountStorage(SMemoryImage* image, const std::string& path) {
        m_storage.Open(image, path);
        volkit::filesystem::device device{&m_storage, &StorageRead, &StorageWrite, &StorageSize};
        m_volume = fsfamily::MountVolume(device);
        Require(m_volume != nullptr, "ntfs_device_mount");
    }
    ntfs_inode* Create(const SPath& path, mode_t type) {
        ntfs_inode* parent = ntfs_pathname_to_inode(m_volume, nullptr, path.parent.c_str());
        Require(parent != nullptr, "ntfs_pathname_to_inode", path.parent);
        std::vector<ntfschar> name = ToNtfs(path.name);
        ntfs_inode* created = ntfs_create(parent, const_cpu_to_le32(0), name.data(), static_cast<u8>(name.size()), type);
        ntfs_inode_close(parent);
        Require(created != nullptr, "ntfs_create", path.utf8);
        return created;
    }

    SStorage m_storage;
    ntfs_volume* m_volume = nullptr;
};

class CFamilyEngine final : public IEngine {
public:
    const char* Name() const override { return "family"; }
    void Mount(SMemoryImage& image) override { MountStorage(&image, {}); }
    void MountFile(const std::string& path) override { MountStorage(nullptr, path); }
    void Unmount() override {
        Require(volkit::filesystem::close(m_volume), "filesystem::close");
        m_storage.Close();
    }
    void* OpenFile(const SPath& path) override {
        volkit::file::handle file;
        Require(volkit::file::open(file, path.utf8.c_str(), m_volume), "file::open", path.utf8);
        return file.ptr;
    }
    void* CreateFile(const SPath& path) override {
        volkit::file::handle file;
        Require(volkit::file::create(file, path.utf8.c_str(), m_volume), "file::create", path.utf8);
        return file.ptr;
    }
    void CloseFile(void* file) override { Require(volkit::file::close({file}), "file::close"); }
    void CreateDirectory(const SPath& path) override {
        Require(volkit::directory::create(path.utf8.c_str(), m_volume), "directory::create", path.utf8);
    }
    void Read(void* file, uint64_t offset, void* buffer, uint32_t length) override {
        Require(volkit::file::read({file}, offset, buffer, length), "file::read");
    }
    void Append(void* file, uint64_t offset, const void* buffer, uint32_t length) override {
        Require(volkit::file::write({file}, offset, buffer, length), "file::write");
    }
    void Truncate(void* file) override { Require(volkit::file::setSize({file}, 0), "file::setSize"); }
    // The family hands over sizes and times either way.
    uint64_t CountEntries(const SPath& directory, EListing) override {
        SListingCount count;
        auto counter = [](const volkit::directory::dirEntry& entry, void* context) {
            if (!IsDotName(entry.name)) static_cast<SListingCount*>(context)->Add(entry.size, entry.lastWriteTime);
            return true;
        };
        Require(volkit::directory::fetch(directory.utf8.c_str(), m_volume, counter, &count), "directory::fetch",
                directory.utf8);
        return count.Done();
    }

private:
    void MountStorage(SMemoryImage* image, const std::string& path) {
        m_storage.Open(image, path);
        m_device = volkit::filesystem::device{&m_storage, &StorageRead, &StorageWrite, &StorageSize};
        Require(volkit::filesystem::open(m_volume, m_device), "filesystem::open");
    }

    SStorage m_storage;
    volkit::filesystem::device m_device;
    volkit::filesystem::handle m_volume;
};

}  // namespace

SPath::SPath(const std::string& slashPath) : utf8(slashPath) {
    size_t cut = slashPath.find_last_of('/');
    parent = cut == 0 || cut == std::string::npos ? "/" : slashPath.substr(0, cut);
    name = cut == std::string::npos ? slashPath : slashPath.substr(cut + 1);
    for (char c : slashPath) wide.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
}

std::unique_ptr<IEngine> MakeEngine(EEngine kind) {
    switch (kind) {
        case EEngine::Ntfs3g:
            return std::make_unique<CNtfs3gEngine>();
        case EEngine::Native:
            return std::make_unique<CNativeEngine>();
        case EEngine::Family:
            break;
    }
    return std::make_unique<CFamilyEngine>();
}

}  // namespace volcore::bench
