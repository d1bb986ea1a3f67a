#include "InteropSupport.h"

#include <gtest/gtest.h>

#include <sstream>

#include "api/HandleTable.h"
#include "base/Unicode.h"
#include "entries/RecordFormat.h"
#include "index/Directory.h"
#include "support/Images.h"
#include "volume/Volume.h"

namespace volcore::test {

std::u16string Child(const std::u16string& directory, const std::u16string& name) {
    return directory.empty() ? name : directory + u"\\" + name;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Utf8(const std::u16string& text) { return volcore::Utf16ToUtf8(text); }

std::set<std::u16string> ChildrenOf(const Tree& tree, const std::u16string& directory) {
    std::set<std::u16string> names;
    for (const auto& [path, contents] : tree) {
        volcore::SParentAndName split = volcore::SplitLastComponent(path);
        if (split.parentPath == directory) names.insert(split.name);
    }
    return names;
}

Bytes ReadThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path) {
    using namespace volkit::api;
    NtfsFileHandle file;
    std::wstring wide = volcore::Utf16ToWide(path);
    if (!NtfsOpenFile(wide.c_str(), file, volume)) throw std::runtime_error("cannot open " + Utf8(path));
    unsigned long long value = 0;
    if (!NtfsGetFileSize(value, file)) throw std::runtime_error("cannot size " + Utf8(path));
    uint64_t size = value;
    Bytes bytes(size);
    constexpr uint64_t kChunk = 1 << 20;
    for (uint64_t offset = 0; offset < size; offset += kChunk) {
        unsigned length = static_cast<unsigned>(std::min(kChunk, size - offset));
        if (!NtfsReadFile(offset, bytes.data() + offset, length, file))
            throw std::runtime_error("cannot read " + Utf8(path));
    }
    if (!NtfsCloseFile(file)) throw std::runtime_error("cannot close " + Utf8(path));
    return bytes;
}

void WriteThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path, const Bytes& contents) {
    using namespace volkit::api;
    NtfsFileHandle file;
    std::wstring wide = volcore::Utf16ToWide(path);
    if (!NtfsCreateFile(wide.c_str(), file, volume)) throw std::runtime_error("cannot create " + Utf8(path));
    // Grown in steps, as an appending writer would.
    constexpr size_t kChunk = 256 * 1024;
    for (size_t offset = 0; offset < contents.size(); offset += kChunk) {
        size_t length = std::min(kChunk, contents.size() - offset);
        if (!SetFileSize(offset + length, file) ||
            !NtfsWriteFile(offset, contents.data() + offset, static_cast<unsigned>(length), file))
            throw std::runtime_error("cannot write " + Utf8(path));
    }
    if (!NtfsCloseFile(file)) throw std::runtime_error("cannot close " + Utf8(path));
}

std::map<std::u16string, uint64_t> ListThroughEngine(volkit::api::NtfsVolumeHandle volume,
                                                     const std::u16string& path) {
    volcore::CVolume& engine = *volcore::HandleObject<volcore::CVolume>(volume.ptr, "no volume");
    std::map<std::u16string, uint64_t> names;
    volcore::CDirectory::OpenByPath(engine, path)->GetIndex().ForEach([&](auto name, const auto& value) {
        if (value.nameSpace != volcore::FileNameValue::NameSpaceDos && name != u".")
            names[std::u16string(name)] = volcore::RecordNumber(value.fileReference);
        return true;
    });
    return names;
}

}  // namespace volcore::test
