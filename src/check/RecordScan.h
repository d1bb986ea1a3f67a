#pragma once
// The pass over every MFT record: each record against the MFT bitmap, each
// record in use taken apart, its clusters claimed, its file checked whole.
#include <span>

#include "check/ClusterMap.h"
#include "check/MftAccess.h"
#include "check/VolumeModel.h"

namespace volcore::check {

class CRecordScan {
public:
    // Each record belongs to one file at most, and no list is larger than
    // the volume: reading more than that is going round in circles.
    CRecordScan(const CVolumeReader& reader, const SGeometry& geometry, const CMftAccess& mft, CReport& report,
                CClusterMap& clusters, SVolumeModel& model)
        : m_reader(reader), m_geometry(geometry), m_mft(mft), m_report(report), m_clusters(clusters), m_model(model),
          m_budget{mft.RecordCount(), reader.DeviceSize()} {}

    // `mftBitmap` is empty when the MFT bitmap could not be read.
    void Run(std::span<const uint8_t> mftBitmap);

private:
    void ScanRecord(uint64_t number, std::span<const uint8_t> mftBitmap);
    void TakeRecord(uint64_t number, std::vector<uint8_t>& bytes);
    void CheckBitsPastTheEnd(std::span<const uint8_t> mftBitmap);
    void CheckFile(const SFile& file);
    void CheckStreams(const SFile& file);
    void CheckOverAllocation(uint64_t number, const SAttribute& attribute, const SStream& stream);
    void CheckCompressedForm(uint64_t number, const SAttribute& attribute, const SStream& stream);
    void CheckIndexAttributes(const SFile& file, SFileState& state);
    void CopiedSizes(const SFile& file, SFileState& state) const;
    void CollectNames(const SFile& file, SFileState& state);
    void CheckExtensions();

    const CVolumeReader& m_reader;
    const SGeometry& m_geometry;
    const CMftAccess& m_mft;
    CReport& m_report;
    CClusterMap& m_clusters;
    SVolumeModel& m_model;
    SReadBudget m_budget;
};

}  // namespace volcore::check
