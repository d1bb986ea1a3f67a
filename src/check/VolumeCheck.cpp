#include "check/VolumeCheck.h"

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <span>

#include "check/BootCheck.h"
#include "check/ClusterMap.h"
#include "check/IndexWalk.h"
#include "check/MftAccess.h"
#include "check/NameCheck.h"
#include "check/RecordScan.h"
#include "disk/RecordFormat.h"
#include "disk/UpCase.h"

namespace volcore::check {
namespace {

// An upcase table maps 16-bit units: 64 Ki entries at most.
constexpr uint64_t kLargestUpCase = 0x10000 * 2;
// Bitmaps are kept in 8-byte steps and may run a little ahead.
constexpr uint64_t kBitmapSlack = 4096;

class CVolumeCheck {
public:
    CVolumeCheck(IIoDevice& device, CReport& report) : m_reader(device), m_report(report) {}

    STotals Run() {
        if (!FindMft()) return m_totals;
        m_totals.mftRecords = m_mft->RecordCount();
        m_totals.clusters = m_geometry.clusterCount;
        CheckMftData();
        std::vector<uint8_t> mftBitmap = ReadMftBitmap();
        CheckMirror();
        CClusterMap clusters(m_geometry.clusterCount);
        CRecordScan(m_reader, m_geometry, *m_mft, m_report, clusters, m_model).Run(mftBitmap);
        m_totals.recordsInUse = m_model.recordsInUse;
        clusters.ReportCrossLinks(m_report);
        CompareClusterBitmap(clusters);
        WalkIndexes();
        m_totals.complete = true;
        return m_totals;
    }

    SVolumeModel TakeModel() { return std::move(m_model); }

private:
    bool FindMft() {
        std::vector<SGeometry> candidates = CheckBootSectors(m_reader, m_report);
        std::string firstError;
        for (const SGeometry& geometry : candidates) {
            m_reader.SetClusters(geometry.boot.clusterSize, geometry.clusterCount);
            try {
                m_mft = std::make_unique<CMftAccess>(m_reader, geometry);
                m_geometry = geometry;
                return true;
            } catch (const CException& e) {
                if (firstError.empty()) firstError = e.what();
            }
        }
        m_report.Add(ECode::Mft, 0, "MFT: %1", firstError);
        return false;
    }

    void CheckMftData() {
        if (!m_mft->RecordZeroError().empty())
            m_report.Add(ECode::Mft, 0, "MFT: record 0 cannot be used (%1); the mirror's copy can",
                         m_mft->RecordZeroError());
        const SStream& data = m_mft->Data();
        if (data.runs.empty() || data.runs.begin()->second.lcn != m_geometry.boot.mftLcn)
            m_report.Add(ECode::Mft, 0, "MFT: $DATA does not start at MFT cluster %1", m_geometry.boot.mftLcn);
        if (data.dataSize > m_mft->MappedBytes())
            m_report.Add(ECode::Mft, 0, "MFT: data size %1 exceeds the %2 bytes its runs map", data.dataSize,
                         m_mft->MappedBytes());
    }

    std::vector<uint8_t> ReadMftBitmap() {
        auto stream = m_mft->File().Stream(AttrType::Bitmap, u"", m_geometry.boot.clusterSize);
        uint64_t needed = (m_mft->RecordCount() + 7) / 8;
        try {
            if (!stream) throw CException(EErrorKind::Corrupt, "there is no $BITMAP");
            std::vector<uint8_t> bytes = ReadStreamBytes(*stream, m_reader, needed + kBitmapSlack);
            if (bytes.size() < needed)
                m_report.Add(ECode::Mft, 0, "MFT: its bitmap covers %1 of %2 records", bytes.size() * 8,
                             m_mft->RecordCount());
            return bytes;
        } catch (const CException& e) {
            m_report.Add(ECode::Mft, 0, "MFT: its bitmap cannot be read: %1", e.what());
            return {};
        }
    }

    void CheckMirror();
    void CompareClusterBitmap(CClusterMap& clusters);
    void CheckBitsPastTheEnd(std::span<const uint8_t> bitmap);
    std::optional<UpCaseTable> LoadUpCase();
    void WalkIndexes();

    CVolumeReader m_reader;
    CReport& m_report;
    SGeometry m_geometry;
    std::unique_ptr<CMftAccess> m_mft;
    SVolumeModel m_model;
    STotals m_totals;
};

// The mirror holds the first records of $MFT, at the cluster the boot sector
// names; each must equal its original as far as the original is in use.
void CVolumeCheck::CheckMirror() {
    std::vector<uint8_t> record;
    std::string error = m_mft->Read(kMftMirrRecord, record);
    std::optional<SStream> data;
    if (error.empty()) {
        SRecord mirror = ParseRecord(record, kMftMirrRecord, m_geometry);
        if (auto found = mirror.Find(AttrType::Data); found && found->nonResident && found->runsValid) {
            data = SStream{};
            data->runs = found->runs;
            data->dataSize = found->dataSize;
            data->initializedSize = found->initializedSize;
        }
    }
    if (!data || data->runs.empty())
        return m_report.Add(ECode::MftMirror, kMftMirrRecord, "MFT mirror: record 1 has no usable $DATA%1",
                            error.empty() ? std::string() : ": " + error);
    if (data->runs.begin()->second.lcn != m_geometry.boot.mftMirrorLcn)
        m_report.Add(ECode::MftMirror, kMftMirrRecord, "MFT mirror: $DATA does not start at cluster %1",
                     m_geometry.boot.mftMirrorLcn);
    const uint32_t size = m_mft->RecordSize();
    uint64_t count = std::min<uint64_t>(data->dataSize / size, m_mft->RecordCount());
    for (uint64_t number = 0; number < count && number < 64; ++number) {
        std::vector<uint8_t> original, copy(size);
        try {
            ReadStreamAt(*data, m_reader, number * size, copy);
        } catch (const CException& e) {
            return m_report.Add(ECode::MftMirror, kMftMirrRecord, "MFT mirror: record %1 cannot be read: %2", number,
                                e.what());
        }
        if (!m_mft->Read(number, original).empty()) continue;  // the scan reports the original
        uint32_t inUse = std::min<uint32_t>(ReadFileRecordHeader(original).bytesInUse, size);
        if (!Unprotect(copy).empty() || std::memcmp(original.data(), copy.data(), inUse) != 0)
            m_report.Add(SFix{EFix::CopyMirror}, ECode::MftMirror, number, "MFT mirror: record %1 differs", number);
    }
}

void CVolumeCheck::CompareClusterBitmap(CClusterMap& clusters) {
    uint64_t needed = (m_geometry.clusterCount + 7) / 8;
    try {
        if (!m_model.clusterBitmap) throw CException(EErrorKind::Corrupt, "record 6 has no $DATA");
        std::vector<uint8_t> bitmap = ReadStreamBytes(*m_model.clusterBitmap, m_reader, needed + kBitmapSlack);
        if (bitmap.size() < needed)
            m_report.Add(ECode::Attribute, kBitmapRecord, "$Bitmap covers %1 of %2 clusters", bitmap.size() * 8,
                         m_geometry.clusterCount);
        m_totals.clustersInUse = clusters.CompareWithBitmap(bitmap, m_report);
        CheckBitsPastTheEnd(bitmap);
    } catch (const CException& e) {
        m_report.Add(ECode::Attribute, kBitmapRecord, "$Bitmap cannot be read: %1", e.what());
    }
}

// Bits past the last cluster stand for clusters that do not exist: every
// writer sets them, so that no allocator ever hands them out.
void CVolumeCheck::CheckBitsPastTheEnd(std::span<const uint8_t> bitmap) {
    const uint64_t count = m_geometry.clusterCount, end = bitmap.size() * 8;
    uint64_t first = count;
    while (first < end && (bitmap[first / 8] >> (first % 8)) & 1) ++first;
    if (first >= end) return;
    m_report.Add(SFix(EFix::MarkClusters, first, end - first), ECode::ClusterUnmarked, kBitmapRecord,
                 "$Bitmap leaves bits past the last cluster (%1) clear, from bit %2 on", count - 1, first);
}

std::optional<UpCaseTable> CVolumeCheck::LoadUpCase() {
    try {
        if (!m_model.upcase) throw CException(EErrorKind::Corrupt, "record 10 has no $DATA");
        std::vector<uint8_t> bytes = ReadStreamBytes(*m_model.upcase, m_reader, kLargestUpCase);
        return BuildUpCaseTable(bytes);
    } catch (const CException& e) {
        m_report.Add(ECode::Attribute, kUpCaseRecord, "$UpCase cannot be read, so index order goes unchecked: %1",
                     e.what());
        return std::nullopt;
    }
}

// From the root down, then every directory the root does not reach.
void CVolumeCheck::WalkIndexes() {
    std::optional<UpCaseTable> upcase = LoadUpCase();
    CIndexWalk walk(m_reader, m_geometry, m_model, upcase ? &*upcase : nullptr, m_report);
    auto walkable = [&](uint64_t number) {
        auto found = m_model.files.find(number);
        return found != m_model.files.end() && found->second.index.has_value();
    };
    SReach reach;
    std::set<uint64_t> walked;
    std::deque<uint64_t> queue;
    reach.rootWalked = walkable(kRootRecord);
    if (reach.rootWalked) {
        queue.push_back(kRootRecord);
        reach.reached.insert(kRootRecord);
    } else {
        m_report.Add(ECode::Index, kRootRecord, "The root directory (record 5) has no index to walk");
    }
    while (!queue.empty()) {
        uint64_t directory = queue.front();
        queue.pop_front();
        walked.insert(directory);
        for (uint64_t target : walk.Walk(directory))
            if (reach.reached.insert(target).second && walkable(target)) queue.push_back(target);
    }
    for (const auto& [number, state] : m_model.files)
        if (state.index && !walked.count(number)) reach.strayLinks[number] = walk.Walk(number);
    m_totals.directories = walked.size() + reach.strayLinks.size();
    m_totals.indexEntries = walk.Entries();
    CheckNames(m_model, reach, m_report);
}

}  // namespace

STotals CheckVolume(IIoDevice& device, CReport& report) { return CVolumeCheck(device, report).Run(); }

STotals CheckVolume(IIoDevice& device, CReport& report, SVolumeModel& model) {
    CVolumeCheck check(device, report);
    STotals totals = check.Run();
    model = check.TakeModel();
    return totals;
}

}  // namespace volcore::check
