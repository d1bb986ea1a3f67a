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
    auto& link = *static_cast<SLinkInfo*>(context);
    link.target = WideToUtf8(found.printName);
    link.relative = found.relative;
    link.junction = found.kind == NtfsJunction;
}

// Only objects that can be links are asked: reparse points and system files.
bool ReadLinkOf(NtfsFileHandle file, const NtfsAttributesAndTime& values, SLinkInfo& link) {
    link = {};
    if (!(values.attributes & (kAttributeReparsePoint | kAttributeSystem))) return true;
    return NtfsReadLinkTarget(file, &KeepLink, &link);
}

class CNativeStream final : public IFileStream {
public:
    explicit CNativeStream(NtfsFileHandle handle) : m_handle(handle) {}
    // A close ends the handle even when it fails, so this never closes twice.
    ~CNativeStream() override {
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
    bool NextData(uint64_t offset, uint64_t, uint64_t& start, uint64_t& length) override {
        unsigned long long from = 0, count = 0;
        if (!NtfsGetFileDataRange(offset, from, count, m_handle)) return false;
        start = from;
        length = count;
        return true;
    }
    bool MakeSparse() override { return NtfsSetFileSparse(m_handle); }
    bool Close() override { return NtfsCloseFile(m_handle); }

private:
    NtfsFileHandle m_handle;
};

SEntryInfo FromAttributesAndTime(const std::string& name, bool isDirectory, const NtfsAttributesAndTime& values) {
    SEntryInfo info;
    info.name = name;
    info.isDirectory = isDirectory;
    info.attributes = values.attributes | (isDirectory ? kAttributeDirectory : 0);
    info.creationTime = values.creationTime;
    info.lastWriteTime = values.lastWriteTime;
    info.lastAccessTime = values.lastAccessTime;
    return info;
}

NtfsAttributesAndTime ToAttributesAndTime(const SEntryInfo& info) {
    NtfsAttributesAndTime values;
    values.creationTime = info.creationTime;
    values.lastWriteTime = info.lastWriteTime;
    values.lastAccessTime = info.lastAccessTime;
    values.attributes = info.attributes;
    return values;
}

struct SListContext {
    const std::function<void(const SEntryInfo&)>* visit;
};

bool OnEntry(const NtfsDirEntry& entry, void* context) {
    // The root's index names the root itself; DOS aliases repeat a long name.
    const std::wstring name = entry.name;
    if (name == L"." || entry.nameSpace == kDosNameSpace) return true;
    SEntryInfo info;
    info.name = WideToUtf8(name);
    info.isDirectory = entry.isDirectory;
    info.attributes = entry.attributes | (entry.isDirectory ? kAttributeDirectory : 0);
    info.size = entry.isDirectory ? 0 : entry.dataSize;
    info.creationTime = entry.creationTime;
    info.lastWriteTime = entry.lastWriteTime;
    info.lastAccessTime = entry.lastAccessTime;
    info.fileId = entry.fileReference & 0xFFFFFFFFFFFFull;
    if (!entry.isDirectory) info.allocatedSize = entry.allocatedSize;
    (*static_cast<SListContext*>(context)->visit)(info);
    return true;
}

// The handle family's form of a path; a name that is no UTF-8 (a host file
// name, say) cannot be given to it.
bool WidePath(const CVolumePath& path, std::wstring& wide) {
    auto converted = path.Wide();
    if (!converted) {
        CDiagnostics::Note("'" + path.Display() + "' is not valid UTF-8");
        return false;
    }
    wide = *converted;
    return true;
}

class CNativeEngine final : public IEngine {
public:
    explicit CNativeEngine(NtfsVolumeHandle volume) : m_volume(volume) {}
    ~CNativeEngine() override {
        if (m_volume.ptr) NtfsCloseVolume(m_volume);
    }
    const char* Name() const override { return "native"; }

    bool Stat(const CVolumePath& path, SEntryInfo& info) override {
        std::wstring wide;
        if (!WidePath(path, wide)) return false;
        NtfsDirHandle directory;
        bool isDirectory;
        {
            CDiagnostics::CQuiet quiet;
            isDirectory = NtfsOpenDir(wide.c_str(), directory, m_volume);
        }
        CDiagnostics::Clear();
        NtfsAttributesAndTime values;
        if (isDirectory) {
            bool ok = GetDirAttributesAndTime(values, directory);
            ok = NtfsCloseDir(directory) && ok;
            if (ok) info = FromAttributesAndTime(path.IsRoot() ? "/" : path.Name(), true, values);
            info.links = 1;
            SLinkInfo link;
            if (ok && (values.attributes & kAttributeReparsePoint) && ReadLink(path, link)) info.linkTarget = link.target;
            return ok;
        }
        NtfsFileHandle file;
        if (!NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        unsigned long long size = 0;
        unsigned int links = 0;
        SLinkInfo link;
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
    std::optional<uint64_t> AllocatedSizeInParent(const CVolumePath& path) {
        std::optional<uint64_t> exact, folded;
        auto fold = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return text;
        };
        CDiagnostics::CQuiet quiet;
        List(path.Parent(), [&](const SEntryInfo& entry) {
            if (entry.name == path.Name()) exact = entry.allocatedSize;
            else if (!folded && fold(entry.name) == fold(path.Name())) folded = entry.allocatedSize;
        });
        CDiagnostics::Clear();
        return exact ? exact : folded;
    }

    bool ReadLink(const CVolumePath& path, SLinkInfo& link) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        NtfsAttributesAndTime values;
        bool ok = GetFileAttributesAndTime(values, file) && ReadLinkOf(file, values, link);
        return NtfsCloseFile(file) && ok;
    }

    bool MakeSymlink(const CVolumePath& path, const std::string& target, bool directory) override {
        std::wstring wide;
        const std::optional<std::wstring> to = Utf8ToWide(target);
        if (!WidePath(path, wide)) return false;
        if (!to) {
            CDiagnostics::Note("the link target '" + target + "' is not valid UTF-8");
            return false;
        }
        return NtfsCreateSymlink(wide.c_str(), to->c_str(), directory, m_volume);
    }

    bool List(const CVolumePath& path, const std::function<void(const SEntryInfo&)>& visit) override {
        std::wstring wide;
        NtfsDirHandle directory;
        if (!WidePath(path, wide) || !NtfsOpenDir(wide.c_str(), directory, m_volume)) return false;
        SListContext context{&visit};
        bool ok = NtfsEnumDir(directory, &OnEntry, &context);
        return NtfsCloseDir(directory) && ok;
    }

    bool OpenFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        stream = std::make_unique<CNativeStream>(file);
        return true;
    }

    bool CreateFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsCreateFile(wide.c_str(), file, m_volume)) return false;
        stream = std::make_unique<CNativeStream>(file);
        return true;
    }

    bool MakeDirectory(const CVolumePath& path) override {
        std::wstring wide;
        NtfsDirHandle directory;
        return WidePath(path, wide) && NtfsCreateDir(wide.c_str(), directory, m_volume) && NtfsCloseDir(directory);
    }

    bool Remove(const CVolumePath& path, bool isDirectory) override {
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

    bool Rename(const CVolumePath& from, const CVolumePath& to, bool isDirectory, bool replace) override {
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

    bool Link(const CVolumePath& target, const CVolumePath& link) override {
        std::wstring existing, name;
        NtfsFileHandle file;
        if (!WidePath(target, existing) || !WidePath(link, name) || !NtfsOpenFile(existing.c_str(), file, m_volume))
            return false;
        bool ok = NtfsCreateHardLink(name.c_str(), file);
        return NtfsCloseFile(file) && ok;
    }

    bool SetAttributesAndTimes(const CVolumePath& path, bool isDirectory, const SEntryInfo& wanted) override {
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

    bool ListStreams(const CVolumePath& path, const std::function<void(const SStreamInfo&)>& visit) override {
        std::wstring wide;
        NtfsFileHandle file;
        if (!WidePath(path, wide) || !NtfsOpenFile(wide.c_str(), file, m_volume)) return false;
        auto relay = [](const NtfsStreamEntry& entry, void* context) {
            (*static_cast<const std::function<void(const SStreamInfo&)>*>(context))({WideToUtf8(entry.name), entry.dataSize});
            return true;
        };
        bool ok = NtfsEnumStreams(file, relay, const_cast<std::function<void(const SStreamInfo&)>*>(&visit));
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

std::unique_ptr<IEngine> OpenNativeEngine(CImageDevice& device) {
    const NtfsIoDevice callbacks = device.HandleFamilyDevice();
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(callbacks, volume)) return nullptr;
    return std::make_unique<CNativeEngine>(volume);
}

}  // namespace volcore::tool
