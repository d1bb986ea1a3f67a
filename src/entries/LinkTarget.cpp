#include "entries/LinkTarget.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"

namespace volcore {
namespace {

constexpr char16_t kNtPrefix[] = u"\\??\\";
constexpr char16_t kUncPrefix[] = u"\\??\\UNC\\";

[[noreturn]] void ThrowDamaged(const CFileEntry& entry, const char* what) {
    throw CException(EErrorKind::Corrupt, "Reparse point of record %1 is damaged: %2", RecordNumber(entry.GetReference()),
                     what);
}

std::u16string NameAt(const CFileEntry& entry, const CByteReader& value, size_t buffer, size_t offsetField,
                      size_t lengthField) {
    const size_t offset = value.U16(ReparseValue::Data + offsetField);
    const size_t length = value.U16(ReparseValue::Data + lengthField);
    if (length % 2 != 0 || buffer + offset + length > value.Size()) ThrowDamaged(entry, "a name lies outside its data");
    return value.Utf16(buffer + offset, length / 2);
}

SLinkTarget ReadReparseLink(const CFileEntry& entry, const CAttribute& reparse) {
    SLinkTarget link;
    if (reparse.GetSize() < ReparseValue::Data || reparse.GetSize() > ReparseValue::Data + LinkReparse::LargestData)
        return link;
    const std::vector<uint8_t> bytes = reparse.ReadAll();
    const CByteReader value(bytes);
    const uint32_t tag = value.U32(ReparseValue::Tag);
    if (tag != ReparseValue::TagSymlink && tag != ReparseValue::TagMountPoint) return link;
    const bool symlink = tag == ReparseValue::TagSymlink;
    const size_t header = symlink ? LinkReparse::SymlinkPathBuffer : LinkReparse::JunctionPathBuffer;
    if (ReparseValue::Data + size_t{value.U16(ReparseValue::DataLength)} > bytes.size() ||
        ReparseValue::Data + header > bytes.size())
        ThrowDamaged(entry, "its data is shorter than its header");
    const size_t buffer = ReparseValue::Data + header;
    link.kind = symlink ? ELinkKind::Symlink : ELinkKind::Junction;
    link.tag = tag;
    link.relative = symlink && (value.U32(ReparseValue::Data + LinkReparse::SymlinkFlags) & LinkReparse::FlagRelative);
    link.substitute = NameAt(entry, value, buffer, LinkReparse::SubstituteOffset, LinkReparse::SubstituteLength);
    link.print = NameAt(entry, value, buffer, LinkReparse::PrintOffset, LinkReparse::PrintLength);
    if (link.substitute.empty()) ThrowDamaged(entry, "its target is empty");
    if (link.print.empty()) link.print = link.substitute;
    return link;
}

uint32_t FileAttributesOf(const CFileEntry& entry) {
    AttributePtr info = entry.FindAttribute(AttrType::StandardInformation);
    if (!info || info->GetSize() < StdInfo::FileAttributes + 4) return 0;
    uint8_t bytes[4];
    info->ReadData(StdInfo::FileAttributes, bytes, sizeof(bytes));
    return CByteReader(bytes, sizeof(bytes)).U32(0);
}

SLinkTarget ReadInterixLink(const CFileEntry& entry) {
    SLinkTarget link;
    if (entry.GetFlags() & FileRecord::FlagDirectory || !(FileAttributesOf(entry) & kFileAttributeSystem)) return link;
    AttributePtr data = entry.FindAttribute(AttrType::Data);
    if (!data || data->IsEncrypted() || data->IsCompressed()) return link;
    const uint64_t size = data->GetSize();
    if (size <= InterixLink::Target || size > InterixLink::LargestSize || size % 2 != 0) return link;
    std::vector<uint8_t> bytes(size);
    data->ReadData(0, bytes.data(), NumericCast<uint32_t>(size));
    if (std::memcmp(bytes.data(), InterixLink::Magic, sizeof(InterixLink::Magic)) != 0) return link;
    link.kind = ELinkKind::Interix;
    link.substitute = CByteReader(bytes).Utf16(InterixLink::Target, (size - InterixLink::Target) / 2);
    link.print = link.substitute;
    link.relative = link.substitute.front() != u'/';
    return link;
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsDriveAbsolute(std::u16string_view path) {
    return path.size() >= 3 && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')) &&
           path[1] == u':' && path[2] == u'\\';
}

}  // namespace

SLinkTarget ReadLinkTarget(const CFileEntry& entry) {
    if (AttributePtr reparse = entry.FindAttribute(AttrType::ReparsePoint)) return ReadReparseLink(entry, *reparse);
    return ReadInterixLink(entry);
}

std::vector<uint8_t> BuildSymlinkReparse(std::u16string_view target) {
    std::u16string print(target);
    std::replace(print.begin(), print.end(), u'/', u'\\');
    if (print.empty() || print.find(u'\0') != std::u16string::npos)
        throw CException(EErrorKind::Argument, "Invalid symbolic link target: %1", print);
    std::u16string substitute = print;
    bool relative = false;
    if (StartsWith(print, kNtPrefix)) {
        print.erase(0, std::size(kNtPrefix) - 1);
    } else if (IsDriveAbsolute(print)) {
        substitute = kNtPrefix + print;
    } else if (StartsWith(print, u"\\\\")) {
        substitute = kUncPrefix + print.substr(2);
    } else {
        relative = true;
    }
    const size_t names = 2 * (substitute.size() + print.size());
    if (LinkReparse::SymlinkPathBuffer + names > LinkReparse::LargestData)
        throw CException(EErrorKind::Argument, "Symbolic link target too long: %1 units", target.size());
    std::vector<uint8_t> value(ReparseValue::Data + LinkReparse::SymlinkPathBuffer + names, 0);
    CByteWriter out(value);
    out.U32(ReparseValue::Tag, ReparseValue::TagSymlink);
    out.U16(ReparseValue::DataLength, NumericCast<uint16_t>(value.size() - ReparseValue::Data));
    const CByteWriter data = out.Sub(ReparseValue::Data, value.size() - ReparseValue::Data);
    data.U16(LinkReparse::SubstituteOffset, 0);
    data.U16(LinkReparse::SubstituteLength, NumericCast<uint16_t>(2 * substitute.size()));
    data.U16(LinkReparse::PrintOffset, NumericCast<uint16_t>(2 * substitute.size()));
    data.U16(LinkReparse::PrintLength, NumericCast<uint16_t>(2 * print.size()));
    data.U32(LinkReparse::SymlinkFlags, relative ? LinkReparse::FlagRelative : 0);
    data.Utf16(LinkReparse::SymlinkPathBuffer, substitute);
    data.Utf16(LinkReparse::SymlinkPathBuffer + 2 * substitute.size(), print);
    return value;
}

}  // namespace volcore
