#include <algorithm>

#include "api/Exception.h"
#include "format/Formatter.h"
#include "volume/Fixups.h"

namespace volcore::format {

void WriteClusterBitmap(SFormatContext& context) {
    const SRecordPlan& plan = context.records.at(6);
    const SAttribute* data = nullptr;
    for (const SAttribute& attribute : plan.attributes)
        if (attribute.type == kData && attribute.name.empty()) data = &attribute;
    if (data == nullptr) throw CException("$Bitmap has no data");

    const std::vector<uint8_t>& bits = context.clusters->Bytes();
    std::vector<uint8_t>& buffer = context.workBuffer;
    uint64_t clusterSize = context.geometry.clusterSize;
    size_t done = 0;
    for (const SRun& run : data->runs) {
        uint64_t offset = static_cast<uint64_t>(run.lcn) * clusterSize;
        size_t runBytes = static_cast<size_t>(std::min<uint64_t>(run.length * clusterSize, bits.size() - done));
        while (runBytes > 0) {
            size_t chunk = std::min(runBytes, buffer.size());
            std::copy_n(bits.begin() + static_cast<std::ptrdiff_t>(done), chunk, buffer.begin());
            context.device.Write(offset, std::span<const uint8_t>(buffer.data(), chunk));
            offset += chunk;
            done += chunk;
            runBytes -= chunk;
        }
    }
    if (done != bits.size()) throw CException("$Bitmap clusters cannot hold the bitmap");
}

void WriteMftAndMirror(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    uint32_t count = static_cast<uint32_t>(g.MftRecordCount());
    for (uint32_t record = 0; record < count; ++record) {
        CByteWriter out(context.mft.data() + size_t{record} * kMftRecordSize, kMftRecordSize);
        SRecordPlan& plan = context.records.at(record);
        WriteFileRecord(out, plan.header, std::move(plan.attributes), g.clusterSize);
    }
    // Protected once, the same bytes serve the MFT and its mirror.
    MstProtect(context.mft, count, kMftRecordSize);
    auto recordBytes = [&](uint32_t record) {
        return std::span<const uint8_t>(context.mft.data() + size_t{record} * kMftRecordSize, kMftRecordSize);
    };
    for (uint32_t record = 0; record < count; ++record)
        context.device.Write(g.mftLcn * g.clusterSize + uint64_t{record} * kMftRecordSize, recordBytes(record));
    uint64_t mirrored = std::min<uint64_t>(g.mirrorClusters * g.clusterSize / kMftRecordSize, count);
    for (uint32_t record = 0; record < mirrored; ++record)
        context.device.Write(g.mirrorLcn * g.clusterSize + uint64_t{record} * kMftRecordSize, recordBytes(record));
}

}  // namespace volcore::format
