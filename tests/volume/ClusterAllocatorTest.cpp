#include <gtest/gtest.h>

#include "volume/Bitmap.h"
#include "volume/ClusterAllocator.h"
#include "support/EngineVolume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Owners of the runs the tests allocate: one that gives clusters up, one that does not.
constexpr FileReference kOwner = 70, kOther = 71;

class ClusterAllocatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        allocator = dynamic_cast<CClusterAllocator*>(volume->GetClusterAllocator());
        ASSERT_NE(allocator, nullptr);
    }
    CBitmap& Bits() { return allocator->GetBitmap(); }
    void SetAll(uint64_t from, uint64_t to) { Bits().SetRange(from, to - from); }
    void ClearAll(uint64_t from, uint64_t to) { Bits().ClearRange(from, to - from); }
    // The failure of one allocation, checking that it changed nothing.
    std::string FailedAllocation(EAllocationZone zone, uint64_t count, RunMap& runs) {
        RunMap before = runs;
        std::vector<uint8_t> bits = Bits().Bytes();
        std::string failure = FailureOf([&] { allocator->Allocate(zone, count, runs); });
        EXPECT_EQ(runs, before);
        EXPECT_EQ(Bits().Bytes(), bits);
        return failure;
    }

    // Not a multiple of 64 clusters, so that the bitmap reaches past the device.
    EngineVolume image{WithClusters(4096, (16ull << 20) - 32768)};
    CVolume* volume = &image.Volume();
    CClusterAllocator* allocator = nullptr;
};

}  // namespace

TEST_F(ClusterAllocatorTest, NextFitGivesAdjacentRunsAndExtendsTheLastRun) {
    uint64_t zoneEnd = allocator->GetMftZoneEnd();
    RunMap first, second;
    volume->AllocateClusters(kOther, EAllocationZone::DATA, 10, first);
    volume->AllocateClusters(kOther, EAllocationZone::DATA, 10, second);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    uint64_t lcn = first.begin()->second.lcn;
    // The free space right after the MFT belongs to its zone: data goes after it.
    EXPECT_GE(lcn, zoneEnd);
    EXPECT_EQ(second.begin()->second, (SLcnAndLength{lcn + 10, 10}));

    // A file whose last run cannot grow gets a new run after its last VCN.
    volume->AllocateClusters(kOther, EAllocationZone::DATA, 3, first);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first.rbegin()->first, VCN{10});
    EXPECT_EQ(first.rbegin()->second, (SLcnAndLength{lcn + 20, 3}));

    // Freed clusters stay taken until their owner's record is written; the
    // owner takes them back first, and the rest come back to a search that
    // starts before them once released.
    volume->DeallocateClusters(kOwner, lcn, 10);
    EXPECT_TRUE(Bits().Test(lcn));
    RunMap regrown;
    volume->AllocateClusters(kOwner, EAllocationZone::DATA, 4, regrown);
    EXPECT_EQ(regrown.begin()->second, (SLcnAndLength{lcn, 4}));
    volume->ReleasePendingClusters(kOwner);
    EXPECT_TRUE(Bits().Test(lcn + 3));
    EXPECT_FALSE(Bits().Test(lcn + 4));
    RunMap again{{VCN{0}, SLcnAndLength{lcn + 3, 1}}};
    volume->AllocateClusters(kOther, EAllocationZone::DATA, 6, again);
    EXPECT_EQ(again.begin()->second, (SLcnAndLength{lcn + 3, 7}));

    image.ExpectCheckersAccept();
}

TEST_F(ClusterAllocatorTest, KeepsTheMftZoneLastThenSplitsAndFailsOnlyOnAFullVolume) {
    uint64_t zoneStart = allocator->GetMftZoneStart();
    uint64_t zoneEnd = allocator->GetMftZoneEnd();
    uint64_t clusters = allocator->GetClusterCount();

    // The MFT's own data is placed in its zone, and continues outside a full zone.
    RunMap mft;
    allocator->Allocate(EAllocationZone::MFT, 5, mft);
    uint64_t mftLcn = mft.begin()->second.lcn;
    EXPECT_TRUE(mftLcn >= zoneStart && mftLcn + 5 <= zoneEnd);
    SetAll(zoneStart, zoneEnd);
    RunMap more;
    allocator->Allocate(EAllocationZone::MFT, 1, more);
    EXPECT_GE(more.begin()->second.lcn, zoneEnd);

    // Data takes what is free outside the zone first, then clusters inside it.
    ClearAll(zoneStart + 8, zoneStart + 16);
    SetAll(0, zoneStart);
    SetAll(zoneEnd, clusters);
    ClearAll(1, 3);
    RunMap data;
    allocator->Allocate(EAllocationZone::DATA, 5, data);
    EXPECT_EQ(data, (RunMap{{VCN{0}, {1, 2}}, {VCN{2}, {zoneStart + 8, 3}}}));

    // Plenty of free clusters in total, but no run of 8 of them.
    SetAll(0, clusters);
    for (uint64_t i = zoneEnd; i + 8 < clusters; i += 8) ClearAll(i, i + 4);
    RunMap runs;
    allocator->Allocate(EAllocationZone::DATA, 10, runs);
    EXPECT_EQ(runs, (RunMap{{VCN{0}, {zoneEnd, 4}}, {VCN{4}, {zoneEnd + 8, 4}}, {VCN{8}, {zoneEnd + 16, 2}}}));
    uint64_t free = Bits().CountClear(0, clusters);
    EXPECT_EQ(FailedAllocation(EAllocationZone::DATA, free + 1, runs),
              "Cannot allocate " + std::to_string(free + 1) + " cluster(s): the volume is full (" +
                  std::to_string(free) + " cluster(s) free)");

    // A run that ends at the last cluster sends the next search to cluster 0.
    ClearAll(clusters - 6, clusters);
    RunMap tail{{VCN{0}, SLcnAndLength{clusters - 7, 1}}};
    allocator->Allocate(EAllocationZone::DATA, 6, tail);
    EXPECT_EQ(tail.begin()->second, (SLcnAndLength{clusters - 7, 7}));
    EXPECT_EQ(allocator->GetNextPosition(EAllocationZone::DATA), 0u);

    // Clusters beyond the device are never handed out, whatever the bitmap says.
    ASSERT_GT(Bits().GetSize(), clusters);
    SetAll(0, clusters);
    ClearAll(clusters, Bits().GetSize());
    RunMap past;
    EXPECT_EQ(FailedAllocation(EAllocationZone::DATA, 1, past),
              "Cannot allocate 1 cluster(s): the volume is full (0 cluster(s) free)");
}
