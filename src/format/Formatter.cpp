#include "format/Formatter.h"

#include <ctime>
#include <random>

#include "api/Exception.h"

namespace volcore::format {
namespace {

constexpr size_t kWorkBufferSize = 0xA00000;
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;

uint64_t NtfsTimeNow() {
    return (static_cast<uint64_t>(std::time(nullptr)) + kSecondsFrom1601To1970) * 10000000ull;
}

uint64_t DrawSerialNumber() {
    std::random_device seed;
    std::mt19937 generator(seed());
    uint64_t high = generator();
    return (high << 32) | generator();
}

void ReserveFixedRanges(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    CClusterMap& map = *context.clusters;
    map.Reserve(g.mftBitmapLcn, 1);
    map.Reserve(g.mftLcn, g.mftClusters);
    map.Reserve(g.mirrorLcn, g.mirrorClusters);
    map.Reserve(g.logLcn, g.logSize / g.clusterSize);
    map.Reserve(0, g.bootClusters);
    auto at = [](uint64_t lcn, uint64_t length) { return Runlist{{static_cast<int64_t>(lcn), length}}; };
    context.mftRuns = at(g.mftLcn, g.mftClusters);
    context.mirrorRuns = at(g.mirrorLcn, g.mirrorClusters);
    context.logRuns = at(g.logLcn, g.logSize / g.clusterSize);
    context.bootRuns = at(0, g.bootClusters);
    context.badRuns = Runlist{{kSparseLcn, g.clusterCount}};
}

}  // namespace

void DecideLayout(SFormatContext& context) {
    context.geometry = DecideGeometry(context.device.Size(), context.options.clusterSize);
    const SFormatGeometry& g = context.geometry;
    context.clusters = std::make_unique<CClusterMap>(g.clusterCount, g.ClusterBitmapBytes());
    context.mftBitmap.assign(g.MftBitmapBytes(), 0);
    ReserveFixedRanges(context);
    context.mft.assign(g.mftSize, 0);
}

void ZeroFillVolume(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    std::vector<uint8_t> zeros(g.clusterSize, 0);
    for (uint64_t lcn = 0; lcn < g.clusterCount; ++lcn) context.device.Write(lcn * g.clusterSize, zeros);
}

void WriteThroughRuns(SFormatContext& context, const Runlist& runs, std::span<const uint8_t> data) {
    uint64_t clusterSize = context.geometry.clusterSize;
    size_t done = 0;
    for (const SRun& run : runs) {
        if (done == data.size()) break;
        if (run.lcn == kSparseLcn) throw CException("System data cannot go to a sparse run");
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(run.length * clusterSize, data.size() - done));
        context.device.Write(static_cast<uint64_t>(run.lcn) * clusterSize, data.subspan(done, chunk));
        done += chunk;
    }
    if (done != data.size()) throw CException("System data of %1 bytes does not fit its clusters", data.size());
}

// Bulk content goes through the working buffer, a chunk at a time.
void FillThroughRuns(SFormatContext& context, const Runlist& runs, uint64_t size, uint8_t value) {
    std::vector<uint8_t>& buffer = context.workBuffer;
    std::fill(buffer.begin(), buffer.end(), value);
    uint64_t clusterSize = context.geometry.clusterSize;
    uint64_t remaining = size;
    for (const SRun& run : runs) {
        uint64_t offset = static_cast<uint64_t>(run.lcn) * clusterSize;
        uint64_t runBytes = std::min(run.length * clusterSize, remaining);
        remaining -= runBytes;
        while (runBytes > 0) {
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(runBytes, buffer.size()));
            context.device.Write(offset, std::span<const uint8_t>(buffer.data(), chunk));
            offset += chunk;
            runBytes -= chunk;
        }
    }
}

void FormatVolume(const SFormatOptions& options, IIoDevice& device) {
    FormatVolumeAt(options, device, NtfsTimeNow(), DrawSerialNumber());
}

void FormatVolumeAt(const SFormatOptions& options, IIoDevice& device, uint64_t now, uint64_t serialNumber) {
    constexpr size_t kLongestLabel = 128;
    if (options.label.size() > kLongestLabel)
        throw CException("Volume label is too long: %1 units (at most %2)", options.label.size(), kLongestLabel);
    CFormatDevice target(device);
    SFormatContext context(options, target);
    context.now = now;
    context.serialNumber = serialNumber;
    DecideLayout(context);
    context.workBuffer.assign(kWorkBufferSize, 0);
    if (!options.quick) ZeroFillVolume(context);
    PlanSystemRecords(context);
    WriteRootIndexBlock(context);
    WriteClusterBitmap(context);
    WriteMftAndMirror(context);
}

}  // namespace volcore::format
