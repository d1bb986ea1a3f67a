#include "index/IndexTestSupport.h"

#include <cstdio>

#include "api/Bytes.h"

namespace volkit::test {

using namespace volcore;

FileEntryPtr MakeDirectoryEntry(CVolume& volume) {
    FileEntryPtr entry = CFileEntry::Create(FileRecord::FlagInUse | FileRecord::FlagDirectory, volume);
    std::vector<uint8_t> info(StdInfo::Size);
    CByteWriter(info).U32(StdInfo::FileAttributes, kFileAttributeDirectoryIndex);
    AttributePtr standard = entry->CreateAttribute(AttrType::StandardInformation, u"", true);
    standard->SetSize(info.size());
    standard->WriteData(0, info.data(), static_cast<uint32_t>(info.size()));

    std::vector<uint8_t> name(FileNameValue::Name + 2);
    CByteWriter writer(name);
    writer.U64(FileNameValue::ParentReference, MakeReference(kRootRecord, kRootRecord));
    writer.U32(FileNameValue::FileAttributes, kFileAttributeDirectoryIndex);
    writer.U8(FileNameValue::NameLength, 1);
    writer.Utf16(FileNameValue::Name, u"d");
    AttributePtr fileName = entry->CreateAttribute(AttrType::FileName, u"", true);
    fileName->SetSize(name.size());
    fileName->WriteData(0, name.data(), static_cast<uint32_t>(name.size()));

    entry->CreateAttribute(AttrType::IndexRoot, u"$I30", true);
    return entry;
}

std::u16string TwelveUnitName(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "name-%07d", i);
    return std::u16string(text, text + 12);
}

SIndexEntryValue ValueFor(uint64_t reference) {
    SIndexEntryValue value;
    value.fileReference = reference;
    value.parentReference = MakeReference(kRootRecord, kRootRecord);
    value.creationTime = reference * 3;
    value.modificationTime = reference * 5;
    value.dataSize = reference * 7;
    value.allocatedSize = reference * 8;
    value.fileAttributes = 0x20;
    value.nameSpace = FileNameValue::NameSpaceWin32;
    return value;
}

std::vector<uint8_t> RootValue(const CFileEntry& entry) {
    return entry.GetAttribute(AttrType::IndexRoot, u"$I30")->ReadAll();
}

IndexListing ListEntries(CIndex& index) {
    IndexListing entries;
    index.ForEach([&](std::u16string_view name, const SIndexEntryValue& value) {
        entries.emplace_back(name, value);
        return true;
    });
    return entries;
}

}  // namespace volkit::test
