#pragma once
// One directory's $I30 index walked as the B-tree it must be: nodes well
// formed, entries in collation order, leaves at one depth, blocks against the
// index bitmap, and every entry against the record it points to.
#include <cstdint>
#include <vector>

#include "check/VolumeModel.h"
#include "disk/UpCase.h"

namespace volcore::check {

class CIndexWalk {
public:
    // Without an upcase table the collation order is not checked.
    CIndexWalk(const CVolumeReader& reader, const SGeometry& geometry, SVolumeModel& model,
               const UpCaseTable* upcase, CReport& report)
        : m_reader(reader), m_geometry(geometry), m_model(model), m_upcase(upcase), m_report(report),
          m_bytesLeft(geometry.clusterCount * geometry.boot.clusterSize) {}

    // `directory` has an index source in the model. Returns the base records
    // in use that its entries point to.
    std::vector<uint64_t> Walk(uint64_t directory);
    uint64_t Entries() const { return m_entries; }

private:
    const CVolumeReader& m_reader;
    const SGeometry& m_geometry;
    SVolumeModel& m_model;
    const UpCaseTable* m_upcase;
    CReport& m_report;
    // Blocks shared between indexes must not make the walks read more than
    // the volume holds.
    uint64_t m_bytesLeft;
    uint64_t m_entries = 0;
};

}  // namespace volcore::check
