#include "BaseVolume.h"

#include <cwchar>
#include <stdexcept>

#include "FuzzSupport.h"
#include "disk/Types.h"

using namespace volcore;
using namespace volkit::api;

namespace volcore::fuzz {
namespace {

constexpr size_t kBaseSize = (1u << 20) + 512;
constexpr size_t kItemSize = 20000;

uint64_t RootEntryReference(NtfsVolumeHandle volume, const wchar_t* name) {
    NtfsDirHandle root;
    std::pair<const wchar_t*, uint64_t> search{name, 0};
    if (!NtfsOpenDir(L"", root, volume)) return 0;
    NtfsEnumDir(root, [](const NtfsDirEntry& entry, void* context) {
        auto* s = static_cast<std::pair<const wchar_t*, uint64_t>*>(context);
        if (entry.name && std::wcscmp(entry.name, s->first) == 0) s->second = entry.fileReference;
        return true;
    }, &search);
    NtfsCloseDir(root);
    return search.second;
}

SBaseVolume MakeBaseVolume() {
    SBaseVolume base;
    base.image.resize(kBaseSize);
    if (!FormatImage(base.image, 4096)) throw std::runtime_error("cannot format the base volume");
    CowDevice device(base.image);
    NtfsVolumeHandle volume;
    NtfsDirHandle dir;
    if (!NtfsOpenVolume(device.Api(), volume)) throw std::runtime_error("cannot open the base volume");
    bool made = NtfsCreateDir(L"dir", dir, volume) && NtfsCloseDir(dir);
    for (int n = 0; made && n < kBaseDirEntries; ++n) made = PutFile(volume, L"dir\\" + EntryName(n), n);
    made = made && PutFile(volume, L"item", kItemSize);
    // Records taken and freed again: the MFT covers them, and they are free.
    for (size_t n = 1; made && n < kItemRecords; ++n) made = PutFile(volume, L"spare" + std::to_wstring(n), 0);
    for (size_t n = 1; made && n < kItemRecords; ++n) {
        NtfsFileHandle file;
        made = NtfsOpenFile((L"spare" + std::to_wstring(n)).c_str(), file, volume) && NtfsDeleteFile(file);
    }
    uint64_t item = RootEntryReference(volume, L"item");
    if (!NtfsCloseVolume(volume) || !made) throw std::runtime_error("cannot fill the base volume");
    base.itemRecord = RecordNumber(item);
    base.itemSequence = SequenceNumber(item);
    base.image = device.Bytes();
    CowDevice reader(base.image);
    base.parts = TakeApart(reader.Api());
    for (const SFileParts& file : base.parts.files)
        if (!file.blocks.empty() && file.number != kRootRecord) base.dirBlocks = file.blocks;
    if (base.itemRecord == 0 || base.dirBlocks.size() < 2)
        throw std::runtime_error("the base volume is not laid out as expected");
    for (size_t k = 0; k < kItemRecords; ++k) base.itemOffsets.push_back(base.parts.RecordOffset(base.itemRecord + k));
    return base;
}

}  // namespace

bool FormatImage(Bytes& image, uint32_t clusterSize) {
    CowDevice device(image);
    NtfsFormatOptions options;
    options.clusterSize = clusterSize;
    if (!NtfsFormatVolume(device.Api(), options)) return false;
    image = device.Bytes();
    return true;
}

bool PutFile(NtfsVolumeHandle volume, const std::wstring& path, size_t size) {
    NtfsFileHandle file;
    if (!NtfsCreateFile(path.c_str(), file, volume)) return false;
    if (!NtfsCloseFile(file)) return false;
    return ResizeFile(volume, path, 0, size);
}

bool ResizeFile(NtfsVolumeHandle volume, const std::wstring& path, size_t from, size_t to) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path.c_str(), file, volume)) return false;
    Bytes tail(to > from ? to - from : 0);
    for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(from + i);
    bool done = SetFileSize(to, file) &&
                (tail.empty() || NtfsWriteFile(from, tail.data(), static_cast<unsigned>(tail.size()), file));
    return NtfsCloseFile(file) && done;
}

std::wstring EntryName(int n) {
    return L"an entry whose name is long enough that a few dozen of them fill several index blocks, number " +
           std::to_wstring(n);
}

const SBaseVolume& BaseVolume() {
    static const SBaseVolume base = MakeBaseVolume();
    return base;
}

}  // namespace volcore::fuzz
