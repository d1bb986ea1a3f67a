#include "format/Formatter.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "base/Exception.h"

namespace volcore::format {
namespace {

// Bulk writes (the journal, the cluster bitmap, a full format's zeroes) go
// out in pieces of this size: large enough that the calls cost little next
// to the bytes, small enough to be no real part of the formatter's memory.
constexpr size_t kWorkBufferSize = 64 * 1024;
constexpr size_t kLongestLabel = 128;
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

RunMap OneRun(uint64_t lcn, uint64_t length) { return RunMap{{VCN{0}, SLcnAndLength{lcn, length}}}; }

void ReserveFixedRanges(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    CClusterMap& map = *context.clusters;
    map.Reserve(g.mftBitmapLcn, 1);
    map.Reserve(g.mftLcn, g.mftClusters);
    map.Reserve(g.mirrorLcn, g.mirrorClusters);
    map.Reserve(g.logLcn, g.logSize / g.clusterSize);
    map.Reserve(0, g.bootClusters);
    context.mftRuns = OneRun(g.mftLcn, g.mftClusters);
    context.mirrorRuns = OneRun(g.mirrorLcn, g.mirrorClusters);
    context.logRuns = OneRun(g.logLcn, g.logSize / g.clusterSize);
    context.bootRuns = OneRun(0, g.bootClusters);
    context.badRuns = OneRun(SparseLcn, g.clusterCount);
}

}  // namespace

void DecideLayout(SFormatContext& context) {
    context.geometry = DecideGeometry(context.device.Size(), context.options.clusterSize);
    const SFormatGeometry& g = context.geometry;
    context.clusters = std::make_unique<CClusterMap>(g.clusterCount);
    context.mftBitmap.assign(g.MftBitmapBytes(), 0);
    ReserveFixedRanges(context);
    context.mft.assign(g.mftSize, 0);
}

void ZeroFillVolume(SFormatContext& context) {
    const SFormatGeometry& g = context.geometry;
    FillThroughRuns(context, OneRun(0, g.clusterCount), g.clusterCount * g.clusterSize, 0);
}

void WriteThroughRuns(SFormatContext& context, const RunMap& runs, std::span<const uint8_t> data) {
    uint64_t clusterSize = context.geometry.clusterSize;
    size_t done = 0;
    for (const auto& [vcn, run] : runs) {
        if (done == data.size()) break;
        if (run.lcn == SparseLcn) throw CException(EErrorKind::Argument, "System data cannot go to a sparse run");
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(run.length * clusterSize, data.size() - done));
        context.device.Write(run.lcn * clusterSize, data.subspan(done, chunk));
        done += chunk;
    }
    if (done != data.size())
        throw CException(EErrorKind::Argument, "System data of %1 bytes does not fit its clusters", data.size());
}

void StreamThroughRuns(SFormatContext& context, const RunMap& runs, uint64_t size, const PieceProducer& produce) {
    std::vector<uint8_t>& buffer = context.workBuffer;
    uint64_t clusterSize = context.geometry.clusterSize;
    uint64_t done = 0;
    for (const auto& [vcn, run] : runs) {
        if (done == size) break;
        if (run.lcn == SparseLcn) throw CException(EErrorKind::Argument, "System data cannot go to a sparse run");
        uint64_t offset = run.lcn * clusterSize;
        uint64_t runBytes = std::min(run.length * clusterSize, size - done);
        while (runBytes > 0) {
            std::span<uint8_t> piece(buffer.data(), static_cast<size_t>(std::min<uint64_t>(runBytes, buffer.size())));
            produce(done, piece);
            context.device.Write(offset, piece);
            offset += piece.size();
            done += piece.size();
            runBytes -= piece.size();
        }
    }
    if (done != size) throw CException(EErrorKind::Argument, "System data of %1 bytes does not fit its clusters", size);
}

void FillThroughRuns(SFormatContext& context, const RunMap& runs, uint64_t size, uint8_t value) {
    std::fill(context.workBuffer.begin(), context.workBuffer.end(), value);
    StreamThroughRuns(context, runs, size, [](uint64_t, std::span<uint8_t>) {});
}

void FormatVolume(const SFormatOptions& options, IIoDevice& device) {
    FormatVolumeAt(options, device, NtfsTimeNow(), DrawSerialNumber());
}

void FormatVolumeAt(const SFormatOptions& options, IIoDevice& device, uint64_t now, uint64_t serialNumber) {
    if (options.label.size() > kLongestLabel)
        throw CException(EErrorKind::Argument, "Volume label is too long: %1 units (at most %2)", options.label.size(),
                         kLongestLabel);
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
