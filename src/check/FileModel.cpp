#include "check/FileModel.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "check/MftAccess.h"
#include "disk/RecordFormat.h"

namespace volcore::check {
namespace {

// Far more than any file needs: some 130,000 entries.
constexpr uint64_t kLargestAttributeList = 4u << 20;

using AttributeSite = std::tuple<uint64_t, uint32_t, std::u16string, uint16_t>;  // record, type, name, instance

class CFileLoader {
public:
    CFileLoader(SFile& file, const CMftAccess& mft, const CVolumeReader& reader, const SGeometry& geometry,
                SReadBudget& budget)
        : m_file(file), m_mft(mft), m_reader(reader), m_geometry(geometry), m_budget(budget) {}

    void Run() {
        const SAttribute* list = m_file.base.Find(AttrType::AttributeList);
        if (!list) return;
        try {
            m_file.list = ParseAttributeList(ListValue(*list));
        } catch (const CException& e) {
            return Problem("%1", e.what());
        }
        for (const SListEntry& entry : m_file.list) LoadExtension(entry.reference);
        MatchEntries();
        FindUnlisted();
    }

private:
    template <typename... Args>
    void Problem(std::string_view format, const Args&... args) {
        m_file.problems.push_back(SProblem{ECode::AttributeList, m_file.Number(),
                                           "Record " + std::to_string(m_file.Number()) + ": attribute list: " +
                                               FormatText(format, args...)});
    }

    std::vector<uint8_t> ListValue(const SAttribute& list) {
        if (!list.nonResident) return list.value;
        if (!list.runsValid) throw CException(EErrorKind::Corrupt, "its runs are corrupt");
        uint64_t size = std::min(list.dataSize, kLargestAttributeList);
        if (size > m_budget.listBytes)
            throw CException(EErrorKind::Corrupt, "left unread, the lists read so far fill the volume");
        m_budget.listBytes -= size;
        SStream stream;
        stream.runs = list.runs;
        stream.dataSize = size;
        stream.initializedSize = list.initializedSize;
        return ReadStreamBytes(stream, m_reader, size);
    }

    void LoadExtension(FileReference reference) {
        uint64_t number = RecordNumber(reference);
        if (number == m_file.Number() || !m_tried.insert(number).second) return;
        if (m_budget.extensionRecords == 0)
            return Problem("record %1 left unread, the lists read so far name more records than the MFT has", number);
        --m_budget.extensionRecords;
        std::vector<uint8_t> bytes;
        std::string error = m_mft.Read(number, bytes);
        if (!error.empty()) return Problem("record %1 cannot be read: %2", number, error);
        if (!IsInUse(bytes)) return Problem("record %1 is not in use", number);
        SRecord extension = ParseRecord(bytes, number, m_geometry);
        if (extension.baseReference != m_file.base.Reference())
            return Problem("record %1 has base reference %2", number, Hex(extension.baseReference));
        if (extension.sequence != SequenceNumber(reference))
            return Problem("record %1 has sequence number %2, the list says %3", number, extension.sequence,
                           SequenceNumber(reference));
        m_file.extensions.push_back(std::move(extension));
    }

    const SRecord* Loaded(uint64_t number) const {
        if (number == m_file.Number()) return &m_file.base;
        for (const SRecord& record : m_file.extensions)
            if (record.number == number) return &record;
        return nullptr;
    }

    void MatchEntries() {
        for (const SListEntry& entry : m_file.list) {
            const SRecord* record = Loaded(RecordNumber(entry.reference));
            if (!record) continue;  // reported when it was loaded
            m_listed.emplace(record->number, entry.type, entry.name, entry.instance);
            auto match = std::find_if(record->attributes.begin(), record->attributes.end(), [&](const SAttribute& a) {
                return a.type == entry.type && a.name == entry.name && a.instance == entry.instance;
            });
            std::string label = AttributeLabel(entry.type, entry.name);
            if (match == record->attributes.end())
                Problem("%1 (instance %2) is not in record %3", label, entry.instance, record->number);
            else if (match->lowestVcn != entry.lowestVcn)
                Problem("%1 in record %2 starts at VCN %3, the list says %4", label, record->number,
                        match->lowestVcn, entry.lowestVcn);
        }
    }

    void FindUnlisted() {
        auto check = [&](const SRecord& record) {
            for (const SAttribute& attribute : record.attributes) {
                if (attribute.type == AttrType::AttributeList) continue;
                if (!m_listed.count({record.number, attribute.type, attribute.name, attribute.instance}))
                    Problem("%1 in record %2 is not listed", AttributeLabel(attribute.type, attribute.name),
                            record.number);
            }
        };
        check(m_file.base);
        for (const SRecord& record : m_file.extensions) check(record);
    }

    SFile& m_file;
    const CMftAccess& m_mft;
    const CVolumeReader& m_reader;
    const SGeometry& m_geometry;
    SReadBudget& m_budget;
    std::set<uint64_t> m_tried;
    std::set<AttributeSite> m_listed;
};

// How the extents, in VCN order, fail to cover VCN 0 to the allocated size.
std::string ChainError(const std::vector<const SAttribute*>& extents, uint32_t clusterSize) {
    uint64_t next = 0;
    for (const SAttribute* extent : extents) {
        if (!extent->nonResident) return "resident and non-resident parts";
        if (extent->lowestVcn != next)
            return FormatText("an extent starts at VCN %1 where VCN %2 was due", extent->lowestVcn, next);
        next = extent->highestVcn + 1;
        if (extent->runs.empty() && extent->lowestVcn == 0 && extent->highestVcn == 0) next = 0;
    }
    uint64_t allocated = extents.front()->allocatedSize;
    if (next != allocated / clusterSize)
        return FormatText("its runs end at VCN %1, but its allocated size %2 needs %3 clusters", next, allocated,
                          allocated / clusterSize);
    return {};
}

}  // namespace

std::vector<const SAttribute*> SFile::Attributes() const {
    std::vector<const SAttribute*> all;
    for (const SAttribute& attribute : base.attributes) all.push_back(&attribute);
    for (const SRecord& record : extensions)
        for (const SAttribute& attribute : record.attributes) all.push_back(&attribute);
    return all;
}

std::vector<const SAttribute*> SFile::Extents(uint32_t type, std::u16string_view name) const {
    std::vector<const SAttribute*> extents;
    for (const SAttribute* attribute : Attributes())
        if (attribute->type == type && attribute->name == name) extents.push_back(attribute);
    std::stable_sort(extents.begin(), extents.end(),
                     [](const SAttribute* a, const SAttribute* b) { return a->lowestVcn < b->lowestVcn; });
    return extents;
}

std::optional<SStream> SFile::Stream(uint32_t type, std::u16string_view name, uint32_t clusterSize) const {
    std::vector<const SAttribute*> extents = Extents(type, name);
    if (extents.empty()) return std::nullopt;
    SStream stream;
    const SAttribute& first = *extents.front();
    if (!first.nonResident) {
        stream.resident = true;
        stream.value = first.value;
        if (extents.size() > 1) stream.chainError = "more than one occurrence";
        return stream;
    }
    stream.allocatedSize = first.allocatedSize;
    stream.dataSize = first.dataSize;
    stream.initializedSize = first.initializedSize;
    stream.flags = first.flags;
    stream.compressedSize = first.compressedSize;
    stream.compressionUnit = first.compressionUnit;
    stream.chainError = ChainError(extents, clusterSize);
    for (const SAttribute* extent : extents)
        if (extent->runsValid) stream.runs.insert(extent->runs.begin(), extent->runs.end());
    return stream;
}

SFile LoadFile(SRecord base, const CMftAccess& mft, const CVolumeReader& reader, const SGeometry& geometry,
               SReadBudget& budget) {
    SFile file;
    file.base = std::move(base);
    CFileLoader(file, mft, reader, geometry, budget).Run();
    return file;
}

std::vector<uint8_t> ReadStreamBytes(const SStream& stream, const CVolumeReader& reader, uint64_t limit) {
    uint64_t size = std::min(stream.Size(), limit);
    if (stream.resident) return std::vector<uint8_t>(stream.value.begin(), stream.value.begin() + size);
    std::vector<uint8_t> bytes(size);
    ReadStreamAt(stream, reader, 0, bytes);
    return bytes;
}

void ReadStreamAt(const SStream& stream, const CVolumeReader& reader, uint64_t offset, std::span<uint8_t> out) {
    uint64_t valid = offset < stream.initializedSize ? std::min<uint64_t>(out.size(), stream.initializedSize - offset) : 0;
    if (valid != 0) reader.ReadRuns(stream.runs, offset, out.first(valid));
    std::fill(out.begin() + valid, out.end(), 0);
}

}  // namespace volcore::check
