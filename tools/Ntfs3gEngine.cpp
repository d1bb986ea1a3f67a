#include "Ntfs3gEngine.h"

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "Text.h"

namespace volkit::tool {
namespace {

constexpr uint8_t kDosNameSpace = 2;

class Ntfs3gStream final : public FileStream {
public:
    explicit Ntfs3gStream(file::handle handle) : m_handle(handle) {}
    ~Ntfs3gStream() override {
        if (m_handle.ptr) file::close(m_handle);
    }
    bool Size(uint64_t& size) override { return file::getSize(m_handle, size); }
    bool Read(uint64_t offset, void* buffer, uint32_t length) override {
        return file::read(m_handle, offset, buffer, length);
    }
    bool Write(uint64_t offset, const void* buffer, uint32_t length) override {
        return file::write(m_handle, offset, buffer, length);
    }
    bool SetSize(uint64_t size) override { return file::setSize(m_handle, size); }
    bool Close() override {
        file::handle handle = m_handle;
        m_handle = {};
        return file::close(handle);
    }

private:
    file::handle m_handle;
};

EntryInfo ToEntryInfo(const std::string& name, const file::attributes& attributes) {
    EntryInfo info;
    info.name = name;
    info.isDirectory = (attributes.fileAttributes & kAttributeDirectory) != 0;
    info.attributes = attributes.fileAttributes;
    info.size = info.isDirectory ? 0 : attributes.size;
    info.creationTime = attributes.creationTime;
    info.lastWriteTime = attributes.lastWriteTime;
    info.lastAccessTime = attributes.lastAccessTime;
    return info;
}

class Ntfs3gEngine final : public Engine {
public:
    explicit Ntfs3gEngine(filesystem::handle volume) : m_volume(volume) {}
    ~Ntfs3gEngine() override {
        if (m_volume.ptr) filesystem::close(m_volume);
    }
    const char* Name() const override { return "ntfs3g"; }

    bool Stat(const VolumePath& path, EntryInfo& info) override {
        file::handle handle;
        if (!file::open(handle, path.Display().c_str(), m_volume)) return false;
        file::attributes attributes;
        bool ok = file::getAttributes(handle, attributes);
        ok = file::close(handle) && ok;
        if (ok) info = ToEntryInfo(path.IsRoot() ? "/" : path.Name(), attributes);
        return ok;
    }

    bool List(const VolumePath& directory, const std::function<void(const EntryInfo&)>& visit) override {
        return directory::fetch(directory.Display().c_str(), m_volume, &OnEntry,
                                const_cast<std::function<void(const EntryInfo&)>*>(&visit));
    }

    bool OpenFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        file::handle handle;
        if (!file::open(handle, path.Display().c_str(), m_volume)) return false;
        stream = std::make_unique<Ntfs3gStream>(handle);
        return true;
    }

    bool CreateFile(const VolumePath& path, std::unique_ptr<FileStream>& stream) override {
        file::handle handle;
        if (!file::create(handle, path.Display().c_str(), m_volume)) return false;
        stream = std::make_unique<Ntfs3gStream>(handle);
        return true;
    }

    bool MakeDirectory(const VolumePath& path) override {
        return directory::create(path.Display().c_str(), m_volume);
    }

    bool Remove(const VolumePath& path, bool isDirectory) override {
        return isDirectory ? directory::remove(path.Display().c_str(), m_volume)
                           : file::remove(path.Display().c_str(), m_volume);
    }

    bool SetAttributesAndTimes(const VolumePath& path, bool, const EntryInfo& wanted) override {
        file::handle handle;
        if (!file::open(handle, path.Display().c_str(), m_volume)) return false;
        file::attributes attributes;
        attributes.fileAttributes = wanted.attributes;
        attributes.creationTime = wanted.creationTime;
        attributes.lastWriteTime = wanted.lastWriteTime;
        attributes.lastAccessTime = wanted.lastAccessTime;
        bool ok = file::setAttributes(handle, attributes);
        return file::close(handle) && ok;
    }

    uint32_t ChangeableAttributes() const override {
        return kAttributeReadOnly | kAttributeHidden | kAttributeArchive;
    }

    bool Close() override {
        filesystem::handle volume = m_volume;
        m_volume = {};
        return filesystem::close(volume);
    }

private:
    static bool OnEntry(const directory::dirEntry& entry, void* context) {
        // An 8.3 alias repeats a long name, as the native engine also leaves out.
        if (entry.nameSpace == kDosNameSpace) return true;
        file::attributes attributes{entry.fileAttributes, entry.creationTime, entry.lastAccessTime,
                                    entry.lastWriteTime, entry.size};
        EntryInfo info = ToEntryInfo(Utf16ToUtf8(entry.name), attributes);
        (*static_cast<std::function<void(const EntryInfo&)>*>(context))(info);
        return true;
    }

    filesystem::handle m_volume;
};

}  // namespace

std::unique_ptr<Engine> OpenNtfs3gEngine(ImageDevice& device) {
    filesystem::device callbacks = device.FilesystemFamilyDevice();
    filesystem::handle volume;
    if (!filesystem::open(volume, callbacks)) return nullptr;
    return std::make_unique<Ntfs3gEngine>(volume);
}

}  // namespace volkit::tool
