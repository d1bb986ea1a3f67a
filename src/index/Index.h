#pragma once
// A directory's $I30 index: loaded whole into an ordered map, rebuilt whole on
// save, either inside the root (small form) or as a chain of INDX blocks.
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "entries/Attribute.h"
#include "index/UpCase.h"
#include "volume/Types.h"

namespace volcore {

class CBitmap;
class CFileEntry;

struct SIndexEntryValue {
    uint64_t fileReference = 0;
    uint64_t parentReference = 0;
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint64_t mftChangeTime = 0;
    uint64_t accessTime = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint32_t fileAttributes = 0;
    uint32_t eaSizeOrReparseTag = 0;
    uint8_t nameSpace = 0;
};

// Fills a value from a file reference and a $FILE_NAME value.
SIndexEntryValue MakeIndexEntryValue(FileReference reference, std::span<const uint8_t> fileName);

using IndexEntryMap = std::map<std::u16string, SIndexEntryValue, FileNameLess>;

class CIndex {
public:
    // Opens the existing index `name` of the entry and loads it.
    CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase);
    // A new, empty, dirty index; the caller has created its (empty) $INDEX_ROOT.
    CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase, uint32_t blockSize,
           uint8_t clustersPerBlock);
    ~CIndex();  // a dirty index is reported, never raised from here
    CIndex(const CIndex&) = delete;
    CIndex& operator=(const CIndex&) = delete;

    bool FindEntry(std::u16string_view name, SIndexEntryValue& value) const;
    const SIndexEntryValue& GetEntry(std::u16string_view name) const;
    void AddEntry(const std::u16string& name, const SIndexEntryValue& value);
    void UpdateEntry(std::u16string_view name, const SIndexEntryValue& value);
    void RemoveEntry(std::u16string_view name);
    const IndexEntryMap& GetEntries() const { return m_entries; }

    uint32_t GetBlockSize() const { return m_blockSize; }
    uint8_t GetClustersPerBlock() const { return m_clustersPerBlock; }
    bool IsDirty() const { return m_dirty; }
    bool IsLarge() const { return m_allocation != nullptr; }
    // Forget unsaved changes (the directory is being deleted).
    void DiscardChanges() { m_dirty = false; }

    void Save();

private:
    uint64_t OwnerRecord() const;
    uint16_t BlockUsaCount() const;
    void CheckBlockSize(const char* corruptFormat) const;
    void Load();
    void LoadBlock(uint64_t blockIndex, std::vector<uint8_t>& block);
    void ReadEntries(const CByteReader& buffer, size_t position);
    bool RootFits(uint32_t rootSize) const;
    bool SaveToRoot();
    void CreateAllocation();
    void WriteLargeRoot();
    uint64_t BlockVcn(uint64_t blockIndex) const;
    std::vector<uint8_t> BuildBlockChain() const;
    void SaveToBlocks();
    void ReturnToSmallForm();

    const UpCaseTable* m_upcase;
    std::u16string m_name;
    std::shared_ptr<CFileEntry> m_entry;
    AttributePtr m_root;
    AttributePtr m_allocation;
    std::unique_ptr<CBitmap> m_blockBitmap;
    IndexEntryMap m_entries;
    uint32_t m_blockSize = 0;
    uint8_t m_clustersPerBlock = 0;
    bool m_dirty = false;
};

}  // namespace volcore
