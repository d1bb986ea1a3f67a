#include <algorithm>

#include "base/Exception.h"
#include "disk/RecordFormat.h"
#include "format/Formatter.h"
#include "disk/Fixups.h"

namespace volcore::format {

void WriteClusterBitmap(SFormatContext& context) {
    const SRecordPlan& plan = context.records.at(kBitmapRecord);
    auto data = std::find_if(plan.attributes.begin(), plan.attributes.end(), [](const SAttribute& attribute) {
        return attribute.type == AttrType::Data && attribute.name.empty();
    });
    if (data == plan.attributes.end()) throw CException(EErrorKind::Argument, "$Bitmap has no data");
    const CClusterMap& clusters = *context.clusters;
    StreamThroughRuns(context, data->runs, context.geometry.ClusterBitmapBytes(),
                      [&](uint64_t offset, std::span<uint8_t> piece) { clusters.FillBitmap(offset, piece); });
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
