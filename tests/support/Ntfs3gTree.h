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

namespace volcore::test {

struct Ntfs3gDirEntry {
    std::u16string name;
    uint64_t reference = 0;  // with its sequence number
    int nameSpace = 0;
};

struct Ntfs3gStat {
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint64_t accessTime = 0;
    uint32_t attributes = 0;
    bool directory = false;
};

class Ntfs3gTree {
public:
    explicit Ntfs3gTree(const std::string& imagePath, bool readOnly = false);
    ~Ntfs3gTree();
    Ntfs3gTree(const Ntfs3gTree&) = delete;
    Ntfs3gTree& operator=(const Ntfs3gTree&) = delete;

    // Both return the new MFT reference.
    uint64_t MakeDirectory(const std::u16string& path);
    uint64_t MakeFile(const std::u16string& path, const std::vector<uint8_t>& contents = {});
    void Append(const std::u16string& path, const std::vector<uint8_t>& bytes);
    void Resize(const std::u16string& path, uint64_t size);
    void Link(const std::u16string& existing, const std::u16string& newPath);
    void SetDosName(const std::u16string& path, const std::string& dosName);
    void Remove(const std::u16string& path);
    // Writes `bytes` at `offset` of the unnamed data (growing it as needed).
    void WriteAt(const std::u16string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

    // New files in a directory flagged compressed are compressed, once the
    // volume allows compression (what ntfs-3g's `-o compression` does).
    void EnableCompression();
    // Sets the file attributes (FILE_ATTRIBUTE_*) of an entry.
    void SetAttributes(const std::u16string& path, uint32_t attributes);
    // The flags of the unnamed $DATA attribute (0x0001 compressed, 0x8000 sparse).
    uint16_t DataFlags(const std::u16string& path);
    // Adds a named $DATA stream holding `bytes`.
    void AddStream(const std::u16string& path, const std::u16string& stream, const std::vector<uint8_t>& bytes) {
        WriteStream(path, stream, bytes);
    }
    // Sets the reparse point (tag, length and data as stored).
    void SetReparse(const std::u16string& path, const std::vector<uint8_t>& reparse);

    // A symbolic link as libntfs-3g makes one by default: an Interix file.
    void MakeInterixLink(const std::u16string& path, const std::u16string& target);
    // The reparse point as libntfs-3g reads it (tag, length and data), empty
    // when the entry has none.
    std::vector<uint8_t> ReparseData(const std::u16string& path);

    std::vector<uint8_t> Read(const std::u16string& path);
    // A named $DATA stream of the file at `path`: replaced whole (created when
    // missing), read, removed.
    void WriteStream(const std::u16string& path, const std::u16string& stream, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> ReadStream(const std::u16string& path, const std::u16string& stream);
    void RemoveStream(const std::u16string& path, const std::u16string& stream);
    Ntfs3gStat Stat(const std::u16string& path);
    // Names as libntfs-3g enumerates them (long and POSIX names; no DOS
    // aliases, no "." or ".."), with their record numbers.
    std::map<std::u16string, uint64_t> List(const std::u16string& path);
    // Every name, "." and ".." left out, as the directory's index holds it.
    std::vector<Ntfs3gDirEntry> Entries(const std::u16string& path);
    // Clusters in use by anything but $MFT (which only grows), and free MFT
    // records, counted from the bitmaps.
    std::pair<int64_t, int64_t> SpaceInUse();

private:
    _ntfs_volume* m_volume = nullptr;
};

}  // namespace volcore::test
