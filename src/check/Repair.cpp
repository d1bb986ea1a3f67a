#include "check/Repair.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "check/BootCheck.h"
#include "check/MftAccess.h"
#include "check/OverlayDevice.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "volume/Bitmap.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"
#include "objects/Volume.h"
#include "volume/VolumeCore.h"
#include "objects/VolumeSession.h"

namespace volcore::check {
namespace {

// Each round repairs one layer (the mirror, then the bitmaps, then the
// directories) and checks again; what a round uncovers the next one takes.
constexpr uint64_t kRounds = 24;
const std::u16string kFoundDirectory = u"found.000";
const std::u16string kIndexName = u"$I30";

struct SFindings {
    std::vector<SProblem> problems;
    STotals totals;
    uint64_t total = 0;
    SVolumeModel model;
};

SFindings Check(IIoDevice& device) {
    SFindings findings;
    CReport report([&](const SProblem& problem) { findings.problems.push_back(problem); });
    findings.totals = CheckVolume(device, report, findings.model);
    findings.total = report.Total();
    return findings;
}

bool Has(const SFindings& findings, EFix action) {
    return std::any_of(findings.problems.begin(), findings.problems.end(),
                       [&](const SProblem& problem) { return problem.fix.action == action; });
}

// The engine works on the device it is handed for as long as it lives.
std::shared_ptr<IIoDevice> Borrowed(IIoDevice& device) { return std::shared_ptr<IIoDevice>(&device, [](IIoDevice*) {}); }

// The dirty flag through a volume core loaded as far as its MFT: no session
// rules, so the flag is written exactly as asked.
// The records that write needs ($Volume, and $MFT and its mirror for the
// MFT bitmap's size) are always in use: their bits are set first, as the
// engine writes no record its bitmap calls free.
// A hibernated Windows or a $LogFile still to replay forbids every write.
void RefuseReadOnly(IIoDevice& device) {
    CVolume probe(Borrowed(device));
    if (probe.IsReadOnly()) throw CCannotRepair("it must not be written: " + ReasonToStayReadOnly(probe));
}

bool ChangeDirtyFlag(IIoDevice& device, bool dirty) {
    CVolumeCore volume(Borrowed(device));
    volume.LoadMft();
    uint16_t flags = ReadVolumeFlags(volume);
    uint16_t wanted = dirty ? flags | VolumeInformation::FlagDirty : flags & ~VolumeInformation::FlagDirty;
    if (wanted == flags) return (flags & VolumeInformation::FlagDirty) != 0;
    RefuseReadOnly(device);
    CBitmap& records = volume.GetMft().GetBitmap();
    for (uint64_t number : {kMftRecord, kMftMirrRecord, kVolumeRecord}) {
        if (records.Test(number)) continue;
        records.Set(number);
        volume.GetMft().GetMftEntry()->MarkDirty();
    }
    WriteVolumeFlags(volume, wanted);
    volume.FlushTables();
    return (flags & VolumeInformation::FlagDirty) != 0;
}

// Writes `bytes` at byte `offset` of the stream the runs map.
void WriteRuns(IIoDevice& device, const RunMap& runs, uint32_t clusterSize, uint64_t offset,
               std::span<const uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size();) {
        uint64_t position = offset + done, vcn = position / clusterSize;
        auto run = runs.upper_bound(VCN{vcn});
        if (run == runs.begin()) throw CCannotRepair("the mirror's runs do not map its records");
        --run;
        if (vcn - run->first.value >= run->second.length || run->second.lcn == SparseLcn)
            throw CCannotRepair("the mirror's runs do not map its records");
        uint64_t length = std::min<uint64_t>(bytes.size() - done, clusterSize - position % clusterSize);
        uint64_t at = (run->second.lcn + vcn - run->first.value) * clusterSize + position % clusterSize;
        device.Write(at, bytes.data() + done, static_cast<uint32_t>(length));
        done += length;
    }
}

// Copies the first records of $MFT, as stored, over the mirror's.
void CopyMirror(IIoDevice& device) {
    CVolumeReader reader(device);
    CReport ignored(nullptr);
    std::vector<SGeometry> geometries = CheckBootSectors(reader, ignored);
    const SGeometry& geometry = geometries.front();
    reader.SetClusters(geometry.boot.clusterSize, geometry.clusterCount);
    CMftAccess mft(reader, geometry);
    if (!mft.RecordZeroError().empty()) throw CCannotRepair("record 0 of $MFT cannot be used: " + mft.RecordZeroError());
    std::vector<uint8_t> bytes;
    if (std::string error = mft.Read(kMftMirrRecord, bytes); !error.empty())
        throw CCannotRepair("the record of $MFTMirr cannot be read: " + error);
    const SRecord mirror = ParseRecord(bytes, kMftMirrRecord, geometry);
    const SAttribute* data = mirror.Find(AttrType::Data);
    if (!data || !data->nonResident || !data->runsValid) throw CCannotRepair("$MFTMirr has no usable $DATA");
    uint64_t count = std::min<uint64_t>(data->dataSize / mft.RecordSize(), mft.RecordCount());
    for (uint64_t number = 0; number < count; ++number)
        WriteRuns(device, data->runs, geometry.boot.clusterSize, number * mft.RecordSize(), mft.ReadRaw(number));
}

FileReference ReferenceOf(CVolume& volume, uint64_t number) {
    return MakeReference(number, volume.OpenEntry(MakeReference(number, 0))->GetSequenceNumber());
}

// Bits of the MFT bitmap, $Bitmap and the index bitmaps. Marks are safe in
// any order; a record leaves use before its bit is cleared.
class CBitmapRepair {
public:
    CBitmapRepair(IIoDevice& device) : m_volume(Borrowed(device)) {}

    void Run(const std::vector<SProblem>& problems) {
        for (const SProblem& problem : problems) Mark(problem);
        for (const SProblem& problem : problems)
            if (problem.fix.action == EFix::FreeRecord) TakeOutOfUse(problem.record);
        for (const SProblem& problem : problems) Free(problem);
        for (auto& [number, bitmap] : m_indexBitmaps) SaveIndexBitmap(bitmap);
        if (m_mftChanged) m_volume.GetMft().GetMftEntry()->MarkDirty();
        m_volume.Flush();
    }

private:
    CBitmap& ClusterBitmap() {
        auto* allocator = dynamic_cast<CClusterAllocator*>(m_volume.GetClusterAllocator());
        if (!allocator) throw CCannotRepair("the cluster allocator is not loaded");
        return allocator->GetBitmap();
    }

    // The directory's entry stays with its bitmap: a resident bitmap changes
    // that entry's copy of the record.
    struct SIndexBitmap {
        FileEntryPtr entry;
        std::unique_ptr<CBitmap> bits;
    };

    CBitmap& IndexBitmap(uint64_t directory) {
        auto found = m_indexBitmaps.find(directory);
        if (found != m_indexBitmaps.end()) return *found->second.bits;
        FileEntryPtr entry = m_volume.OpenEntry(MakeReference(directory, 0));
        auto bits = std::make_unique<CBitmap>(entry->GetAttribute(AttrType::Bitmap, kIndexName));
        return *m_indexBitmaps.emplace(directory, SIndexBitmap{entry, std::move(bits)}).first->second.bits;
    }

    static void SaveIndexBitmap(SIndexBitmap& bitmap) {
        bitmap.bits->Flush();
        bitmap.entry->MarkDirty();
        bitmap.entry->Save();
    }

    void Mark(const SProblem& problem) {
        const SFix& fix = problem.fix;
        if (fix.action == EFix::MarkRecord) {
            m_volume.GetMft().GetBitmap().Set(problem.record);
            m_mftChanged = true;
        } else if (fix.action == EFix::MarkClusters) {
            ClusterBitmap().SetRange(fix.first, fix.count);
        } else if (fix.action == EFix::MarkIndexBlock) {
            IndexBitmap(problem.record).Set(fix.first);
        }
    }

    // An extension record whose file is gone is still marked in use in its
    // header: that goes first, written while its bit still says in use.
    void TakeOutOfUse(uint64_t number) {
        if (number >= m_volume.GetMft().GetRecordCount()) return;  // only its bit is left
        MftRecBufferPtr record = m_volume.ReadMftRecord(MakeReference(number, 0));
        const SFileRecordHeader header = ReadFileRecordHeader(record->bytes);
        if (!header.IsInUse()) return;
        CBitmap& bitmap = m_volume.GetMft().GetBitmap();
        if (!bitmap.Test(number)) bitmap.Set(number);
        CByteWriter(record->bytes).U16(FileRecord::Flags, header.flags & ~FileRecord::FlagInUse);
        m_volume.WriteMftRecord(MakeReference(number, 0), record);
    }

    void Free(const SProblem& problem) {
        const SFix& fix = problem.fix;
        if (fix.action == EFix::FreeRecord) {
            m_volume.GetMft().GetBitmap().Clear(problem.record);
            m_mftChanged = true;
        } else if (fix.action == EFix::FreeClusters) {
            ClusterBitmap().ClearRange(fix.first, fix.count);
        } else if (fix.action == EFix::FreeIndexBlock) {
            IndexBitmap(problem.record).Clear(fix.first);
        }
    }

    CVolume m_volume;
    std::map<uint64_t, SIndexBitmap> m_indexBitmaps;
    bool m_mftChanged = false;
};

// Directory entries: entries that name no record holding their name
// dropped, indexes out of order or shape built again from the names that
// point into them, stale size copies refreshed, names missing from their
// directory entered, records no directory lists linked again, into the
// directory their name gives when it is reachable and the name is free there,
// else into found.000 at the root. A record is written before the entry that
// names it; every index goes through the engine's save, which commits a
// changed tree with one write.
class CDirectoryRepair {
public:
    CDirectoryRepair(IIoDevice& device, const SVolumeModel& model) : m_volume(Borrowed(device)), m_model(model) {}

    void Run(const std::vector<SProblem>& problems) {
        std::set<uint64_t> rebuilt;
        for (const SProblem& problem : problems) {
            if (problem.code == ECode::RecordOrphaned) m_orphans.insert(problem.record);
            if (problem.fix.action == EFix::RebuildIndex) rebuilt.insert(problem.record);
        }
        for (uint64_t directory : rebuilt) Rebuild(directory);
        for (const SProblem& problem : problems) {
            if (rebuilt.count(problem.record)) continue;
            if (problem.fix.action == EFix::DropEntry) Drop(problem.record, problem.fix);
            if (problem.fix.action == EFix::RefreshEntry) Refresh(problem.record, problem.fix);
        }
        for (const SProblem& problem : problems) {
            if (problem.fix.action == EFix::Relink && !m_entered.count(problem.record)) Relink(problem.record);
            if (problem.fix.action == EFix::AddName) AddName(problem.record, problem.fix);
        }
        m_volume.Flush();
    }

private:
    // The sizes its entries must carry, from its unnamed $DATA.
    static void CopySizes(const CFileEntry& entry, SIndexEntryValue& value) {
        AttributePtr data = entry.FindAttribute(AttrType::Data);
        if (!data || (entry.GetFlags() & FileRecord::FlagDirectory)) return;
        value.allocatedSize = data->GetSizeOnDisk();
        value.dataSize = data->GetSize();
    }

    void Refresh(uint64_t directory, const SFix& fix) {
        std::shared_ptr<CDirectory> parent = CDirectory::Open(m_volume, ReferenceOf(m_volume, directory));
        SIndexEntryValue value;
        if (!parent->GetIndex().FindEntry(fix.name, value)) return;
        CopySizes(*m_volume.OpenEntry(MakeReference(fix.first, 0)), value);
        parent->GetIndex().UpdateEntry(fix.name, value);
    }

    // Only the entry the check judged goes: a twin of its name that points
    // elsewhere stays.
    void Drop(uint64_t directory, const SFix& fix) {
        std::shared_ptr<CDirectory> parent = CDirectory::Open(m_volume, ReferenceOf(m_volume, directory));
        SIndexEntryValue value;
        if (!parent->GetIndex().FindEntry(fix.name, value)) return;
        if (value.fileReference != fix.first)
            throw CCannotRepair(FormatText("directory %1 holds two entries for one name", directory));
        parent->GetIndex().RemoveEntry(fix.name);
    }

    // Every name of a record in use whose parent is this very directory (same
    // sequence number) becomes an entry; of two equal names the first stays
    // and the other record is left to be linked elsewhere.
    void Rebuild(uint64_t directory) {
        const FileReference reference = ReferenceOf(m_volume, directory);
        std::shared_ptr<CDirectory> rebuilt = CDirectory::Open(m_volume, reference);
        CIndex& index = rebuilt->GetIndex();
        index.RemoveAll();
        for (const auto& [number, state] : m_model.files) {
            if (state.damaged) continue;
            for (const SName& name : state.names) {
                if (name.parent != reference) continue;
                FileEntryPtr entry = m_volume.OpenEntry(MakeReference(number, 0));
                const std::vector<uint8_t> value = NameValue(*entry, reference, name.name);
                CIndex::SInsertPosition position;
                try {
                    position = index.FindInsertPosition(name.name, true);
                } catch (const CException&) {
                    continue;  // taken: the record shows up as an orphan or a missing name next round
                }
                index.Insert(position, name.name, EntryValue(*entry, value));
                m_entered.insert(number);
            }
        }
    }

    // The $FILE_NAME value of the entry's name `name` under `parent`.
    std::vector<uint8_t> NameValue(const CFileEntry& entry, FileReference parent, const std::u16string& name) {
        for (std::vector<uint8_t>& value : Names(entry))
            if (CByteReader(value).U64(FileNameValue::ParentReference) == parent && NameOf(value) == name)
                return std::move(value);
        throw CCannotRepair(FormatText("record %1 lost its name %2", RecordNumber(entry.GetReference()), name));
    }

    static SIndexEntryValue EntryValue(const CFileEntry& entry, const std::vector<uint8_t>& name) {
        SIndexEntryValue value =
            MakeIndexEntryValue(MakeReference(RecordNumber(entry.GetReference()), entry.GetSequenceNumber()), name);
        CopySizes(entry, value);
        return value;
    }

    // A name the record holds but its directory does not list, as a link or
    // a move cut half-way leaves it.
    void AddName(uint64_t number, const SFix& fix) {
        FileEntryPtr entry = m_volume.OpenEntry(MakeReference(number, 0));
        for (const std::vector<uint8_t>& name : Names(*entry)) {
            FileReference parent = CByteReader(name).U64(FileNameValue::ParentReference);
            if (RecordNumber(parent) != fix.first || NameOf(name) != fix.name) continue;
            std::shared_ptr<CDirectory> directory = NamedParent(parent, number);
            SIndexEntryValue present;
            if (directory && directory->GetIndex().FindEntry(fix.name, present)) {
                if (RecordNumber(present.fileReference) == number) return;
                directory = nullptr;
            }
            if (!directory)
                throw CCannotRepair(FormatText("the name %1 of record %2 cannot go back into directory %3", fix.name,
                                               number, fix.first));
            directory->GetIndex().AddEntry(fix.name, EntryValue(*entry, name));
            return;
        }
    }

    std::vector<std::vector<uint8_t>> Names(const CFileEntry& entry) {
        std::vector<std::vector<uint8_t>> names;
        for (const AttributePtr& attribute : entry.FindAttributes(AttrType::FileName)) {
            if (attribute->IsNonResident()) throw CCannotRepair("a $FILE_NAME is non-resident");
            names.push_back(attribute->ReadAll());
        }
        if (names.empty()) throw CCannotRepair(FormatText("record %1 has no name to list it by", RecordNumber(entry.GetReference())));
        return names;
    }

    static std::u16string NameOf(const std::vector<uint8_t>& value) {
        CByteReader reader(value);
        return reader.Utf16(FileNameValue::Name, reader.U8(FileNameValue::NameLength));
    }

    // The directory a name gives as its parent, when it is in use with that
    // sequence number and the root reaches it.
    std::shared_ptr<CDirectory> NamedParent(FileReference parent, uint64_t number) {
        uint64_t record = RecordNumber(parent);
        if (record == number || m_orphans.count(record)) return nullptr;
        try {
            FileEntryPtr entry = m_volume.OpenEntry(parent);
            if (!entry->FindAttribute(AttrType::IndexRoot, kIndexName) || SequenceNumber(parent) == 0) return nullptr;
            return CDirectory::Open(m_volume, parent);
        } catch (const CException&) {
            return nullptr;
        }
    }

    bool AllFree(CDirectory& directory, const std::vector<std::vector<uint8_t>>& names) {
        SIndexEntryValue ignored;
        for (const std::vector<uint8_t>& name : names)
            if (directory.GetIndex().FindEntry(NameOf(name), ignored)) return false;
        return true;
    }

    void Relink(uint64_t number) {
        FileEntryPtr entry = m_volume.OpenEntry(MakeReference(number, 0));
        FileReference reference = MakeReference(number, entry->GetSequenceNumber());
        std::vector<std::vector<uint8_t>> names = Names(*entry);
        FileReference parent = CByteReader(names.front()).U64(FileNameValue::ParentReference);
        for (const std::vector<uint8_t>& name : names)
            if (CByteReader(name).U64(FileNameValue::ParentReference) != parent)
                throw CCannotRepair(FormatText("record %1 has names in several directories", number));
        std::shared_ptr<CDirectory> directory = NamedParent(parent, number);
        if (!directory || !AllFree(*directory, names)) {
            directory = FoundDirectory();
            MoveNames(*entry, names, *directory);
        }
        for (const std::vector<uint8_t>& name : names) {
            SIndexEntryValue value = MakeIndexEntryValue(reference, name);
            CopySizes(*entry, value);
            directory->GetIndex().AddEntry(NameOf(name), value);
        }
    }

    std::shared_ptr<CDirectory> FoundDirectory() {
        std::shared_ptr<CDirectory> root = m_volume.GetRoot();
        SIndexEntryValue value;
        if (!root->GetIndex().FindEntry(kFoundDirectory, value))
            return CDirectory::Create(m_volume, root->GetReference(), kFoundDirectory);
        if (!(value.fileAttributes & kFileAttributeDirectoryIndex))
            throw CCannotRepair("the root holds a found.000 that is no directory");
        return CDirectory::Open(m_volume, value.fileReference);
    }

    // The record's names move to found.000 before any entry there names it;
    // a lone name already taken there gets the record number added.
    void MoveNames(CFileEntry& entry, std::vector<std::vector<uint8_t>>& names, CDirectory& found) {
        const uint64_t number = RecordNumber(entry.GetReference());
        if (!AllFree(found, names)) {
            if (names.size() != 1) throw CCannotRepair(FormatText("the names of record %1 are taken in found.000", number));
            names.front() = Renamed(names.front(), number);
            if (!AllFree(found, names)) throw CCannotRepair(FormatText("no free name in found.000 for record %1", number));
        }
        std::vector<AttributePtr> attributes = entry.FindAttributes(AttrType::FileName);
        for (size_t i = 0; i < names.size(); ++i) {
            CByteWriter(names[i]).U64(FileNameValue::ParentReference, found.GetReference());
            attributes[i]->SetSize(names[i].size());
            attributes[i]->WriteData(0, names[i].data(), static_cast<uint32_t>(names[i].size()));
        }
        entry.MarkDirty();
        entry.Save();
    }

    static std::vector<uint8_t> Renamed(const std::vector<uint8_t>& value, uint64_t number) {
        std::u16string name = NameOf(value);
        std::string suffix = "." + std::to_string(number);
        name = name.substr(0, IndexEntry::LongestNameUnits - suffix.size()) + std::u16string(suffix.begin(), suffix.end());
        std::vector<uint8_t> renamed(FileNameValue::Name + 2 * name.size(), 0);
        std::copy(value.begin(), value.begin() + FileNameValue::Name, renamed.begin());
        CByteWriter writer(renamed);
        writer.U8(FileNameValue::NameLength, static_cast<uint8_t>(name.size()));
        writer.U8(FileNameValue::NameSpace, FileNameValue::NameSpacePosix);
        for (size_t i = 0; i < name.size(); ++i) writer.U16(FileNameValue::Name + 2 * i, name[i]);
        return renamed;
    }

    CVolume m_volume;
    const SVolumeModel& m_model;
    std::set<uint64_t> m_orphans;
    std::set<uint64_t> m_entered;  // by a rebuilt index: no longer orphans
};

bool IsBitmapFix(EFix action) {
    return action == EFix::MarkRecord || action == EFix::FreeRecord || action == EFix::MarkClusters ||
           action == EFix::FreeClusters || action == EFix::MarkIndexBlock || action == EFix::FreeIndexBlock;
}

void RefuseUnknown(const SFindings& findings) {
    if (!findings.totals.complete) throw CCannotRepair("the check could not examine the whole volume");
    for (const SProblem& problem : findings.problems)
        if (problem.fix.action == EFix::None) throw CCannotRepair("no repair is known for: " + problem.message);
}

// One layer per round; returns false once the volume is clean.
bool RepairRound(IIoDevice& device, const SFindings& findings) {
    if (Has(findings, EFix::CopyMirror)) {
        CopyMirror(device);
        return true;
    }
    ChangeDirtyFlag(device, true);
    bool bitmaps = std::any_of(findings.problems.begin(), findings.problems.end(),
                               [](const SProblem& problem) { return IsBitmapFix(problem.fix.action); });
    if (bitmaps) CBitmapRepair(device).Run(findings.problems);
    else CDirectoryRepair(device, findings.model).Run(findings.problems);
    return true;
}

// A round sees the first problems the check hands out only: a volume with
// more gets a round more for each batch.
void RepairOn(IIoDevice& device, const std::function<void(const SProblem&)>& found) {
    uint64_t rounds = kRounds;
    for (uint64_t round = 0; round < rounds; ++round) {
        SFindings findings = Check(device);
        RefuseUnknown(findings);
        if (round == 0) rounds += findings.total / CReport::kDeliveredLimit;
        if (round == 0 && found)
            for (const SProblem& problem : findings.problems) found(problem);
        if (findings.total == 0) {
            ChangeDirtyFlag(device, false);
            return;
        }
        RepairRound(device, findings);
    }
    throw CCannotRepair(FormatText("problems remain after %1 rounds of repair", rounds));
}

}  // namespace

void RepairVolume(IIoDevice& device, const std::function<void(const SProblem&)>& found) {
    COverlayDevice trial(device);
    try {
        RepairOn(trial, found);
    } catch (const CCannotRepair&) {
        throw;
    } catch (const CCannotCheck&) {
        throw;
    } catch (const std::exception& e) {
        throw CCannotRepair(e.what());
    }
    trial.Replay(device);
}

}  // namespace volcore::check
