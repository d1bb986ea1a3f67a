#pragma once
// The master file table: records by reference, with fixups and mirroring; free
// records through the MFT bitmap; growth; the load-time mirror check.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "disk/MftRecBuffer.h"
#include "disk/Types.h"

namespace volcore {

class CAttribute;
class CBitmap;
class CFileEntry;
class IVolumeServices;

class CMft {
public:
    CMft(uint32_t recordSize, uint32_t mirrorRecordCount, IVolumeServices& volume);
    // Reads record 0 straight from the device, checks it and loads the system
    // entries, from the first look at record 0 to loading $MFTMirr. The
    // volume must already route record reads here: they load through the MFT.
    void Load();
    ~CMft();

    MftRecBufferPtr ReadRecord(FileReference reference);
    void WriteRecord(FileReference reference, const MftRecBufferPtr& buffer);
    // Reserves a free record (from 25 on) and returns its record number.
    uint64_t AllocateRecord();
    // The sequence number the record's stored header carries (0 for no FILE
    // header). The search that found the record just read that header: for
    // the record the last allocation handed out, the number it saw serves
    // once, as long as nothing wrote or freed the record since.
    uint16_t StoredSequenceNumber(uint64_t recordNumber);
    // Reserves one of records 16 to 23, kept for $MFT's own extension
    // records: readers reach those through the first extent of $MFT's data,
    // which maps them, where a record further on could be reached only
    // through the extents it holds. Raises when all of them are taken.
    uint64_t AllocateReservedRecord();
    void FreeRecord(FileReference reference);
    void Extend(uint32_t count);
    // Adds records when every one is taken.
    void ExtendWhenFull();
    // Adds at least `needed` records.
    void GrowBy(uint64_t needed);
    void CompareMirror();
    void Flush();
    // Writes the bitmap's changes only, not the $MFT record.
    void FlushBitmap();

    CBitmap& GetBitmap() const;
    std::shared_ptr<CFileEntry> GetMftEntry() const { return m_mftEntry; }
    std::shared_ptr<CFileEntry> GetMirrorEntry() const { return m_mirrorEntry; }
    std::shared_ptr<CAttribute> GetMftData();
    uint64_t GetRecordCount();  // data size / record size
    uint32_t GetRecordSize() const { return m_recordSize; }

private:
    void LoadSystemEntries(const MftRecBufferPtr& recordZero);
    std::shared_ptr<CAttribute> DataOfRecordZero(const MftRecBufferPtr& recordZero);
    void CheckRecordExists(uint64_t recordNumber);
    uint64_t FindFreeRecord();
    bool RecordSaysInUse(uint64_t recordNumber);
    std::shared_ptr<CAttribute> GetMirrorData();
    void SaveMftEntry();
    uint64_t NextGrowthStep();

    uint32_t m_recordSize;
    uint32_t m_mirrorRecordCount;
    IVolumeServices& m_volume;
    std::unique_ptr<CBitmap> m_bitmap;
    std::shared_ptr<CFileEntry> m_mftEntry;
    std::shared_ptr<CFileEntry> m_mirrorEntry;
    std::shared_ptr<CAttribute> m_mftData;
    bool m_savingMftEntry = false;
    // Where the search for a free record starts.
    uint64_t m_firstMaybeFree = 0;
    // The bitmap's clear generation when a search from the first allocatable
    // record last found every record taken.
    uint64_t m_fullAtGeneration = ~uint64_t{0};
    std::vector<uint8_t> m_formatted;  // empty records, a batch of them, for growths
    uint64_t m_growthStep = 0;         // records the next growth adds (0: the first of the session)
    struct SSeenSequence {
        uint64_t record = 0;
        uint16_t sequence = 0;
    };
    std::optional<SSeenSequence> m_seen;       // by the last header RecordSaysInUse read
    std::optional<SSeenSequence> m_handedOut;  // that of the record AllocateRecord returned last
};

}  // namespace volcore
