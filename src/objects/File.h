#pragma once
// Open file-system objects: the part shared by files and directories, and the
// file object behind a file handle.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "entries/SystemCompressed.h"
#include "disk/Types.h"

namespace volcore {

class CVolume;

// The 72-byte $STANDARD_INFORMATION value.
using StandardInformation = std::array<uint8_t, 72>;

// A $FILE_NAME value (always resident: a non-resident one is damage).
std::vector<uint8_t> ReadFileName(const CAttribute& attribute);
std::u16string NameOfFileName(const std::vector<uint8_t>& fileName);
FileReference ParentOfFileName(const std::vector<uint8_t>& fileName);
uint8_t NameSpaceOfFileName(const std::vector<uint8_t>& fileName);

class CFsObject {
public:
    CFsObject(std::shared_ptr<CFileEntry> entry, CVolume& volume);
    // A new object named by the $FILE_NAME value its creator just made: the
    // entry's own copy of it need not be read back.
    CFsObject(std::shared_ptr<CFileEntry> entry, CVolume& volume, std::span<const uint8_t> fileName);
    virtual ~CFsObject() = default;
    CFsObject(const CFsObject&) = delete;
    CFsObject& operator=(const CFsObject&) = delete;

    // The name the object was opened, created or last renamed by: for an
    // object with several names (hard links), the one that a rename moves and
    // a delete removes.
    const std::u16string& GetName() const { return m_name; }
    FileReference GetReference() const { return m_reference; }
    FileReference GetParentReference() const { return m_parentReference; }
    CVolume& GetVolume() const { return m_volume; }
    // Deleted through this object or through another one sharing its entry.
    bool IsDeleted() const { return !m_entry || m_entry->IsDeleted(); }
    bool IsAbandoned() const { return m_abandoned; }
    CFileEntry& GetEntry() const;  // after CheckAlive
    // The file entry, for another object opened on the same record.
    std::shared_ptr<CFileEntry> ShareEntry() const;

    void CheckAlive() const;  // "FS object %1 (%2) is deleted"
    // CheckAlive, and refuses an object given up after a failed write.
    void CheckUsable() const;
    // The record has a file-name index.
    bool IsDirectory() const;
    // Records the file system keeps for itself: those below 24, and everything
    // under $Extend.
    bool IsSystemObject() const;
    // Gives up whatever is still unsaved, without a report: the owner of the
    // last reference has already reported why it could not be saved.
    virtual void Abandon() noexcept { m_abandoned = true; }
    // Makes the name `name` in directory `parent` the object's own, when the
    // object has that name (as stored, else ignoring case; a DOS alias stands
    // for its long name).
    void SelectName(FileReference parent, std::u16string_view name);
    // After a rename or an unlink: the object's name is now this one.
    void SetName(FileReference parent, std::u16string name);
    StandardInformation GetAttributesAndTime() const;
    void SetAttributesAndTime(const StandardInformation& info);
    // Saves the entry, its $FILE_NAME and then the parent's index entry
    // brought in line with $STANDARD_INFORMATION and $DATA, once the object
    // has been changed: other implementations leave the copies of unchanged
    // objects behind, and a session that only reads must not write.
    void SaveEntryAndNames();

    // Copies sizes, times and attributes into one $FILE_NAME value; true when
    // anything changed.
    bool RefreshFileName(std::span<uint8_t> fileName, const StandardInformation& info) const;
    // The next SaveEntryAndNames brings every name's copies up to date.
    void MarkChanged() { m_changed = true; }

protected:
    // Removes the name from the parent, deletes the entry, marks the object deleted.
    void DeleteObject();
    std::shared_ptr<CFileEntry> m_entry;

private:
    void TakeName(const CByteReader& fileName);
    std::vector<std::vector<uint8_t>> FileNamesToRemove() const;

    CVolume& m_volume;
    std::u16string m_name;
    FileReference m_reference;
    FileReference m_parentReference;
    bool m_abandoned = false;
    bool m_changed = false;
};

// One named $DATA of a file, as NtfsEnumStreams lists it.
struct SStreamInfo {
    std::u16string name;
    uint64_t size = 0;
    uint64_t allocatedSize = 0;
};

class CFile : public CFsObject {
public:
    CFile(std::shared_ptr<CFileEntry> entry, CVolume& volume);
    CFile(std::shared_ptr<CFileEntry> entry, CVolume& volume, std::span<const uint8_t> fileName)
        : CFsObject(std::move(entry), volume, fileName) {}
    // The object of one named stream of `file`: it shares the file's entry
    // and keeps the file's object alive, so that the record has one entry.
    CFile(const std::shared_ptr<CFile>& file, AttributePtr stream);
    ~CFile() override;  // best-effort flush; logs instead of raising

    static std::shared_ptr<CFile> Open(CVolume& volume, FileReference reference);
    static std::shared_ptr<CFile> OpenByPath(CVolume& volume, std::u16string_view path);
    // The same, but null when a name on a plain path is not there (`missing`
    // names it, see CVolume::FindPath); a stream path raises as OpenByPath.
    static std::shared_ptr<CFile> FindByPath(CVolume& volume, std::u16string_view path,
                                             std::u16string_view& missing);
    static std::shared_ptr<CFile> Create(CVolume& volume, FileReference parent, const std::u16string& name);
    static std::shared_ptr<CFile> CreateByPath(CVolume& volume, std::u16string_view path);

    // A path whose last component names a stream ("file:name", "file:name:$DATA",
    // "file::$DATA") opens or creates that stream; creating a stream of a
    // missing file creates the file first.
    static std::shared_ptr<CFile> OpenStream(const std::shared_ptr<CFile>& file, std::u16string_view name);
    static std::shared_ptr<CFile> CreateStream(const std::shared_ptr<CFile>& file, std::u16string_view name);
    bool IsStream() const { return m_file != nullptr; }
    // The named $DATA attributes of the file, in record order.
    std::vector<SStreamInfo> ListStreams() const;

    uint64_t GetSize() const;
    // Contents are those of the unnamed $DATA, or of the stream; a directory opened as a file
    // has none, and cannot be written or resized.
    void Read(uint64_t offset, void* buffer, uint32_t size) const;
    void Write(uint64_t offset, const void* buffer, uint32_t size);
    void SetSize(uint64_t newSize);
    // Makes the contents sparse (see CAttribute::MakeSparse) and says so in
    // the file's attributes; compressed contents are left as they are.
    void MakeSparse();
    // Makes the range read as zeros (see CAttribute::ZeroRange); it must lie
    // inside the size.
    void ZeroRange(uint64_t offset, uint64_t size);
    // The bytes the contents take on the volume: their clusters less holes
    // and what compression saved (0 while they live in the record).
    uint64_t GetSizeOnDisk() const;
    // The first bytes at or past `offset` that hold data, as [start, end);
    // {size, size} when only holes follow (see CAttribute::DataRangeFrom).
    std::pair<uint64_t, uint64_t> DataRangeFrom(uint64_t offset) const;
    // Refuses directories and system files. On a stream, removes that stream only.
    void Delete();
    // SaveEntryAndNames. Raises; called by close.
    // Does nothing for a deleted or abandoned file.
    void Flush();
    // Flush by the end of the last handle, whose caller holds the only
    // reference and drops it next: the destructor then has nothing to write.
    void FlushForClose() {
        Flush();
        m_flushedForClose = true;
    }
    // After FlushForClose: the volume keeps the file whole for its next open
    // when nothing else holds it or its entry and nothing is left to write.
    static void KeepClosed(std::shared_ptr<CFile> file) noexcept;
    // Taken out of the volume's kept files: a later end writes again.
    void ReturnToUse() noexcept { m_flushedForClose = false; }

private:
    // Opens the file a path names; a file with several names is known by that one.
    static std::shared_ptr<CFile> OpenNamed(CVolume& volume, std::u16string_view path);
    static std::shared_ptr<CFile> OpenNamed(CVolume& volume, std::u16string_view path, FileReference reference);
    static bool NewFilesCompressed(const CFsObject& parent, const StandardInformation& parentInfo);
    void CheckIsFile() const;
    void CheckDataChangeable() const;
    void DeleteStream();
    // "Invalid stream name %1: %2" for a name no new stream may have.
    static void CheckNewStreamName(std::u16string_view name);
    AttributePtr FindStream(std::u16string_view name) const;
    void LeaveEntry() noexcept;
    // What LeaveEntry asks of a closed file's entry.
    bool EntryCanBeKept() const noexcept;

    // The contents: the unnamed $DATA, looked up at its first use (an open
    // that is closed again builds no attribute), or the stream's own.
    const AttributePtr& Data() const {
        if (!m_dataFound) FindData();
        return m_data;
    }
    // Set for a file Windows keeps with its system compression.
    const CSystemCompressedData* SystemCompressed() const {
        Data();
        return m_systemCompressed.get();
    }
    void FindData() const;
    void ReadFound(uint64_t offset, void* buffer, uint32_t size) const;

    mutable AttributePtr m_data;
    mutable std::unique_ptr<CSystemCompressedData> m_systemCompressed;
    mutable bool m_dataFound = false;
    // A stream's file; null for the file itself.
    std::shared_ptr<CFile> m_file;
    // The file's open streams by stored name: one object per stream.
    std::map<std::u16string, std::weak_ptr<CFile>> m_streams;
    bool m_flushFailed = false;
    bool m_flushedForClose = false;
};

}  // namespace volcore
