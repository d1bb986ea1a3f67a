#include "Ntfs3gEngine.h"

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "Text.h"

namespace volcore::tool {
#ifdef VOLKIT_TOOL_WITH_NTFS3G
namespace {

constexpr uint8_t kDosNameSpace = 2;

class CNtfs3gStream final : public IFileStream {
public:
    explicit CNtfs3gStream(volkit::file::handle handle) : m_handle(handle) {}
    ~CNtfs3gStream() override {
        if (m_handle.ptr) volkit::file::close(m_handle);
    }
    bool Size(uint64_t& size) override { return volkit::file::getSize(m_handle, size); }
    bool Read(uint64_t offset, void* buffer, uint32_t length) override {
        return volkit::file::read(m_handle, offset, buffer, length);
    }
    bool Write(uint64_t offset, const void* buffer, uint32_t length) override {
        return volkit::file::write(m_handle, offset, buffer, length);
    }
    bool SetSize(uint64_t size) override { return volkit::file::setSize(m_handle, size); }
    bool Close() override {
        volkit::file::handle handle = m_handle;
        m_handle = {};
        return volkit::file::close(handle);
    }

private:
    volkit::file::handle m_handle;
};

SEntryInfo ToEntryInfo(const std::string& name, const volkit::file::attributes& attributes) {
    SEntryInfo info;
    info.name = name;
    info.isDirectory = (attributes.fileAttributes & kAttributeDirectory) != 0;
    info.attributes = attributes.fileAttributes;
    info.size = info.isDirectory ? 0 : attributes.size;
    info.creationTime = attributes.creationTime;
    info.lastWriteTime = attributes.lastWriteTime;
    info.lastAccessTime = attributes.lastAccessTime;
    return info;
}

class CNtfs3gEngine final : public IEngine {
public:
    explicit CNtfs3gEngine(volkit::filesystem::handle volume) : m_volume(volume) {}
    ~CNtfs3gEngine() override {
        if (m_volume.ptr) volkit::filesystem::close(m_volume);
    }
    const char* Name() const override { return "ntfs3g"; }

    bool Stat(const CVolumePath& path, SEntryInfo& info) override {
        volkit::file::handle handle;
        if (!volkit::file::open(handle, path.Display().c_str(), m_volume)) return false;
        volkit::file::attributes attributes;
        uint32_t links = 0;
        bool ok = volkit::file::getAttributes(handle, attributes) && volkit::file::getLinkCount(handle, links);
        ok = volkit::file::close(handle) && ok;
        if (ok) info = ToEntryInfo(path.IsRoot() ? "/" : path.Name(), attributes);
        info.links = info.isDirectory ? 1 : links;
        return ok;
    }

    bool List(const CVolumePath& directory, const std::function<void(const SEntryInfo&)>& visit) override {
        return volkit::directory::fetch(directory.Display().c_str(), m_volume, &OnEntry,
                                const_cast<std::function<void(const SEntryInfo&)>*>(&visit));
    }

    bool OpenFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        volkit::file::handle handle;
        if (!volkit::file::open(handle, path.Display().c_str(), m_volume)) return false;
        stream = std::make_unique<CNtfs3gStream>(handle);
        return true;
    }

    bool CreateFile(const CVolumePath& path, std::unique_ptr<IFileStream>& stream) override {
        volkit::file::handle handle;
        if (!volkit::file::create(handle, path.Display().c_str(), m_volume)) return false;
        stream = std::make_unique<CNtfs3gStream>(handle);
        return true;
    }

    bool MakeDirectory(const CVolumePath& path) override {
        return volkit::directory::create(path.Display().c_str(), m_volume);
    }

    bool Remove(const CVolumePath& path, bool isDirectory) override {
        return isDirectory ? volkit::directory::remove(path.Display().c_str(), m_volume)
                           : volkit::file::remove(path.Display().c_str(), m_volume);
    }

    bool Rename(const CVolumePath& from, const CVolumePath& to, bool isDirectory, bool replace) override {
        return (isDirectory ? volkit::directory::rename : volkit::file::rename)(
            from.Display().c_str(), to.Display().c_str(), replace, m_volume);
    }

    bool Link(const CVolumePath& target, const CVolumePath& link) override {
        return volkit::file::link(target.Display().c_str(), link.Display().c_str(), m_volume);
    }

    bool SetAttributesAndTimes(const CVolumePath& path, bool, const SEntryInfo& wanted) override {
        volkit::file::handle handle;
        if (!volkit::file::open(handle, path.Display().c_str(), m_volume)) return false;
        volkit::file::attributes attributes;
        attributes.fileAttributes = wanted.attributes;
        attributes.creationTime = wanted.creationTime;
        attributes.lastWriteTime = wanted.lastWriteTime;
        attributes.lastAccessTime = wanted.lastAccessTime;
        bool ok = volkit::file::setAttributes(handle, attributes);
        return volkit::file::close(handle) && ok;
    }

    bool ListStreams(const CVolumePath& path, const std::function<void(const SStreamInfo&)>& visit) override {
        auto relay = [](const volkit::file::streamEntry& entry, void* context) {
            (*static_cast<const std::function<void(const SStreamInfo&)>*>(context))({Utf16ToUtf8(entry.name), entry.size});
            return true;
        };
        return volkit::file::fetchStreams(path.Display().c_str(), m_volume, relay,
                                          const_cast<std::function<void(const SStreamInfo&)>*>(&visit));
    }

    uint32_t ChangeableAttributes() const override {
        return kAttributeReadOnly | kAttributeHidden | kAttributeArchive;
    }

    bool Close() override {
        volkit::filesystem::handle volume = m_volume;
        m_volume = {};
        return volkit::filesystem::close(volume);
    }

private:
    static bool OnEntry(const volkit::directory::dirEntry& entry, void* context) {
        // An 8.3 alias repeats a long name, as the native engine also leaves out.
        if (entry.nameSpace == kDosNameSpace) return true;
        volkit::file::attributes attributes{entry.fileAttributes, entry.creationTime, entry.lastAccessTime,
                                    entry.lastWriteTime, entry.size};
        SEntryInfo info = ToEntryInfo(Utf16ToUtf8(entry.name), attributes);
        (*static_cast<std::function<void(const SEntryInfo&)>*>(context))(info);
        return true;
    }

    volkit::filesystem::handle m_volume;
};

}  // namespace

std::unique_ptr<IEngine> OpenNtfs3gEngine(CImageDevice& device) {
    volkit::filesystem::device callbacks = device.FilesystemFamilyDevice();
    volkit::filesystem::handle volume;
    if (!volkit::filesystem::open(volume, callbacks)) return nullptr;
    return std::make_unique<CNtfs3gEngine>(volume);
}

#else

std::unique_ptr<IEngine> OpenNtfs3gEngine(CImageDevice&) {
    CDiagnostics::Note(kNtfs3gEngineMissing);
    return nullptr;
}

#endif

}  // namespace volcore::tool
