#include "objects/Directory.h"

#include <exception>

#include "base/Exception.h"
#include "base/Log.h"
#include "disk/RecordFormat.h"
#include "objects/NewChild.h"
#include "objects/Volume.h"

namespace volcore {
namespace {

constexpr char16_t kSeparator = u'\\';
const std::u16string kIndexName = u"$I30";

}  // namespace

std::u16string_view NextComponent(std::u16string_view path, size_t& position) {
    while (position < path.size()) {
        size_t end = path.find(kSeparator, position);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view component = path.substr(position, end - position);
        position = end + 1;
        if (!component.empty()) return component;
    }
    return {};
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> components;
    size_t position = 0;
    for (auto name = NextComponent(path, position); !name.empty(); name = NextComponent(path, position))
        components.emplace_back(name);
    return components;
}

std::u16string JoinPath(const std::vector<std::u16string>& components) {
    std::u16string path;
    for (const auto& component : components) {
        if (component.empty()) continue;
        if (!path.empty()) path += kSeparator;
        path += component;
    }
    return path;
}

// The parent comes out as JoinPath would make it, without a vector of
// components: every create by path splits its path.
SParentAndName SplitLastComponent(std::u16string_view path) {
    size_t position = 0;
    std::u16string_view last = NextComponent(path, position);
    if (last.empty()) throw CException(EErrorKind::Argument, "Invalid path: %1", path);
    SParentAndName result;
    for (auto next = NextComponent(path, position); !next.empty(); next = NextComponent(path, position)) {
        if (!result.parentPath.empty()) result.parentPath += kSeparator;
        result.parentPath += last;
        last = next;
    }
    result.name = last;
    return result;
}

CDirectory::CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume)
    : CFsObject(entry, volume), m_index(std::in_place, std::move(entry), kIndexName, volume.GetUpCase()) {
    // Every object of the record takes what a walk left of it, so that a
    // change made through this one is never hidden behind an older version.
    if (auto version = volume.TakeIndexVersion(GetReference())) m_index->AdoptVersion(*version);
}

CDirectory::CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume, uint32_t blockSize,
                       uint8_t clustersPerBlock)
    : CFsObject(entry, volume),
      m_index(std::in_place, std::move(entry), kIndexName, volume.GetUpCase(), blockSize, clustersPerBlock) {
    volume.TakeIndexVersion(GetReference());
}

CDirectory::~CDirectory() {
    if (IsAbandoned()) {
        // Whatever reached the index after it was given up is lost as well.
        if (m_index) m_index->DiscardChanges();
        return;
    }
    try {
        Flush();
    } catch (const std::exception& e) {
        try {
            LogError(FormatText("Destroying directory %1 (%2): %3", GetName(), RecordNumber(GetReference()), e.what()));
        } catch (...) {
        }
        // Reported once here; the index must not report the same loss again.
        if (m_index) m_index->DiscardChanges();
    }
}

std::shared_ptr<CDirectory> CDirectory::Open(CVolume& volume, FileReference reference) {
    if (auto cached = volume.FindCachedDirectory(reference)) return cached;
    // A file object already open on the record shares its entry.
    auto directory = std::make_shared<CDirectory>(volume.OpenEntry(reference), volume);
    volume.CacheDirectory(directory);
    return directory;
}

std::shared_ptr<CDirectory> CDirectory::LoadUncached(CVolume& volume, FileReference reference) {
    return std::make_shared<CDirectory>(volume.OpenEntry(reference), volume);
}

std::shared_ptr<CDirectory> CDirectory::OpenByPath(CVolume& volume, std::u16string_view path) {
    return Open(volume, volume.ResolvePath(path));
}

std::shared_ptr<CDirectory> CDirectory::FindByPath(CVolume& volume, std::u16string_view path,
                                                   std::u16string_view& missing, std::string& refusal) {
    const std::optional<FileReference> found = volume.FindPath(path, missing);
    if (!found) return nullptr;
    if (auto cached = volume.FindCachedDirectory(*found)) return cached;
    // A file asked for as a directory fails as the index's load would, but
    // without raising: `volkit mount` asks so about every empty file it
    // describes or removes, and a raise costs tens of thousands of instructions.
    std::shared_ptr<CFileEntry> entry = volume.OpenEntry(*found);
    if (entry->CountAttributes(AttrType::IndexRoot, kIndexName) == 0) {
        static const std::string kNoIndex =
            FormatText("Attribute %1 %2 not found", AttrType::IndexRoot, std::u16string_view(kIndexName));
        refusal = kNoIndex;
        return nullptr;
    }
    auto directory = std::make_shared<CDirectory>(std::move(entry), volume);
    volume.CacheDirectory(directory);
    return directory;
}

std::shared_ptr<CDirectory> CDirectory::Create(CVolume& volume, FileReference parentReference,
                                               const std::u16string& name) {
    auto parent = Open(volume, parentReference);
    SNewChild child = CreateChildEntry(*parent, parent->GetAttributesAndTime(), name,
                                       FileRecord::FlagInUse | FileRecord::FlagDirectory, kFileAttributeDirectoryIndex);
    std::shared_ptr<CDirectory> directory;
    try {
        child.entry->CreateAttribute(AttrType::IndexRoot, kIndexName, true);
        const CIndex& parentIndex = parent->GetIndex();
        directory = std::make_shared<CDirectory>(child.entry, volume, parentIndex.GetBlockSize(),
                                                 parentIndex.GetClustersPerBlock());
        directory->GetIndex().Save();
        LinkChild(*parent, name, child);
    } catch (...) {
        if (directory) directory->Abandon();
        DiscardChildEntry(*child.entry);
        throw;
    }
    // Only the cache keeps the new directory's unsaved index and record until
    // the caller's handle, an eviction or the volume's teardown flushes them.
    volume.CacheDirectory(directory);
    return directory;
}

std::shared_ptr<CDirectory> CDirectory::CreateByPath(CVolume& volume, std::u16string_view path) {
    SParentAndName target = SplitLastComponent(path);
    return Create(volume, volume.ResolvePath(target.parentPath), target.name);
}

CIndex& CDirectory::GetIndex() const {
    if (!m_index) throw CException(EErrorKind::Argument, "Directory was deleted");
    return *m_index;
}

void CDirectory::Delete() {
    uint64_t record = RecordNumber(GetReference());
    if (m_walks > 0)
        throw CException(EErrorKind::Argument, "Cannot delete directory %1 while it is being listed", GetName());
    CheckUsable();
    if (IsSystemObject()) throw CException(EErrorKind::Argument, "Cannot delete system entry %1", record);
    if (!GetIndex().IsEmpty())
        throw CException(EErrorKind::Argument, "Cannot delete directory %1: directory is not empty", GetName());
    // Tested before the index goes, so that a refused delete leaves the directory whole.
    if (SameRecord(GetReference(), GetParentReference()))
        throw CException(EErrorKind::Corrupt, "Entry %1 references itself", record);
    GetVolume().BeginWrite();
    // The directory's record is freed below: its unsaved index changes do not matter.
    m_index->DiscardChanges();
    m_index.reset();
    GetVolume().UncacheDirectory(GetReference());
    DeleteObject();
}

void CDirectory::Flush() {
    if (IsDeleted()) return;
    // A change made to a directory given up never reaches the disk: the
    // caller that made it must fail (a delete would otherwise free a record
    // its name on disk still points at).
    CheckUsable();
    if (m_index) m_index->Save();
    SaveEntryAndNames();
}

void CDirectory::Abandon() noexcept {
    CFsObject::Abandon();
    if (m_index) m_index->DiscardChanges();
}

}  // namespace volcore
