#include "objects/File.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "base/ContractTexts.h"
#include "base/Log.h"
#include "disk/RecordFormat.h"
#include "base/StreamPath.h"
#include "objects/Directory.h"
#include "index/Index.h"
#include "objects/Links.h"
#include "objects/NewChild.h"
#include "objects/SymbolicLink.h"
#include "disk/UpCase.h"
#include "objects/Volume.h"

namespace volcore {

// A $FILE_NAME is always resident; a non-resident one is damage whose size
// must not decide an allocation.
std::vector<uint8_t> ReadFileName(const CAttribute& attribute) {
    if (attribute.IsNonResident())
        throw CException(EErrorKind::Corrupt, "Corrupt $FILE_NAME of file entry %1",
                         RecordNumber(attribute.GetOwner()));
    return attribute.ReadAll();
}

std::u16string NameOfFileName(const std::vector<uint8_t>& fileName) {
    CByteReader value(fileName);
    return value.Utf16(FileNameValue::Name, value.U8(FileNameValue::NameLength));
}

FileReference ParentOfFileName(const std::vector<uint8_t>& fileName) {
    return CByteReader(fileName).U64(FileNameValue::ParentReference);
}

uint8_t NameSpaceOfFileName(const std::vector<uint8_t>& fileName) {
    return CByteReader(fileName).U8(FileNameValue::NameSpace);
}

namespace {

bool IsDosOnlyName(const std::vector<uint8_t>& fileName) {
    return NameSpaceOfFileName(fileName) == FileNameValue::NameSpaceDos;
}

std::u16string NameOf(const std::vector<uint8_t>& fileName) { return NameOfFileName(fileName); }

// A $FILE_NAME value in a buffer of the largest size one can have (its name
// is at most 255 units): opening an object copies its name without a heap
// block for the value.
struct SFileNameValue {
    std::array<uint8_t, FileNameValue::Name + 255 * sizeof(char16_t)> bytes;
    uint32_t size = 0;
    CByteReader Reader() const { return CByteReader(bytes.data(), size); }
    bool IsDosOnly() const { return Reader().U8(FileNameValue::NameSpace) == FileNameValue::NameSpaceDos; }
};

// As ReadFileName; what lies past the longest name is never read.
void ReadFileNameInto(const CAttribute& attribute, SFileNameValue& value) {
    if (attribute.IsNonResident())
        throw CException(EErrorKind::Corrupt, "Corrupt $FILE_NAME of file entry %1",
                         RecordNumber(attribute.GetOwner()));
    value.size = static_cast<uint32_t>(std::min<uint64_t>(attribute.GetSize(), value.bytes.size()));
    if (value.size > 0) attribute.ReadData(0, value.bytes.data(), value.size);
}

// The $FILE_NAME that names the object: the long (Win32 or POSIX) name when
// the entry has one, else the first.
void ReadPrimaryFileName(const CFileEntry& entry, SFileNameValue& first) {
    // The usual first visit: the name is read where it lies, no attribute
    // built (a directory passed through on a path never needs one).
    if (const auto located = entry.LocatedResidentValue(AttrType::FileName)) {
        first.size = static_cast<uint32_t>(std::min(located->size(), first.bytes.size()));
        std::copy_n(located->begin(), first.size, first.bytes.begin());
    } else {
        ReadFileNameInto(*entry.GetAttribute(AttrType::FileName), first);
    }
    if (!first.IsDosOnly()) return;
    SFileNameValue other;
    for (const AttributePtr& attribute : entry.FindAttributes(AttrType::FileName)) {
        ReadFileNameInto(*attribute, other);
        if (!other.IsDosOnly()) {
            first = other;
            return;
        }
    }
}

}  // namespace

CFsObject::CFsObject(std::shared_ptr<CFileEntry> entry, CVolume& volume)
    : m_entry(std::move(entry)), m_volume(volume), m_reference(m_entry->GetReference()), m_parentReference(0) {
    // The usual open: a long name taken where it lies, without a copy first.
    if (const auto located = m_entry->LocatedResidentValue(AttrType::FileName)) {
        const CByteReader value(*located);
        const bool longName = value.Size() > FileNameValue::NameSpace &&
                              value.U8(FileNameValue::NameSpace) != FileNameValue::NameSpaceDos;
        if (longName) {
            TakeName(value);
            return;
        }
    }
    SFileNameValue fileName;
    ReadPrimaryFileName(*m_entry, fileName);
    TakeName(fileName.Reader());
}

CFsObject::CFsObject(std::shared_ptr<CFileEntry> entry, CVolume& volume, std::span<const uint8_t> fileName)
    : m_entry(std::move(entry)), m_volume(volume), m_reference(m_entry->GetReference()), m_parentReference(0) {
    TakeName(CByteReader(fileName.data(), fileName.size()));
}

void CFsObject::TakeName(const CByteReader& fileName) {
    m_name = fileName.Utf16(FileNameValue::Name, fileName.U8(FileNameValue::NameLength));
    m_parentReference = fileName.U64(FileNameValue::ParentReference);
}

CFileEntry& CFsObject::GetEntry() const {
    CheckAlive();
    return *m_entry;
}

std::shared_ptr<CFileEntry> CFsObject::ShareEntry() const {
    CheckAlive();
    return m_entry;
}

void CFsObject::CheckAlive() const {
    if (IsDeleted())
        throw CException(EErrorKind::Argument, "FS object %1 (%2) is deleted", RecordNumber(m_reference), m_name);
}

void CFsObject::CheckUsable() const {
    CheckAlive();
    if (m_abandoned)
        throw CException(EErrorKind::Argument, "FS object %1 (%2) was given up after a failed write",
                         RecordNumber(m_reference), m_name);
}

bool CFsObject::IsDirectory() const {
    const CFileEntry& entry = GetEntry();
    return (entry.GetFlags() & FileRecord::FlagDirectory) || entry.FindAttribute(AttrType::IndexRoot, u"$I30");
}

bool CFsObject::IsSystemObject() const {
    // No path holds more components than this; a longer chain of parents is a loop.
    constexpr int kDeepestPath = 16384;
    if (RecordNumber(m_reference) < kFirstOrdinaryRecord) return true;
    FileReference child = m_reference;
    FileReference parent = m_parentReference;
    for (int depth = 0; depth < kDeepestPath; ++depth) {
        uint64_t record = RecordNumber(parent);
        if (record == kRootRecord) return false;
        // $Extend, or another system directory: what it holds is the file system's.
        if (record < kFirstOrdinaryRecord) return true;
        if (SameRecord(parent, child)) throw CException(EErrorKind::Corrupt, "Entry %1 references itself", record);
        child = parent;
        parent = CDirectory::Open(m_volume, parent)->GetParentReference();
    }
    throw CException(EErrorKind::Corrupt, "Entry %1: its parent directories never reach the root",
                     RecordNumber(m_reference));
}

void CFsObject::SelectName(FileReference parent, std::u16string_view name) {
    std::vector<std::vector<uint8_t>> inParent;
    for (const AttributePtr& attribute : GetEntry().FindAttributes(AttrType::FileName)) {
        std::vector<uint8_t> value = ReadFileName(*attribute);
        if (SameRecord(ParentOfFileName(value), parent)) inParent.push_back(std::move(value));
    }
    const std::vector<uint8_t>* chosen = nullptr;
    for (const auto& value : inParent)
        if (NameOf(value) == name) chosen = &value;
    for (const auto& value : inParent)
        if (!chosen && CompareIgnoreCase(NameOf(value), name, m_volume.GetUpCase()) == ECollation::Equal)
            chosen = &value;
    if (!chosen) return;
    // A DOS alias is reached through its long name's entry; it is that name's.
    if (IsDosOnlyName(*chosen))
        for (const auto& value : inParent)
            if (NameSpaceOfFileName(value) == FileNameValue::NameSpaceWin32) chosen = &value;
    SetName(ParentOfFileName(*chosen), NameOf(*chosen));
}

void CFsObject::SetName(FileReference parent, std::u16string name) {
    m_parentReference = parent;
    m_name = std::move(name);
}

StandardInformation CFsObject::GetAttributesAndTime() const {
    CheckAlive();
    StandardInformation info{};
    AttributePtr attribute = m_entry->GetAttribute(AttrType::StandardInformation);
    // The older 48-byte form reads with its missing fields as zero.
    uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(attribute->GetSize(), info.size()));
    if (length > 0) attribute->ReadData(0, info.data(), length);
    return info;
}

void CFsObject::SetAttributesAndTime(const StandardInformation& info) {
    CheckAlive();
    // The engine holds records such as $MFT, $Bitmap and $Volume itself and
    // changes them behind any other object's back: a stamped copy saved later
    // would write back what they were when it was opened. The root is the
    // one system record every holder shares.
    if (RecordNumber(m_reference) != kRootRecord && IsSystemObject())
        throw CException(EErrorKind::Argument, "Cannot change system entry %1", RecordNumber(m_reference));
    m_volume.BeginWrite();
    m_changed = true;
    AttributePtr attribute = m_entry->GetAttribute(AttrType::StandardInformation);
    // A short value keeps its length: only the fields it has are written.
    uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(attribute->GetSize(), info.size()));
    if (length > 0) attribute->WriteData(0, info.data(), length);
}

bool CFsObject::RefreshFileName(std::span<uint8_t> fileName, const StandardInformation& info) const {
    AttributePtr data = m_entry->FindAttribute(AttrType::Data);
    uint64_t allocatedSize = data ? data->GetSizeOnDisk() : 0;
    uint64_t dataSize = data ? data->GetSize() : 0;
    CByteReader source(info.data(), info.size());
    CByteWriter target(fileName.data(), fileName.size());
    CByteReader current = target.Reader();
    bool changed = false;

    if (current.U64(FileNameValue::AllocatedSize) != allocatedSize || current.U64(FileNameValue::DataSize) != dataSize) {
        target.U64(FileNameValue::AllocatedSize, allocatedSize);
        target.U64(FileNameValue::DataSize, dataSize);
        changed = true;
    }
    // Other readers tell directories by this flag in the name; the standard
    // information of many directories does not carry it.
    uint32_t attributes = source.U32(StdInfo::FileAttributes);
    if (m_entry->GetFlags() & FileRecord::FlagDirectory)
        attributes |= current.U32(FileNameValue::FileAttributes) & kFileAttributeDirectoryIndex;
    bool timesDiffer = current.U64(FileNameValue::CreationTime) != source.U64(StdInfo::CreationTime) ||
                       current.U64(FileNameValue::ModificationTime) != source.U64(StdInfo::ModificationTime) ||
                       current.U64(FileNameValue::MftChangeTime) != source.U64(StdInfo::MftChangeTime) ||
                       current.U64(FileNameValue::AccessTime) != source.U64(StdInfo::AccessTime);
    if (timesDiffer || current.U32(FileNameValue::FileAttributes) != attributes) {
        target.U64(FileNameValue::CreationTime, source.U64(StdInfo::CreationTime));
        target.U64(FileNameValue::ModificationTime, source.U64(StdInfo::ModificationTime));
        target.U64(FileNameValue::MftChangeTime, source.U64(StdInfo::MftChangeTime));
        target.U64(FileNameValue::AccessTime, source.U64(StdInfo::AccessTime));
        target.U32(FileNameValue::FileAttributes, attributes);
        changed = true;
    }
    return changed;
}

void CFsObject::SaveEntryAndNames() {
    CheckAlive();
    // A clean entry has nothing to write: every close and flush of an object
    // that was only read ends here, without asking each attribute twice.
    if (!m_changed && !m_entry->IsDirty()) return;
    std::vector<std::vector<uint8_t>> refreshed;
    // A value moved out of the record changes the allocated size the
    // names copy.
    m_entry->SettleResidency();
    StandardInformation info = GetAttributesAndTime();
    // Every name of the entry (long, DOS, hard links) carries the same copy.
    // Most saves change none: a value is looked at on the stack.
    SFileNameValue value;
    for (const AttributePtr& attribute : m_entry->FindAttributes(AttrType::FileName)) {
        ReadFileNameInto(*attribute, value);
        std::span<uint8_t> fileName(value.bytes.data(), value.size);
        std::vector<uint8_t> whole;
        if (attribute->GetSize() > value.bytes.size()) fileName = whole = ReadFileName(*attribute);
        if (!RefreshFileName(fileName, info)) continue;
        attribute->WriteData(0, fileName.data(), static_cast<uint32_t>(fileName.size()));
        refreshed.emplace_back(fileName.begin(), fileName.end());
    }
    // The record first: should its write fail, the parent's entry must still
    // describe what the disk holds.
    m_entry->Save();
    m_changed = false;
    for (const std::vector<uint8_t>& fileName : refreshed) {
        FileReference parent = ParentOfFileName(fileName);
        if (RecordNumber(parent) == 0 || SameRecord(parent, m_reference)) continue;
        // Names in other directories (hard links) follow too, as far as their
        // directories can be reached: their copies are only copies, and the
        // record is already written.
        const bool own = SameRecord(parent, m_parentReference);
        try {
            std::shared_ptr<CDirectory> directory = CDirectory::Open(m_volume, parent);
            directory->GetIndex().UpdateEntry(NameOf(fileName), MakeIndexEntryValue(m_reference, fileName));
        } catch (const std::exception& e) {
            if (own) throw;
            LogWarning(FormatText("Entry %1: the copy in directory %2 of its name %3 was not updated: %4",
                                  RecordNumber(m_reference), RecordNumber(parent), NameOf(fileName), e.what()));
        }
    }
}

// The usual single name is read where it lies: a delete then builds no
// attribute object at all.
std::vector<std::vector<uint8_t>> CFsObject::FileNamesToRemove() const {
    std::vector<std::vector<uint8_t>> names;
    if (m_entry->CountAttributes(AttrType::FileName) == 1) {
        if (const auto located = m_entry->LocatedResidentValue(AttrType::FileName)) {
            names.emplace_back(located->begin(), located->end());
            return names;
        }
    }
    for (const AttributePtr& attribute : m_entry->FindAttributes(AttrType::FileName))
        names.push_back(ReadFileName(*attribute));
    return names;
}

void CFsObject::DeleteObject() {
    CheckAlive();
    m_volume.BeginWrite();
    if (SameRecord(m_reference, m_parentReference))
        throw CException(EErrorKind::Corrupt, "Entry %1 references itself", RecordNumber(m_reference));
    std::shared_ptr<CDirectory> parent = CDirectory::Open(m_volume, m_parentReference);
    // Every name in the parent goes (a long name and its DOS alias); names in
    // other directories go too, or they would point at a freed record. A
    // directory given up refuses before anything changes.
    std::vector<std::pair<std::shared_ptr<CDirectory>, std::u16string>> changed;
    for (const std::vector<uint8_t>& fileName : FileNamesToRemove()) {
        FileReference nameParent = CByteReader(fileName).U64(FileNameValue::ParentReference);
        if (SameRecord(nameParent, m_reference)) continue;
        std::shared_ptr<CDirectory> directory =
            SameRecord(nameParent, m_parentReference) ? parent : CDirectory::Open(m_volume, nameParent);
        directory->CheckUsable();
        changed.emplace_back(std::move(directory), NameOf(fileName));
    }
    // The volume's list of reparse points must not name a freed record.
    ForgetReparsePoint(m_volume, *m_entry);
    try {
        for (const auto& [directory, name] : changed) directory->RemoveEntry(name);
        // The names leave the disk before the record does: a failure in
        // between leaves an orphan that only wastes its space.
        for (const auto& [directory, name] : changed) directory->Flush();
        m_entry->Delete();
    } catch (...) {
        // What is in memory no longer matches the disk: nothing more of it may be written.
        Abandon();
        throw;
    }
    m_entry.reset();
}

CFile::CFile(std::shared_ptr<CFileEntry> entry, CVolume& volume)
    : CFsObject(std::move(entry), volume) {}

// A deleted file has no entry left to look in: its contents are gone.
void CFile::FindData() const {
    if (!m_entry) return;
    AttributePtr data = m_entry->FindAttribute(AttrType::Data);
    m_systemCompressed = CSystemCompressedData::Recognise(*m_entry, data);
    m_data = std::move(data);
    m_dataFound = true;
}

CFile::~CFile() {
    // The owner already heard about a failed flush; repeating it would only
    // report the same failure twice.
    if (m_flushFailed || IsAbandoned()) return;
    // A deleted file leaves the volume alone, as it always has; its expired
    // slot goes in the table's next sweep.
    const bool releaseSlot = !IsStream() && !IsDeleted();
    try {
        if (!m_flushedForClose) Flush();
        LeaveEntry();
    } catch (const std::exception& e) {
        LogError(FormatText("Destroying file %1 (%2): %3", GetName(), RecordNumber(GetReference()), e.what()));
    } catch (...) {
        LogError(FormatText("Destroying file %1 (%2): unknown failure", GetName(), RecordNumber(GetReference())));
    }
    if (releaseSlot) GetVolume().ReleaseOpenFile(GetReference());
}

uint64_t CFile::GetSize() const {
    const AttributePtr& data = Data();
    return data ? data->GetSize() : 0;
}

void CFile::Read(uint64_t offset, void* buffer, uint32_t size) const {
    // Only the first read looks the contents up; the rest go straight on.
    if (!m_dataFound) FindData();
    ReadFound(offset, buffer, size);
}

// The lookup has been done: it also found the system compression.
void CFile::ReadFound(uint64_t offset, void* buffer, uint32_t size) const {
    const AttributePtr& data = m_data;
    const uint64_t fileSize = data ? data->GetSize() : 0;
    if (size > fileSize || offset > fileSize - size)
        throw CException(EErrorKind::Argument, ContractText::FileReadRange);
    if (!data)
        throw CException(EErrorKind::Argument, ContractText::AttributeRange, "ReadData", offset, size, fileSize);
    if (m_systemCompressed) m_systemCompressed->Read(offset, static_cast<uint8_t*>(buffer), size);
    else data->ReadData(offset, buffer, size);
}

void CFile::CheckIsFile() const {
    if (m_entry && (m_entry->GetFlags() & FileRecord::FlagDirectory))
        throw CException(EErrorKind::Argument, "Entry %1 is a directory, not a file", GetName());
}

// The contents of the metadata files are the volume's own structures ($Boot
// is the boot sector, $MFT the records): writing them as a file's data would
// destroy the volume.
void CFile::CheckDataChangeable() const {
    CheckIsFile();
    if (IsSystemObject()) throw CException(EErrorKind::Argument, "Cannot change system entry %1", RecordNumber(GetReference()));
    // Windows turns such a file back into an ordinary one before changing it;
    // this engine only reads them.
    // A system-compressed file's data lives in its WofCompressedData stream.
    const bool holdsWofData =
        m_file && m_file->SystemCompressed() && Data() && Data()->GetName() == kWofStreamName;
    if (SystemCompressed() || holdsWofData)
        throw CException(EErrorKind::Unsupported,
                         "Cannot change file %1 (record %2): Windows' system compression (WOF) holds its data, which can only be read",
                         GetName(), RecordNumber(GetReference()));
}

void CFile::Write(uint64_t offset, const void* buffer, uint32_t size) {
    CheckDataChangeable();
    uint64_t fileSize = GetSize();
    if (size > fileSize || offset > fileSize - size)
        throw CException(EErrorKind::Argument, ContractText::FileWriteRange);
    if (!m_data)
        throw CException(EErrorKind::Argument, ContractText::AttributeRange, "WriteData", offset, size, fileSize);
    GetVolume().BeginWrite();
    m_data->WriteData(offset, buffer, size);
}

void CFile::SetSize(uint64_t newSize) {
    CheckDataChangeable();
    if (!Data()) {
        CheckAlive();
        GetVolume().BeginWrite();
        // Empty data lives in the record until it grows.
        m_data = m_entry->CreateAttribute(AttrType::Data, u"", true);
    }
    if (newSize == m_data->GetSize()) return;
    GetVolume().BeginWrite();
    m_data->SetSize(newSize);
    MarkChanged();
}

void CFile::MakeSparse() {
    CheckDataChangeable();
    if (!Data()) SetSize(0);  // the empty data every file has from its create
    if (!m_data || m_data->IsSparse() || m_data->IsCompressed()) return;
    GetVolume().BeginWrite();
    m_data->MakeSparse();
    MarkChanged();
    StandardInformation info = GetAttributesAndTime();
    CByteWriter out(info.data(), info.size());
    // "Normal" stands for no other attribute.
    const uint32_t attributes = out.Reader().U32(StdInfo::FileAttributes) & ~kFileAttributeNormal;
    out.U32(StdInfo::FileAttributes, attributes | kFileAttributeSparse);
    SetAttributesAndTime(info);
}

void CFile::ZeroRange(uint64_t offset, uint64_t size) {
    CheckDataChangeable();
    const uint64_t fileSize = GetSize();
    if (!m_data || size == 0 || size > fileSize || offset > fileSize - size)
        throw CException(EErrorKind::Argument, ContractText::AttributeRange, "ZeroRange", offset, size, fileSize);
    GetVolume().BeginWrite();
    m_data->ZeroRange(offset, size);
    MarkChanged();
}

uint64_t CFile::GetSizeOnDisk() const {
    const AttributePtr data = Data();
    return data && data->IsNonResident() ? data->GetSizeOnDisk() : 0;
}

std::pair<uint64_t, uint64_t> CFile::DataRangeFrom(uint64_t offset) const {
    if (!m_dataFound) FindData();
    const uint64_t size = m_data ? m_data->GetSize() : 0;
    if (offset >= size) return {size, size};
    // System-compressed contents are read from their own stream: all data.
    if (m_systemCompressed) return {offset, size};
    return m_data->DataRangeFrom(offset);
}

void CFile::Delete() {
    if (IsStream()) return DeleteStream();
    CheckUsable();
    if (IsSystemObject())
        throw CException(EErrorKind::Argument, "Cannot delete system entry %1", RecordNumber(GetReference()));
    // Its children would be left without a parent.
    if (IsDirectory()) throw CException(EErrorKind::Argument, "Cannot delete directory %1 as a file", GetName());
    // A file with other names loses only this one; the last name takes the file.
    if (RemoveSharedName(*this)) return;
    DeleteObject();
    m_data.reset();
}

void CFile::Flush() {
    // A deleted file has nothing left to write; an abandoned one must not
    // write what it was given up with.
    if (IsDeleted() || IsAbandoned()) return;
    m_flushFailed = true;
    SaveEntryAndNames();
    m_flushFailed = false;
}

// A file whose entry nobody else holds leaves it, written back, for the next
// open of its record. The volume's own files stay out: the session writes
// some of their records directly.
void CFile::LeaveEntry() noexcept {
    if (EntryCanBeKept()) GetVolume().KeepClosedEntry(std::move(m_entry));
}

bool CFile::EntryCanBeKept() const noexcept {
    return !IsStream() && !IsDeleted() && m_entry.use_count() == 1 && !m_entry->IsDirty() &&
           RecordNumber(GetReference()) >= kFirstOrdinaryRecord;
}

// A directory opened as a file may be kept too: a directory object opening
// its record takes the file out of the volume's slot for the entry, as it
// would take a kept entry.
void CFile::KeepClosed(std::shared_ptr<CFile> file) noexcept {
    if (!file->m_flushedForClose || file->m_flushFailed || file->IsAbandoned() || !file->EntryCanBeKept() ||
        !file->m_streams.empty())
        return;
    CVolume& volume = file->GetVolume();
    volume.KeepClosedFile(std::move(file));
}

std::shared_ptr<CFile> CFile::Open(CVolume& volume, FileReference reference) {
    // Every handle on one record shares one object, and a directory opened as
    // a file shares the directory's entry: two copies of one record would each
    // rebuild it from their own view when saved, and the last one would win.
    if (auto file = volume.FindOpenFile(reference)) return file;
    auto file = std::make_shared<CFile>(volume.OpenEntry(reference, true), volume);
    volume.RememberOpenFile(file);
    return file;
}

std::shared_ptr<CFile> CFile::OpenByPath(CVolume& volume, std::u16string_view path) {
    std::exception_ptr asStream;
    try {
        SStreamPath split = SplitStreamPath(path);
        if (split.hasStream) return OpenStream(OpenNamed(volume, split.filePath), split.stream);
    } catch (const CException&) {
        // A name with a colon that another system wrote is still found as a whole.
        asStream = std::current_exception();
    }
    try {
        return OpenNamed(volume, path);
    } catch (const CException&) {
        if (asStream) std::rethrow_exception(asStream);
        throw;
    }
}

std::shared_ptr<CFile> CFile::FindByPath(CVolume& volume, std::u16string_view path, std::u16string_view& missing) {
    // A stream path, or one whose stream part is not understood, takes
    // OpenByPath's way.
    if (MayNameStream(path)) return OpenByPath(volume, path);
    const std::optional<FileReference> found = volume.FindPath(path, missing);
    return found ? OpenNamed(volume, path, *found) : nullptr;
}

std::shared_ptr<CFile> CFile::OpenNamed(CVolume& volume, std::u16string_view path) {
    return OpenNamed(volume, path, volume.ResolvePath(path));
}

// A file with several names is known by the one this path reached.
std::shared_ptr<CFile> CFile::OpenNamed(CVolume& volume, std::u16string_view path, FileReference reference) {
    std::shared_ptr<CFile> file = Open(volume, reference);
    if (file->GetEntry().CountAttributes(AttrType::FileName) > 1) {
        SParentAndName link = SplitLastComponent(path);
        file->SelectName(volume.ResolvePath(link.parentPath), link.name);
    }
    return file;
}

// As Windows does: a directory flagged compressed makes the files created in
// it compressed, unless clusters are larger than 4 KiB, where NTFS has no
// compression.
bool CFile::NewFilesCompressed(const CFsObject& parent, const StandardInformation& parentInfo) {
    constexpr uint32_t kLargestCompressedCluster = 4096;
    const uint32_t attributes = CByteReader(parentInfo.data(), parentInfo.size()).U32(StdInfo::FileAttributes);
    return (attributes & kFileAttributeCompressed) != 0 &&
           parent.GetVolume().GetClusterSize() <= kLargestCompressedCluster;
}

std::shared_ptr<CFile> CFile::Create(CVolume& volume, FileReference parentReference, const std::u16string& name) {
    auto parent = CDirectory::Open(volume, parentReference);
    const StandardInformation parentInfo = parent->GetAttributesAndTime();
    const bool compressed = NewFilesCompressed(*parent, parentInfo);
    SNewChild child = CreateChildEntry(*parent, parentInfo, name, FileRecord::FlagInUse,
                                       compressed ? kFileAttributeCompressed : kFileAttributeNormal);
    // The object is built after the link: until then nothing would undo the
    // flush its destructor does. Every file has its (empty) contents from the start.
    try {
        AttributePtr data = child.entry->CreateAttribute(AttrType::Data, u"", true);
        if (compressed) data->MakeCompressed();
        LinkChild(*parent, name, child);
    } catch (...) {
        DiscardChildEntry(*child.entry);
        throw;
    }
    try {
        auto file = std::make_shared<CFile>(child.entry, volume, child.fileName);
        volume.RememberOpenFile(file);
        return file;
    } catch (...) {
        parent->RemoveEntry(name);
        DiscardChildEntry(*child.entry);
        throw;
    }
}

std::shared_ptr<CFile> CFile::CreateByPath(CVolume& volume, std::u16string_view path) {
    SStreamPath split = SplitStreamPath(path);
    SParentAndName target = SplitLastComponent(split.filePath);
    FileReference parent = volume.ResolvePath(target.parentPath);
    if (!split.hasStream) return Create(volume, parent, target.name);
    // A stream that cannot be made must not leave a new file behind.
    if (!split.stream.empty()) CheckNewStreamName(split.stream);
    // As Windows does: a stream of an existing file adds only the stream, one
    // of a missing file makes the file first.
    SIndexEntryValue existing;
    std::shared_ptr<CFile> file = CDirectory::Open(volume, parent)->GetIndex().FindEntry(target.name, existing)
                                      ? Open(volume, existing.fileReference)
                                      : Create(volume, parent, target.name);
    return split.stream.empty() ? file : CreateStream(file, split.stream);
}

}  // namespace volcore
