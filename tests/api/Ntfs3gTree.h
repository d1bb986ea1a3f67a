#pragma once
// An image file opened with libntfs-3g, the independent implementation the
// interoperability tests fill volumes with and compare against. Paths are
// UTF-16 with backslashes, as the handle family takes them; every failure
// throws std::runtime_error.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct _ntfs_volume;

namespace volkit::test {

struct Ntfs3gStat {
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint64_t accessTime = 0;
    uint32_t attributes = 0;
    bool directory = false;
};

class Ntfs3gTree {
public:
    Ntfs3gTree(const std::string& imagePath, bool readOnly);
    ~Ntfs3gTree();
    Ntfs3gTree(const Ntfs3gTree&) = delete;
    Ntfs3gTree& operator=(const Ntfs3gTree&) = delete;

    void MakeDirectory(const std::u16string& path);
    void MakeFile(const std::u16string& path, const std::vector<uint8_t>& contents = {});
    void Append(const std::u16string& path, const std::vector<uint8_t>& bytes);
    void Resize(const std::u16string& path, uint64_t size);
    void Link(const std::u16string& existing, const std::u16string& newPath);
    void SetDosName(const std::u16string& path, const std::string& dosName);
    void Remove(const std::u16string& path);

    bool Exists(const std::u16string& path);
    std::vector<uint8_t> Read(const std::u16string& path);
    Ntfs3gStat Stat(const std::u16string& path);
    // Names as libntfs-3g enumerates them (long and POSIX names; no DOS
    // aliases, no "." or ".."), with their record numbers.
    std::map<std::u16string, uint64_t> List(const std::u16string& path);
    // Clusters in use by anything but $MFT (which only grows), and free MFT
    // records, counted from the bitmaps.
    std::pair<int64_t, int64_t> SpaceInUse();

private:
    _ntfs_volume* m_volume = nullptr;
};

}  // namespace volkit::test
