// Run search over the cluster bitmap of a 1 TiB volume with 4 KiB clusters
// (268 million bits), nearly full, against the plain bit-at-a-time scan.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "base/Bytes.h"
#include "entries/Attribute.h"
#include "disk/Runlist.h"
#include "volume/Bitmap.h"
#include "volume/VolumeCore.h"

using namespace volcore;

namespace {

constexpr uint32_t kClusterSize = 4096;
constexpr uint64_t kBitmapBytes = (1ull << 40) / kClusterSize / 8;  // 32 MiB
constexpr uint64_t kBitmapLcn = 1;

// A volume that exists only as a boot sector and a bitmap at LCN 1; the bitmap
// bytes come from `fill`.
class CSyntheticDevice final : public IIoDevice {
public:
    explicit CSyntheticDevice(uint8_t (*fill)(uint64_t)) : m_fill(fill) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override {
        auto* bytes = static_cast<uint8_t*>(buffer);
        if (offset == 0) {
            std::memset(bytes, 0, length);
            CByteWriter boot(bytes, length);
            boot.CopyFrom(3, "NTFS    ", 8);
            boot.U16(11, 512);
            boot.U8(13, kClusterSize / 512);
            boot.U8(64, 0xF6);  // 1024-byte records
            boot.U8(68, 1);
            boot.U64(48, 4);
            return;
        }
        uint64_t first = offset - kBitmapLcn * kClusterSize;
        for (uint32_t i = 0; i < length; ++i) bytes[i] = m_fill(first + i);
    }
    void Write(uint64_t, const void*, uint32_t) override {}
    uint64_t GetSize() override { return (kBitmapLcn + 1) * kClusterSize + kBitmapBytes; }

private:
    uint8_t (*m_fill)(uint64_t);
};

// Everything in use except 1000 clusters near the end.
uint8_t NearlyFull(uint64_t byte) { return byte >= kBitmapBytes - 200 && byte < kBitmapBytes - 75 ? 0x00 : 0xFF; }

// Short holes of 4 clusters every 1024 clusters: a search for 64 visits all of them.
uint8_t Fragmented(uint64_t byte) { return byte % 128 == 5 ? 0xF0 : 0xFF; }

AttributeLocations BitmapExtent() {
    auto buffer = CMftRecBuffer::Zeroed(1024);
    CByteWriter record = CByteWriter(buffer->bytes).Sub(56, 1024 - 56);
    uint64_t clusters = kBitmapBytes / kClusterSize;
    record.U32(AttrRecord::Type, AttrType::Data);
    record.U8(AttrRecord::NonResident, 1);
    record.U16(AttrRecord::NameOffset, 64);
    record.U64(AttrRecord::HighestVcn, clusters - 1);
    record.U16(AttrRecord::MappingPairsOffset, 64);
    record.U64(AttrRecord::DataSize, kBitmapBytes);
    record.U64(AttrRecord::InitializedSize, kBitmapBytes);
    EncodeMappingPairs({{VCN{0}, {kBitmapLcn, clusters}}}, record, 64);
    return {SAttributeLocation{buffer, 56}};
}

struct SFixture {
    explicit SFixture(uint8_t (*fill)(uint64_t))
        : volume(std::make_shared<CSyntheticDevice>(fill)),
          bitmap(std::make_shared<CAttribute>(volume, MakeReference(6, 6), BitmapExtent())) {}
    CVolumeCore volume;
    CBitmap bitmap;
};

uint64_t BitByBit(const std::vector<uint8_t>& bytes, uint64_t count) {
    uint64_t run = 0;
    for (uint64_t i = 0; i < bytes.size() * 8; ++i) {
        if ((bytes[i / 8] >> (i % 8)) & 1) run = 0;
        else if (++run == count) return i + 1 - count;
    }
    return CBitmap::NotFound;
}

void BM_FindClearRun_NearlyFull(benchmark::State& state) {
    SFixture fixture(NearlyFull);
    for (auto _ : state) benchmark::DoNotOptimize(fixture.bitmap.FindClearRun(1000, 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBitmapBytes));
}

void BM_FindClearRun_Fragmented(benchmark::State& state) {
    SFixture fixture(Fragmented);
    for (auto _ : state) benchmark::DoNotOptimize(fixture.bitmap.FindClearRun(64, 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBitmapBytes));
}

void BM_BitByBitScan_NearlyFull(benchmark::State& state) {
    SFixture fixture(NearlyFull);
    std::vector<uint8_t> bytes = fixture.bitmap.Bytes();
    for (auto _ : state) benchmark::DoNotOptimize(BitByBit(bytes, 1000));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBitmapBytes));
}

}  // namespace

BENCHMARK(BM_FindClearRun_NearlyFull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindClearRun_Fragmented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BitByBitScan_NearlyFull)->Unit(benchmark::kMillisecond);
