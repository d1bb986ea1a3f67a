#include "format/FormatIndex.h"

#include "api/Bytes.h"
#include "api/Exception.h"

namespace volcore::format {
namespace {

constexpr uint8_t kWin32AndDosNames = 3;
constexpr uint16_t kEntryHasChild = 0x1;
constexpr uint16_t kEntryIsLast = 0x2;
constexpr size_t kRootHeader = 0x10;
constexpr size_t kIndexHeader = 0x10;
constexpr size_t kBlockUsaOffset = 0x28;

std::vector<uint8_t> EndEntry(bool withChild) {
    std::vector<uint8_t> entry(withChild ? 24 : 16, 0);
    CByteWriter out(entry);
    out.U16(8, static_cast<uint16_t>(entry.size()));
    out.U16(12, withChild ? kEntryIsLast | kEntryHasChild : kEntryIsLast);
    return entry;  // a child VCN of 0 leads to block 0
}

std::vector<uint8_t> Concatenate(const std::vector<std::vector<uint8_t>>& entries, bool endWithChild) {
    std::vector<uint8_t> all;
    for (const auto& entry : entries) all.insert(all.end(), entry.begin(), entry.end());
    std::vector<uint8_t> end = EndEntry(endWithChild);
    all.insert(all.end(), end.begin(), end.end());
    return all;
}

std::vector<uint8_t> IndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry,
                               const std::vector<uint8_t>& entries, bool large) {
    std::vector<uint8_t> root(kRootHeader + kIndexHeader + entries.size(), 0);
    CByteWriter out(root);
    out.U32(0, indexedType);
    out.U32(4, collation);
    out.U32(8, geometry.blockSize);
    out.U8(12, geometry.clustersPerBlock);
    out.U32(16, kIndexHeader);
    out.U32(20, static_cast<uint32_t>(kIndexHeader + entries.size()));
    out.U32(24, static_cast<uint32_t>(kIndexHeader + entries.size()));
    out.U8(28, large ? 1 : 0);
    out.CopyFrom(kRootHeader + kIndexHeader, entries.data(), entries.size());
    return root;
}

}  // namespace

uint64_t FileReference(uint64_t record, uint16_t sequence) { return record | (uint64_t{sequence} << 48); }

std::vector<uint8_t> FileNameValue(const SFileNameInfo& info) {
    if (info.name.size() > 255) throw CException("File name of %1 units is too long", info.name.size());
    std::vector<uint8_t> value(66 + 2 * info.name.size(), 0);
    CByteWriter out(value);
    out.U64(0, info.parent);
    for (size_t offset = 8; offset <= 32; offset += 8) out.U64(offset, info.time);
    out.U64(40, info.allocatedSize);
    out.U64(48, info.dataSize);
    out.U32(56, info.flags);
    out.U8(64, static_cast<uint8_t>(info.name.size()));
    out.U8(65, kWin32AndDosNames);
    out.Utf16(66, info.name);
    return value;
}

std::vector<uint8_t> FileNameIndexEntry(uint64_t reference, const std::vector<uint8_t>& fileName) {
    std::vector<uint8_t> entry(RoundUp(16 + fileName.size(), 8), 0);
    CByteWriter out(entry);
    out.U64(0, reference);
    out.U16(8, static_cast<uint16_t>(entry.size()));
    out.U16(10, static_cast<uint16_t>(fileName.size()));
    out.CopyFrom(16, fileName.data(), fileName.size());
    return entry;
}

std::vector<uint8_t> ViewIndexEntry(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data,
                                    const std::vector<uint8_t>& padding) {
    size_t dataOffset = 16 + key.size();
    std::vector<uint8_t> entry(RoundUp(dataOffset + data.size() + padding.size(), 8), 0);
    CByteWriter out(entry);
    out.U16(0, static_cast<uint16_t>(dataOffset));
    out.U16(2, static_cast<uint16_t>(data.size()));
    out.U16(8, static_cast<uint16_t>(entry.size()));
    out.U16(10, static_cast<uint16_t>(key.size()));
    out.CopyFrom(16, key.data(), key.size());
    out.CopyFrom(dataOffset, data.data(), data.size());
    out.CopyFrom(dataOffset + data.size(), padding.data(), padding.size());
    return entry;
}

SIndexGeometry IndexGeometry(uint32_t blockSize, uint32_t clusterSize) {
    uint32_t unit = blockSize >= clusterSize ? clusterSize : 512;
    return {blockSize, static_cast<uint8_t>(blockSize / unit)};
}

std::vector<uint8_t> SmallIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry,
                                    const std::vector<std::vector<uint8_t>>& entries) {
    return IndexRoot(indexedType, collation, geometry, Concatenate(entries, false), false);
}

std::vector<uint8_t> LargeIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry) {
    return IndexRoot(indexedType, collation, geometry, EndEntry(true), true);
}

std::vector<uint8_t> LeafIndexBlock(const SIndexGeometry& geometry, const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t> block(geometry.blockSize, 0);
    CByteWriter out(block);
    uint16_t usaCount = static_cast<uint16_t>(geometry.blockSize / 512 + 1);
    size_t firstEntry = RoundUp(kBlockUsaOffset + 2 * usaCount, 8);
    std::vector<uint8_t> all = Concatenate(entries, false);
    if (firstEntry + all.size() > block.size()) throw CException("Index entries overflow their block");
    out.CopyFrom(0, "INDX", 4);
    out.U16(4, kBlockUsaOffset);
    out.U16(6, usaCount);
    out.U32(0x18, static_cast<uint32_t>(firstEntry - 0x18));
    out.U32(0x1C, static_cast<uint32_t>(firstEntry + all.size() - 0x18));
    out.U32(0x20, static_cast<uint32_t>(geometry.blockSize - 0x18));
    out.CopyFrom(firstEntry, all.data(), all.size());
    return block;
}

}  // namespace volcore::format
