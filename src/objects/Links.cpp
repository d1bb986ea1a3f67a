#include "objects/Links.h"

#include <exception>
#include <vector>

#include "base/ContractTexts.h"
#include "base/Exception.h"
#include "base/NameRules.h"
#include "base/NumericCast.h"
#include "objects/File.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "objects/NewChild.h"
#include "disk/UpCase.h"
#include "objects/Volume.h"

namespace volcore {
namespace {

// No path holds more components than this; a longer chain of parents is a loop.
constexpr int kDeepestPath = 16384;

// The $FILE_NAME attributes of the object's own name: the name and, for a
// Win32 name, the DOS alias beside it in the same directory.
struct SOwnName {
    AttributePtr name;
    std::vector<uint8_t> value;
    AttributePtr alias;
    std::u16string aliasName;
};

SOwnName FindOwnName(const CFsObject& object) {
    SOwnName own;
    for (const AttributePtr& attribute : object.GetEntry().FindAttributes(AttrType::FileName)) {
        std::vector<uint8_t> value = ReadFileName(*attribute);
        if (!SameRecord(ParentOfFileName(value), object.GetParentReference())) continue;
        if (NameSpaceOfFileName(value) == FileNameValue::NameSpaceDos) {
            own.alias = attribute;
            own.aliasName = NameOfFileName(value);
        } else if (!own.name && NameOfFileName(value) == object.GetName()) {
            own.name = attribute;
            own.value = std::move(value);
        }
    }
    if (!own.name)
        throw CException(EErrorKind::Corrupt, "Entry %1 (%2) has no such name", RecordNumber(object.GetReference()),
                         object.GetName());
    // Only a Win32 name has an alias of its own; a POSIX name never does.
    if (NameSpaceOfFileName(own.value) != FileNameValue::NameSpaceWin32) own.alias.reset();
    return own;
}

// A copy of the object's name with another directory and name, in the POSIX
// name space as new objects get (no DOS alias), its copies of sizes and times
// as the object has them now.
std::vector<uint8_t> BuildName(const CFsObject& object, const std::vector<uint8_t>& model, FileReference parent,
                               const std::u16string& name) {
    const uint8_t length = NumericCast<uint8_t>(name.size());
    std::vector<uint8_t> value(FileNameValue::Name + 2 * size_t{length}, 0);
    CByteWriter out(value);
    out.CopyFrom(0, model.data(), FileNameValue::Name);
    out.U64(FileNameValue::ParentReference, parent);
    out.U8(FileNameValue::NameLength, length);
    out.U8(FileNameValue::NameSpace, FileNameValue::NameSpacePosix);
    for (size_t i = 0; i < name.size(); ++i) out.U16(FileNameValue::Name + 2 * i, name[i]);
    object.RefreshFileName(value, object.GetAttributesAndTime());
    return value;
}

void SaveObject(CFsObject& object) {
    if (auto* directory = dynamic_cast<CDirectory*>(&object)) directory->Flush();
    else object.SaveEntryAndNames();
}

// A save of a record that grew may have moved its data out of it: every
// name's copy of the sizes follows, in the record and in the indexes.
void RefreshNames(CFsObject& object) {
    object.MarkChanged();
    SaveObject(object);
}

void CheckChangeable(const CFsObject& object) {
    object.CheckUsable();
    if (object.IsSystemObject())
        throw CException(EErrorKind::Argument, "Cannot change system entry %1", RecordNumber(object.GetReference()));
}

// The root takes new names; the volume's other own directories do not.
void CheckTargetDirectory(const CDirectory& parent) {
    parent.CheckUsable();
    if (RecordNumber(parent.GetReference()) != kRootRecord && parent.IsSystemObject())
        throw CException(EErrorKind::Argument, "Cannot change system entry %1", RecordNumber(parent.GetReference()));
}

void CheckNotIntoItself(const CFsObject& object, const CDirectory& parent) {
    if (!object.IsDirectory()) return;
    FileReference reference = parent.GetReference();
    for (int depth = 0; depth < kDeepestPath; ++depth) {
        if (SameRecord(reference, object.GetReference()))
            throw CException(EErrorKind::Argument, "Cannot move directory %1 into itself", object.GetName());
        if (RecordNumber(reference) == kRootRecord) return;
        reference = CDirectory::Open(object.GetVolume(), reference)->GetParentReference();
    }
    throw CException(EErrorKind::Corrupt, "Entry %1: its parent directories never reach the root",
                     RecordNumber(parent.GetReference()));
}

void CheckNameRules(const std::u16string& name) {
    if (name.empty()) throw CException(EErrorKind::Argument, "Invalid path: %1", name);
    if (const char* problem = NewNameProblem(name))
        throw CException(EErrorKind::Argument, "Invalid name %1: %2", name, problem);
}

uint16_t ChangedCount(const CFileEntry& entry, int change) {
    return static_cast<uint16_t>(entry.GetLinkCount() + change);
}

// The record gets the new name first, then the directory its entry; a failure
// takes the name out of both again.
void InsertName(CFsObject& object, CDirectory& parent, const std::u16string& name,
                const CIndex::SInsertPosition& position, const std::vector<uint8_t>& value) {
    CFileEntry& entry = object.GetEntry();
    AttributePtr attribute = entry.AddAttribute(AttrType::FileName, {}, true);
    attribute->SetSize(value.size());
    attribute->WriteData(0, value.data(), NumericCast<uint32_t>(value.size()));
    entry.SetLinkCount(ChangedCount(entry, 1));
    bool indexed = false;
    try {
        entry.Save();
        parent.GetIndex().Insert(position, name, MakeIndexEntryValue(object.GetReference(), value));
        indexed = true;
        parent.Flush();
    } catch (...) {
        // Best effort at once; the next saves of both write the same. An
        // entry that cannot leave the index in memory must not reach the
        // disk without the name in the record: the parent's unsaved changes
        // are given up then.
        if (indexed) {
            try {
                parent.RemoveEntry(name);
            } catch (...) {
                parent.Abandon();
            }
            try {
                parent.Flush();
            } catch (...) {
            }
        }
        entry.RemoveAttribute(attribute);
        entry.SetLinkCount(ChangedCount(entry, -1));
        try {
            entry.Save();
        } catch (...) {
        }
        throw;
    }
}

// The entries leave the directory, then the names their record. Whatever
// happens, the names whose entries are out of the index in memory leave the
// record in memory too, so that the next saves write both alike.
void RemoveOwnName(CFsObject& object, const SOwnName& own) {
    CFileEntry& entry = object.GetEntry();
    std::vector<std::pair<AttributePtr, std::u16string>> names{{own.name, object.GetName()}};
    if (own.alias) names.emplace_back(own.alias, own.aliasName);
    size_t removed = 0;
    std::exception_ptr failure;
    try {
        std::shared_ptr<CDirectory> parent = CDirectory::Open(object.GetVolume(), object.GetParentReference());
        parent->CheckUsable();
        for (; removed < names.size(); ++removed) parent->RemoveEntry(names[removed].second);
        parent->Flush();
    } catch (...) {
        failure = std::current_exception();
    }
    for (size_t i = 0; i < removed; ++i) entry.RemoveAttribute(names[i].first);
    entry.SetLinkCount(ChangedCount(entry, -static_cast<int>(removed)));
    // Written with the directory's next save when that failed.
    if (!failure) entry.Save();
    if (failure) std::rethrow_exception(failure);
}

// Removes what stands at the new name. Returns false when it is another name
// of the object itself: there is nothing to move then.
bool RemoveTarget(CFsObject& object, CDirectory& parent, const std::u16string& name, const SIndexEntryValue& target) {
    if (SameRecord(target.fileReference, object.GetReference())) return false;
    CVolume& volume = object.GetVolume();
    if (target.fileAttributes & kFileAttributeDirectoryIndex) {
        if (!object.IsDirectory()) throw CException(EErrorKind::Argument, "Entry %1 is a directory", name);
        std::shared_ptr<CDirectory> directory = CDirectory::Open(volume, target.fileReference);
        directory->Delete();
        return true;
    }
    if (object.IsDirectory()) throw CException(EErrorKind::Argument, "Entry %1 is not a directory", name);
    std::shared_ptr<CFile> file = CFile::Open(volume, target.fileReference);
    file->SelectName(parent.GetReference(), name);
    file->Delete();
    return true;
}

}  // namespace

size_t CountLinks(const CFsObject& object) {
    size_t links = 0;
    for (const AttributePtr& attribute : object.GetEntry().FindAttributes(AttrType::FileName))
        if (NameSpaceOfFileName(ReadFileName(*attribute)) != FileNameValue::NameSpaceDos) ++links;
    return links;
}

void AddLink(CFsObject& object, CDirectory& parent, const std::u16string& name) {
    object.CheckUsable();
    if (object.IsDirectory())
        throw CException(EErrorKind::Argument, "Cannot make a hard link to directory %1", object.GetName());
    CheckChangeable(object);
    CheckTargetDirectory(parent);
    if (CountLinks(object) >= kMaxLinks)
        throw CException(EErrorKind::Argument, "File %1 already has %2 names, the most a file may have",
                         object.GetName(), kMaxLinks);
    CIndex::SInsertPosition position = CheckNewName(parent, name);
    object.GetVolume().BeginWrite();
    SaveObject(object);
    SOwnName own = FindOwnName(object);
    InsertName(object, parent, name, position, BuildName(object, own.value, parent.GetReference(), name));
    RefreshNames(object);
}

void MoveName(CFsObject& object, CDirectory& parent, const std::u16string& name, bool replaceExisting) {
    CheckChangeable(object);
    CheckTargetDirectory(parent);
    CheckNotIntoItself(object, parent);
    CheckNameRules(name);
    const bool sameDirectory = SameRecord(parent.GetReference(), object.GetParentReference());
    if (sameDirectory && name == object.GetName()) return;
    bool caseOnly = false;
    SIndexEntryValue existing;
    if (parent.GetIndex().FindEntry(name, existing)) {
        caseOnly = sameDirectory && SameRecord(existing.fileReference, object.GetReference()) &&
                   CompareIgnoreCase(name, object.GetName(), object.GetVolume().GetUpCase()) == ECollation::Equal;
        if (!caseOnly && !replaceExisting) throw CException(EErrorKind::Argument, ContractText::EntryExists, name);
        if (!caseOnly && !RemoveTarget(object, parent, name, existing)) return;
    }
    CIndex::SInsertPosition position = parent.GetIndex().FindInsertPosition(name, caseOnly);
    object.GetVolume().BeginWrite();
    SaveObject(object);
    SOwnName own = FindOwnName(object);
    InsertName(object, parent, name, position, BuildName(object, own.value, parent.GetReference(), name));
    // From here on the object has its new name, whatever else fails.
    try {
        RemoveOwnName(object, own);
    } catch (...) {
        object.SetName(parent.GetReference(), name);
        throw;
    }
    object.SetName(parent.GetReference(), name);
    RefreshNames(object);
}

bool RemoveSharedName(CFsObject& object) {
    // One name record is one link at most, counted without building it.
    if (object.GetEntry().CountAttributes(AttrType::FileName) <= 1 || CountLinks(object) <= 1) return false;
    SOwnName own = FindOwnName(object);
    object.GetVolume().BeginWrite();
    std::exception_ptr failure;
    try {
        RemoveOwnName(object, own);
    } catch (...) {
        failure = std::current_exception();
    }
    // The object goes on under a name it still has.
    for (const AttributePtr& attribute : object.GetEntry().FindAttributes(AttrType::FileName)) {
        std::vector<uint8_t> value = ReadFileName(*attribute);
        if (NameSpaceOfFileName(value) == FileNameValue::NameSpaceDos) continue;
        object.SetName(ParentOfFileName(value), NameOfFileName(value));
        break;
    }
    if (failure) std::rethrow_exception(failure);
    return true;
}

}  // namespace volcore
