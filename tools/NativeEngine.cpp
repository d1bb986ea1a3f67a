#include "NativeEngine.h"

#include <cctype>
#include <set>

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "Text.h"
#include "volkit/api.h"

namespace volcore::tool {
namespace {

using namespace volkit::api;

constexpr uint8_t kDosNameSpace = 2;
constexpr uint32_t kAttributeReparsePoint = 0x400;

void KeepLink(const NtfsLinkTarget& found, void* context) {
    auto& link = *static_cast<LinkInfo*>(context);
    link.target = WideToUtf8(found.printName);
    link.relative = found.relative;
    link.junction = found.kind == NtfsJunction;
}

// Only objects that can be links are asked: reparse points and system files.
bool ReadLinkOf(NtfsFileHandle file, const NtfsAttributesAndTime& values, LinkInfo& link) {
    link = {};
    if (!(values.attributes & (kAttributeReparsePoint | kAttributeSystem))) return true;
    return NtfsReadLinkTarget(file, &KeepLink, &link);
}

class NativeStream final : public FileStream {
public:
    explicit NativeStream(NtfsFileHandle handle) : m_handle(handle) {}
    // A close ends the handle even when it fails, so this never closes twice.
    ~NativeStream() override {
        if (m_handle.ptr) NtfsCloseFile(m_handle);
    }
    bool Size(uint64_t& size) override {
        unsigned long long value = 0;
        if (!NtfsGetFileSize(value, m_handle)) return false;
        size = value;
        return true;
    }
    // The engine refuses empty transfers; for a caller they are simply done.
    bool Read(uint64_t offset, void* buffer, uint32_t length) override {
        return length == 0 || NtfsReadFile(offset, buffer, length, m_handle);
    }
    bool Write(uint64_t offset, const void* buffer, uint32_t length) override {
        return length == 0 || NtfsWriteFile(offset, buffer, length, m_handle);
    }
    bool SetSize(uint64_t size) override { return SetFileSize(size, m_handle); }
    bool Close() override { return NtfsCloseFile(m_handle); }

private:
    NtfsFileHandle m_handle;
};

EntryInfo FromAttributesAndTime(const std::string& name, bool isDirectory, const NtfsAttributesAndTime& values) {
    EntryInfo info;
    info.name = name;
    info.isDirectory = isDirectory;
    info.attributes = values.attributes | (isDirectory ? kAttributeDirectory : 0);
    info.creationTime = values.creationTime;
    info.lastWriteTime = values.lastWriteTime;
    info.lastAccessTime = values.lastAccessTime;
    return info;
}

NtfsAttributesAndTime ToAttributesAndTime(const EntryInfo& info) {
    NtfsAttributesAndTime values;
    values.creationTime = info.creationTime;
    values.lastWriteTime = info.lastWriteTime;
    values.lastAccessTime = info.lastAccessTime;
    values.attributes = info.attributes;
    return values;
}

struct ListContext {
    const std::function<void(const EntryInfo&)>* visit;
};

bool OnEntry(const NtfsDirEntry& entry, void* context) {
    // The root's index names the root itself; DOS aliases repeat a long name.
    const std::wstring name = entry.name;
    if (name == L"." || entry.nameSpace == kDosNameSpace) return true;
    EntryInfo info;
    info.name = WideToUtf8(name);
    info.isDirectory = entry.isDirectory;
    info.attributes = entry.attributes | (entry.isDirectory ? kAttributeDirectory : 0);
    info.size = entry.isDirectory ? 0 : entry.dataSize;
    info.creationTime = entry.creationTime;
    info.lastWriteTime = entry.lastWriteTime;
    info.lastAccessTime = entry.lastAccessTime;
    info.fileId = entry.fileReference & 0xFFFFFFFFFFFFull;
    if (!entry.isDirectory) info.allocatedSize = entry.allocatedSize;
    (*static_cast<ListContext*>(context)->visit)(info);
    return true;
}

// The handle family's form of a path; a name that is no UTF-8 (a host file
// name, say) cannot be given to it.
bool WidePath(const VolumePath& path, std::wstring& wide) {
    auto converted = path.Wide();
    if (!converted) {
        Diagnostics::Note("'" + path.Display() + "' is not valid UTF-8");
        return false;
    }
    wide = *converted;
    return true;
}

class NativeEngine final : public Engine {
public:
    explicit NativeEngine(NtfsVolumeHandle volume) : m_volume(volume) {}
    ~NativeEngine() override {
        if (m_volume.ptr) NtfsCloseVolume(m_volume);
    }
    const char* Name() const override { return "native"; }

    bool Stat(const VolumePath& path, EntryInfo& info) override {
        std::wstring wide;
        if (!WidePath(path, wide)) return false;
        NtfsDirHandle directory;
        bool isDirectory;
        {
            Diagnostics::Quiet quiet;
            isDirectory = NtfsOpenDir(wide.c_str(), directory, m_volume);
        }
        Diagnostics::Clear();
        NtfsAttributesAndTime values;
        if (isDirectory) {
            bool ok = GetDirAttributesAndTime(values, directory);
            ok = NtfsCloseDir(directory) && ok;
            if (ok) info = FromAttributesAndTime(path.IsRoot() ? "/" : path.Name(), true, values);
            info.links = 1;
            LinkInfo link;
            if (ok && (values.attributes & kAttributeReparsePoint) && ReadLink(path, link)) info.linkTarget = link.target;
            return ok;
        }
        NtfsFileHandle file;
        if (!NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        unsigned long long size = 0;
        unsigned int links = 0;
        LinkInfo link;
        bool ok = GetFileAttributesAndTime(values, file) && NtfsGetFileSize(size, file) &&
                  NtfsGetLinkCount(links, file) && ReadLinkOf(file, values, link);
        ok = NtfsCloseFile(file) && ok;
        if (!ok) return false;
        info = FromAttributesAndTime(path.Name(), false, values);
        info.size = size;
        info.links = links;
        info.allocatedSize = AllocatedSizeInParent(path);
        info.linkTarget = link.target;
        return true;
    }

    // The parent index's copy of the file's size on disk: the close above has
    // brought it up to date. The name as stored first, else one equal to it
    // ignoring ASCII case.
    std::optional<uint64_t> AllocatedSizeInParent(const VolumePath& path) {
        std::optional<uint64_t> exact, folded;
        auto fold = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return text;
        };
        Diagnostics::Quiet quiet;
        List(path.Parent(), [&](const EntryInfo& entry) {
            if (entry.name == path.Name()) exact = entry.allocatedSize;
            else if (!folded && fold(entry.name) == fold(path.Name())) folded = entry.allocatedSize;
        });
        Diagnostics::Clear();
        return exact ? exact : folded;
    }

    bool ReadLink(const VolumePath& path, LinkInfo& link) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        NtfsAttributesAndTime values;
        bool ok = GetFileAttributesAndTime(values, file) && ReadLinkOf(file, values, link);
        return NtfsCloseFile(file) && ok;
    }

    bool MakeSymlink(const VolumePath& path, const std::string& target, bool directory) override {
        std::wstring wide;
        const std::optional<std::wstring> to = Utf8ToWide(target);
        if (!WidePath(path, wide)) return false;
        if (!to) {
            Diagnostics::Note("the link target '" + target + "' is not valid UTF-8");
            return false;
        }
        return NtfsCreateSymlink(wide.c_str(), to->c_str(), directory, m_volume);
    }

    bool List(const VolumePath& path, const std::function<void(const EntryInfo&)>& visit) override {
        std::wstring wide;
        NtfsDirHandle directory;
        if (!WidePath(path, wide) || !NtfsOpenDir(wide.c_str(), directory, m_volume)) return false;
        ListContext context{&visit};
        bool ok = NtfsEnumDir(directory, &OnEntry, &context);
        return NtfsCloseDir(directory) && ok;
    }

    bool OpenFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        stream = std::make_unique<NativeStream>(file);
        return true;
    }

    bool CreateFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsCreateFile(wide.c_str(), file, m_volume)) return false;
        stream = std::make_unique<NativeStream>(file);
        return true;
    }

    bool MakeDirectory(const VolumePath& path) override {
        std::wstring wide;
        NtfsDirHandle directory;
        return WidePath(path, wide) && NtfsCreateDir(wide.c_str(), directory, m_volume) && NtfsCloseDir(directory);
    }

    bool Remove(const VolumePath& path, bool isDirectory) override {
        std::wstring wide;
        if (!WidePath(path, wide)) return false;
        if (isDirectory) {
            NtfsDirHandle directory;
            if (!NtfsOpenDir(wide.c_str(), directory, m_volume)) return false;
            // A delete that fails leaves the handle open.
            if (NtfsDeleteDir(directory)) return true;
            NtfsCloseDir(directory);
            return false;
        }
        NtfsFileHandle file;
        if (!NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        if (NtfsDeleteFile(file)) return true;
        NtfsCloseFile(file);
        return false;
    }

    bool Rename(const VolumePath& from, const VolumePath& to, bool isDirectory, bool replace) override {
        std::wstring source, target;
        if (!WidePath(from, source) || !WidePath(to, target)) return false;
        if (isDirectory) {
            NtfsDirHandle directory;
            if (!NtfsOpenDir(source.c_str(), directory, m_volume)) return false;
            bool ok = NtfsMoveDir(target.c_str(), replace, directory);
            return NtfsCloseDir(directory) && ok;
        }
        NtfsFileHandle file;
        if (!NtfsOpenFile(source.c_str(), file, m_volume)) return false;
        bool ok = NtfsMoveFile(target.c_str(), replace, file);
        return NtfsCloseFile(file) && ok;
    }

    bool Link(const VolumePath& target, const VolumePath& link) override {
        std::wstring existing, name;
        NtfsFileHandle file;
        if (!WidePath(target, existing) || !WidePath(link, name) || !NtfsOpenFile(existing.c_str(), file, m_volume))
            return false;
        bool ok = NtfsCreateHardLink(name.c_str(), file);
        return NtfsCloseFile(file) && ok;
    }

    bool SetAttributesAndTimes(const VolumePath& path, bool isDirectory, const EntryInfo& wanted) override {
        std::wstring wide;
        if (!WidePath(path, wide)) return false;
        const NtfsAttributesAndTime values = ToAttributesAndTime(wanted);
        if (isDirectory) {
            NtfsDirHandle directory;
            if (!NtfsOpenDir(wide.c_str(), directory, m_volume)) return false;
            bool ok = SetDirAttributesAndTime(values, directory);
            return NtfsCloseDir(directory) && ok;
        }
        NtfsFileHandle file;
        if (!NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        bool ok = SetFileAttributesAndTime(values, file);
        return NtfsCloseFile(file) && ok;
    }

    bool ListStreams(const VolumePath& path, const std::function<void(const StreamInfo&)>& visit) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        auto relay = [](const NtfsStreamEntry& entry, void* context) {
            (*static_cast<const std::function<void(const StreamInfo&)>*>(context))({WideToUtf8(entry.name), entry.dataSize});
            return true;
        };
        bool ok = NtfsEnumStreams(file, relay, const_cast<std::function<void(const StreamInfo&)>*>(&visit));
        return NtfsCloseFile(file) && ok;
    }

    uint32_t ChangeableAttributes() const override {
        return kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;
    }

    bool Close() override { return NtfsCloseVolume(m_volume); }

private:
    NtfsVolumeHandle m_volume;
};

}  // namespace

bool NativeEngineServes(const std::string& command) {
    static const std::set<std::string> kServed = {"ls", "stat",  "cat",    "get", "put", "mkdir",
                                                  "rm", "touch", "attrib", "mv",  "ln"};
    return kServed.count(command) != 0;
}

std::unique_ptr<Engine> OpenNativeEngine(ImageDevice& device) {
    const NtfsIoDevice callbacks = device.HandleFamilyDevice();
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(callbacks, volume)) return nullptr;
    return std::make_unique<NativeEngine>(volume);
}

}  // namespace volcore::tool
