#include "objects/NewChild.h"

#include <array>
#include <exception>
#include <span>

#include "base/Exception.h"
#include "base/NameRules.h"
#include "base/NumericCast.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "objects/Volume.h"

namespace volcore {
namespace {

std::array<uint8_t, StdInfo::Size> BuildStandardInformation(const StandardInformation& parentInfo,
                                                             uint32_t fileAttributes) {
    CByteReader inherited(parentInfo.data(), parentInfo.size());
    std::array<uint8_t, StdInfo::Size> value{};
    CByteWriter out(value.data(), value.size());
    out.U32(StdInfo::FileAttributes, fileAttributes);
    out.U32(StdInfo::OwnerId, inherited.U32(StdInfo::OwnerId));
    out.U32(StdInfo::SecurityId, inherited.U32(StdInfo::SecurityId));
    return value;
}

std::vector<uint8_t> BuildFileName(const CDirectory& parent, const std::u16string& name, uint32_t fileAttributes) {
    uint8_t length = NumericCast<uint8_t>(name.size());
    std::vector<uint8_t> value(FileNameValue::Name + 2 * size_t{length}, 0);
    CByteWriter out(value);
    out.U64(FileNameValue::ParentReference, parent.GetReference());
    out.U32(FileNameValue::FileAttributes, fileAttributes);
    out.U8(FileNameValue::NameLength, length);
    out.U8(FileNameValue::NameSpace, FileNameValue::NameSpacePosix);
    for (size_t i = 0; i < name.size(); ++i) out.U16(FileNameValue::Name + 2 * i, name[i]);
    return value;
}

void AddResidentValue(CFileEntry& entry, uint32_t type, std::span<const uint8_t> value) {
    AttributePtr attribute = entry.CreateAttribute(type, {}, true);
    attribute->SetSize(value.size());
    attribute->WriteData(0, value.data(), NumericCast<uint32_t>(value.size()));
}

}  // namespace

CIndex::SInsertPosition CheckNewName(const CDirectory& parent, const std::u16string& name) {
    parent.CheckUsable();
    if (name.empty()) throw CException(EErrorKind::Argument, "Invalid path: %1", name);
    if (const char* problem = NewNameProblem(name))
        throw CException(EErrorKind::Argument, "Invalid name %1: %2", name, problem);
    return parent.GetIndex().FindInsertPosition(name);
}

SNewChild CreateChildEntry(CDirectory& parent, const StandardInformation& parentInfo, const std::u16string& name,
                           uint16_t recordFlags, uint32_t fileAttributes) {
    SNewChild child;
    child.position = CheckNewName(parent, name);
    child.fileName = BuildFileName(parent, name, fileAttributes);
    const auto standardInformation = BuildStandardInformation(parentInfo, fileAttributes);
    child.entry = CFileEntry::Create(recordFlags, parent.GetVolume());
    try {
        AddResidentValue(*child.entry, AttrType::StandardInformation, standardInformation);
        AddResidentValue(*child.entry, AttrType::FileName, child.fileName);
    } catch (...) {
        DiscardChildEntry(*child.entry);
        throw;
    }
    return child;
}

void LinkChild(CDirectory& parent, const std::u16string& name, SNewChild& child) {
    // The record reaches the disk before any index entry can name it, and
    // the name before the create returns: a later failure must not lose it.
    child.entry->Save();
    parent.GetIndex().Insert(std::move(child.position), name,
                             MakeIndexEntryValue(child.entry->GetReference(), child.fileName));
    try {
        parent.Flush();
    } catch (...) {
        // The caller frees the record again; the next save of the parent
        // writes the index without the name. Should even that fail, the
        // parent's unsaved changes are given up: a name of a freed record
        // must never reach the disk.
        try {
            parent.RemoveEntry(name);
        } catch (...) {
            parent.Abandon();
        }
        throw;
    }
}

void DiscardChildEntry(CFileEntry& entry) noexcept {
    try {
        if (!entry.IsDeleted()) entry.Delete();
    } catch (const std::exception&) {
        // The record may stay marked in use; the caller reports the original failure.
    }
}

}  // namespace volcore
