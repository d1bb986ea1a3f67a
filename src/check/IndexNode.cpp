#include "check/IndexNode.h"

#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"

namespace volcore::check {
namespace {

constexpr uint32_t kSmallestKey = FileNameValue::Name;

// Reads the named part of an entry; returns why it cannot, "" when it can.
std::string ReadKey(const CByteReader& entry, uint32_t keyRoom, SNodeEntry& parsed) {
    uint16_t keyLength = entry.U16(IndexEntry::KeyLength);
    if (keyLength < kSmallestKey || keyLength > keyRoom) return FormatText("key length %1", keyLength);
    CByteReader key = entry.Sub(IndexEntry::Key, keyLength);
    uint8_t units = key.U8(FileNameValue::NameLength);
    if (units == 0 || FileNameValue::Name + 2u * units > keyLength) return FormatText("name of %1 units", units);
    parsed.reference = entry.U64(IndexEntry::Reference);
    parsed.parent = key.U64(FileNameValue::ParentReference);
    parsed.fileAttributes = key.U32(FileNameValue::FileAttributes);
    parsed.allocatedSize = key.U64(FileNameValue::AllocatedSize);
    parsed.dataSize = key.U64(FileNameValue::DataSize);
    parsed.nameSpace = key.U8(FileNameValue::NameSpace);
    parsed.name = key.Utf16(FileNameValue::Name, units);
    return {};
}

}  // namespace

bool SNode::HasChildren() const {
    for (const SNodeEntry& entry : entries)
        if (entry.hasChild) return true;
    return false;
}

bool SNode::IsMixed() const {
    for (const SNodeEntry& entry : entries)
        if (entry.hasChild != large) return true;
    return false;
}

SNode ParseNode(const CByteReader& node, bool exactSize) {
    SNode result;
    auto fail = [&result](std::string error) {
        result.error = std::move(error);
        return std::move(result);
    };
    if (node.Size() < IndexHeader::Size) return fail("no room for the index header");
    uint32_t first = node.U32(IndexHeader::FirstEntry), inUse = node.U32(IndexHeader::BytesInUse);
    uint32_t allocated = node.U32(IndexHeader::BytesAllocated);
    result.large = (node.U8(IndexHeader::Flags) & IndexHeader::FlagLarge) != 0;
    if (inUse > allocated || allocated > node.Size() || (exactSize && allocated != node.Size()) ||
        first < IndexHeader::Size || first % 8 != 0 || first >= inUse)
        return fail(FormatText("header says first entry %1, %2 bytes in use, %3 allocated, in %4 bytes", first,
                               inUse, allocated, node.Size()));
    for (size_t position = first; position < inUse;) {
        uint16_t length = inUse - position >= IndexEntry::Key ? node.U16(position + IndexEntry::Length) : 0;
        if (length < IndexEntry::Key || length % 8 != 0 || length > inUse - position)
            return fail(FormatText("entry at offset %1 has length %2", position, length));
        CByteReader entry = node.Sub(position, length);
        SNodeEntry parsed;
        uint16_t flags = entry.U16(IndexEntry::Flags);
        parsed.isEnd = (flags & IndexEntry::FlagEnd) != 0;
        parsed.hasChild = (flags & IndexEntry::FlagHasChild) != 0;
        if (parsed.hasChild && length < IndexEntry::ChildEndLength)
            return fail(FormatText("entry at offset %1 has no room for its child", position));
        if (parsed.hasChild) parsed.childVcn = entry.U64(length - IndexEntry::ChildVcnSize);
        uint32_t keyRoom = length - IndexEntry::Key - (parsed.hasChild ? IndexEntry::ChildVcnSize : 0);
        if (!parsed.isEnd) {
            if (std::string error = ReadKey(entry, keyRoom, parsed); !error.empty())
                return fail(FormatText("entry at offset %1: %2", position, error));
        }
        result.entries.push_back(std::move(parsed));
        if (result.entries.back().isEnd) return result;
        position += length;
    }
    return fail("no end entry");
}

}  // namespace volcore::check
