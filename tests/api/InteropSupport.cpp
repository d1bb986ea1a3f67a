#include "InteropSupport.h"

#include <gtest/gtest.h>

#include "base/Unicode.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "disk/BootSector.h"
#include "disk/Types.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"

namespace volcore::test {

std::u16string Child(const std::u16string& directory, const std::u16string& name) {
    return directory.empty() ? name : directory + u"\\" + name;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Utf8(const std::u16string& text) { return volcore::Utf16ToUtf8(text); }

Bytes ReadThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path, uint32_t piece) {
    using namespace volkit::api;
    NtfsFileHandle file;
    std::wstring wide = volcore::Utf16ToWide(path);
    if (!NtfsOpenFile(wide.c_str(), file, volume)) throw std::runtime_error("cannot open " + Utf8(path));
    unsigned long long value = 0;
    if (!NtfsGetFileSize(value, file)) throw std::runtime_error("cannot size " + Utf8(path));
    Bytes bytes(value);
    const unsigned long long step = piece ? piece : value;
    for (unsigned long long at = 0; at < value; at += step) {
        if (!NtfsReadFile(at, bytes.data() + at, static_cast<unsigned>(std::min(step, value - at)), file))
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

std::map<std::u16string, uint64_t> ListThroughHandles(volkit::api::NtfsVolumeHandle volume,
                                                      const std::u16string& path) {
    using Names = std::map<std::u16string, uint64_t>;
    Names names;
    auto collect = [](const volkit::api::NtfsDirEntry& entry, void* context) {
        std::u16string name = volcore::WideToUtf16(entry.name);
        if (entry.nameSpace != volcore::FileNameValue::NameSpaceDos && name != u".")
            (*static_cast<Names*>(context))[name] = volcore::RecordNumber(entry.fileReference);
        return true;
    };
    volkit::api::NtfsDirHandle dir;
    if (!volkit::api::NtfsOpenDir(volcore::Utf16ToWide(path).c_str(), dir, volume) ||
        !volkit::api::NtfsEnumDir(dir, collect, &names) || !volkit::api::NtfsCloseDir(dir))
        throw std::runtime_error("cannot list " + Utf8(path));
    return names;
}

void ExpectSameTree(volkit::api::NtfsVolumeHandle volume, Ntfs3gTree& reference, const Tree& tree) {
    std::set<std::u16string> directories = {u""};
    for (const auto& [path, contents] : tree) {
        directories.insert(volcore::SplitLastComponent(path).parentPath);
        if (!contents) directories.insert(path);
    }
    for (const std::u16string& directory : directories) {
        SCOPED_TRACE(Utf8(directory));
        EXPECT_EQ(ListThroughHandles(volume, directory), reference.List(directory));
    }
    for (const auto& [path, contents] : tree) {
        if (!contents) continue;
        SCOPED_TRACE(Utf8(path));
        // In pieces that straddle clusters and compression units.
        Bytes ours = ReadThroughHandles(volume, path, 4096 + 333);
        EXPECT_TRUE(ours == *contents) << "size " << ours.size() << " expected " << contents->size();
        EXPECT_TRUE(reference.Read(path) == *contents);
    }
}

void ExpectEveryReaderAgrees(const std::string& image, const Tree& tree) {
    MemoryDevice device = MemoryDevice::FromFile(image);
    CheckOutcome checked = CheckVolume(device.Api());
    EXPECT_TRUE(checked.Clean()) << checked.Describe();
    CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(image));
    EXPECT_TRUE(fix.exitCode == 0 && fix.output.find("rror") == std::string::npos) << fix.output;
    // Debian 12's Sleuth Kit reads no clusters above 64 KiB (sectors-per-cluster byte above 0x80).
    const bool tskReads = device.Bytes().at(volcore::BootField::SectorsPerCluster) <= 0x80;
    std::set<std::u16string> paths;
    for (const auto& item : tree) paths.insert(item.first);
    if (tskReads) {
        EXPECT_EQ(TskPaths(image), paths);
    }

    Ntfs3gTree reference(image, true);
    std::set<uint64_t> read;  // each object once, whatever its names
    for (const auto& [path, contents] : tree) {
        // Reading every small file would take too long.
        if (!tskReads || !contents || contents->size() <= 4096) continue;
        volcore::SParentAndName split = volcore::SplitLastComponent(path);
        uint64_t record = reference.List(split.parentPath).at(split.name);
        if (!read.insert(record).second) continue;
        CommandResult cat = RunCommand("icat " + ShellQuote(image) + " " + std::to_string(record));
        EXPECT_TRUE(Bytes(cat.output.begin(), cat.output.end()) == *contents) << "icat " << Utf8(path);
    }
    LogCapture log;
    volkit::api::NtfsVolumeHandle volume;
    ASSERT_TRUE(volkit::api::NtfsOpenVolume(device.Api(), volume));
    ExpectSameTree(volume, reference, tree);
    EXPECT_TRUE(volkit::api::NtfsCloseVolume(volume));
    EXPECT_EQ(log.Errors(), std::vector<std::string>{});
    EXPECT_EQ(device.writeCount, 0u) << "a session that only reads wrote";
}

void ExpectOutsideReadersAccept(const std::vector<uint8_t>& volume, const Tree& tree, const std::string& where) {
    TempDir dir;
    const std::string image = dir.File("volume.img");
    WriteFileBytes(image, volume);
    EXPECT_TRUE(NtfsckAccepts(image)) << where;
    if (HaveProgram("ntfsfix")) {
        EXPECT_TRUE(NtfsfixAccepts(image)) << where;
    }
    if (HaveProgram("fls")) {
        EXPECT_NO_THROW(TskListing(image, true)) << where;
    }
    try {
        Ntfs3gTree mounted(image);
        for (const auto& [path, contents] : tree)
            if (contents) {
                EXPECT_EQ(mounted.Read(path), *contents) << where << Utf8(path);
            }
        mounted.MakeDirectory(u"written by libntfs-3g");
    } catch (const std::exception& e) {
        ADD_FAILURE() << where << e.what();
    }
}

}  // namespace volcore::test
