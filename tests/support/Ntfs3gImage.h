#pragma once
// Changes and checks an image file through libntfs-3g, the independent NTFS
// implementation the tests compare against. The image is mounted for the
// object's lifetime; every failure throws std::runtime_error.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct _ntfs_volume;

namespace volkit::test {

struct Ntfs3gDirEntry {
    std::u16string name;
    uint64_t reference = 0;
    int nameSpace = 0;
};

class Ntfs3gImage {
public:
    explicit Ntfs3gImage(const std::string& path, bool readOnly = false);
    ~Ntfs3gImage();
    Ntfs3gImage(const Ntfs3gImage&) = delete;
    Ntfs3gImage& operator=(const Ntfs3gImage&) = delete;

    // `parent` is a slash path ("/" for the root); returns the new MFT reference.
    uint64_t CreateDirectory(const std::string& parent, const std::u16string& name);
    uint64_t CreateFile(const std::string& parent, const std::u16string& name, const std::string& contents = {});
    // A hard link of `path` named `name` in `parent`.
    void Link(const std::string& path, const std::string& parent, const std::u16string& name);
    // Gives `path` an 8.3 alias (a separate DOS-namespace name).
    void SetDosName(const std::string& path, const std::string& dosName);
    // Deletes the file or empty directory at `path`.
    void Remove(const std::string& path);

    // Looks the name up in the directory's index, as libntfs-3g's path walk does.
    std::optional<uint64_t> Lookup(const std::string& directory, const std::u16string& name);
    // The directory as libntfs-3g enumerates it, without "." and "..".
    std::vector<Ntfs3gDirEntry> List(const std::string& directory);

private:
    _ntfs_volume* m_volume = nullptr;
};

}  // namespace volkit::test
