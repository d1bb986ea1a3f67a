// The input is a run of INDX blocks, fixups included. Each is parsed as a
// node, whose entries must come out of a removal and a reinsertion unchanged;
// then they replace the index blocks of the base volume's "dir" in order, the
// handle family lists the directory, looks names up, adds and removes entries
// and closes the volume, and the check examines what is left.
#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "BaseVolume.h"
#include "FuzzSupport.h"
#include "index/IndexNode.h"
#include "volkit/check.h"
#include "disk/Fixups.h"

using namespace volcore;
using namespace volkit::api;
using namespace volcore::fuzz;

namespace {

void ParseNode(std::span<const uint8_t> input) {
    Bytes block(input.begin(), input.end());
    std::optional<CIndexNode> node;
    try {
        MstUnprotect(block, 1, static_cast<uint32_t>(block.size()));
        CByteReader reader(block);
        CByteReader header = reader.Sub(IndexBlock::Header, IndexHeader::Flags + 4);
        uint64_t first = IndexBlock::Header + uint64_t{header.U32(IndexHeader::FirstEntry)};
        uint64_t end = IndexBlock::Header + uint64_t{header.U32(IndexHeader::BytesInUse)};
        if (first >= end || end > block.size()) return;
        node.emplace(0, reader.Sub(first, end - first));
    } catch (const CException&) {
        return;
    }
    NameBuffer buffer;
    for (size_t index = 0; index < node->Count(); ++index) {
        node->Name(index, buffer);
        node->Value(index);
    }
    if (node->Count() == 0) return;
    const Bytes before(node->Bytes().begin(), node->Bytes().end());
    EntryBytes entry = node->CopyEntry(0, node->Child(0));
    node->Erase(0);
    node->Insert(0, entry);
    if (!std::ranges::equal(node->Bytes(), before)) Finding("an entry removed and put back changed its node");
}

void Lookups(NtfsVolumeHandle volume) {
    for (int n : {0, 7, kBaseDirEntries - 1}) {
        NtfsFileHandle file;
        std::wstring path = L"dir\\" + EntryName(n);
        if (NtfsOpenFile(path.c_str(), file, volume)) NtfsCloseFile(file);
    }
}

void Changes(NtfsVolumeHandle volume) {
    for (int n = kBaseDirEntries; n < kBaseDirEntries + 8; ++n) PutFile(volume, L"dir\\" + EntryName(n), 0);
    for (int n : {3, 20, kBaseDirEntries + 2}) {
        NtfsFileHandle file;
        std::wstring path = L"dir\\" + EntryName(n);
        if (NtfsOpenFile(path.c_str(), file, volume) && !NtfsDeleteFile(file)) NtfsCloseFile(file);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceLog();
    BaseVolume();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SBaseVolume& base = BaseVolume();
    CowDevice device(base.image);
    NtfsIoDevice api = device.Api();
    uint32_t blockSize = base.parts.blockSize;
    for (size_t at = 0; at < size; at += blockSize) ParseNode({data + at, std::min<size_t>(blockSize, size - at)});
    for (size_t k = 0; k < base.dirBlocks.size() && k * blockSize < size; ++k) {
        auto length = static_cast<uint32_t>(std::min<size_t>(blockSize, size - k * blockSize));
        api.write(base.dirBlocks[k], data + k * blockSize, length, api.context);
    }
    NtfsVolumeHandle volume;
    if (NtfsOpenVolume(api, volume)) {
        NtfsDirHandle dir;
        if (NtfsOpenDir(L"dir", dir, volume)) {
            NtfsEnumDir(dir, [](const NtfsDirEntry&, void*) { return true; }, nullptr);
            NtfsCloseDir(dir);
        }
        Lookups(volume);
        Changes(volume);
        NtfsCloseVolume(volume);
    }
    NtfsCheckSummary summary;
    NtfsCheckVolume(api, nullptr, nullptr, summary);
    return 0;
}
