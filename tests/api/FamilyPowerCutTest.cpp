// Power cuts through the filesystem family: libntfs-3g writes in its own
// order, so a cut may leave more than the handle family's leftovers (index
// entries naming records that never landed, index bitmaps ahead of their
// allocation, blocks out of order). Every cut volume must come back clean
// from the repair, for our check, libntfs-3g and (a sample) ntfsck; what the
// cut lost of the acknowledged objects is printed with the figures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "FaultWorkload.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

using namespace volcore::test;
namespace api = volkit::api;

namespace {

// About a minute in the normal run; every point with VOLKIT_FULL_SWEEP set.
constexpr uint64_t kStride = 11;
constexpr uint64_t kNtfsckEvery = 25;
constexpr int kNames = 120;

std::string Name(int i) { return "d/many/entry number " + std::to_string(i); }

// Files across the resident limit, a directory whose index splits, deletes
// that empty blocks, a rename, stamps.
bool FirstSession(const SWorkload& steps) {
    if (!steps.mkdir("d") || !steps.mkdir("d/many") || !steps.mkdir("d/sub")) return false;
    if (!steps.store("d/small", true, 300, 1) || !steps.store("d/big", true, 70000, 2)) return false;
    for (int i = 0; i < kNames; ++i)
        if (!steps.store(Name(i), true, 20 + 9 * i, i)) return false;
    if (!steps.store("d/small", false, 90000, 3) || !steps.store("d/big", false, 400, 4)) return false;
    for (int i = 0; i < kNames; i += 3)
        if (!steps.erase(Name(i))) return false;
    return steps.stamp("d/big", false) && steps.move("d/sub", "d/many/moved", true);
}

// The second session reuses what the first freed.
bool SecondSession(const SWorkload& steps) {
    for (int i = 0; i < 30; ++i)
        if (!steps.store("d/many/second " + std::to_string(i), true, 3000, 200 + i)) return false;
    for (int i = 1; i < kNames; i += 3)
        if (!steps.erase(Name(i))) return false;
    return steps.erase("d/small") && steps.store("d/many/moved/c", true, 5000, 5);
}

bool RunSessions(MemoryDevice& memory, Closed& closed) {
    std::vector<std::string> errors;
    for (const WorkloadBody& body : {WorkloadBody(FirstSession), WorkloadBody(SecondSession)})
        if (!SessionThroughFamily(memory, closed, body, errors)) return false;
    return true;
}

struct STally {
    uint64_t points = 0, damaged = 0, lostPoints = 0;
    std::vector<std::string> lost;
};

// Repairs one cut volume and judges it; returns the acknowledged objects lost.
std::vector<std::string> RepairAndJudge(MemoryDevice& memory, const Closed& closed, bool askNtfsck) {
    LogCapture log;
    api::NtfsCheckSummary after;
    EXPECT_TRUE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after)) << testing::PrintToString(log.Errors());
    const CheckOutcome repaired = CheckVolume(memory.Api());
    EXPECT_TRUE(repaired.Clean()) << "after the repair: " << repaired.Describe();
    EXPECT_TRUE(Libntfs3gMounts(memory)) << "libntfs-3g refuses the repaired volume";
    if (askNtfsck && !NtfsckPath().empty()) {
        TempDir dir;
        memory.SaveToFile(dir.File("cut.img"));
        EXPECT_TRUE(NtfsckAccepts(dir.File("cut.img")));
    }
    api::NtfsVolumeHandle opened;
    if (!api::NtfsOpenVolume(memory.Api(), opened)) return {"the handle family cannot open it"};
    std::vector<std::string> lost = LostObjects(opened, closed);
    EXPECT_TRUE(api::NtfsCloseVolume(opened));
    return lost;
}

}  // namespace

TEST(PowerCuts, FilesystemFamilySessions) {
    MemoryDevice fresh(PristineImage());
    MemoryDevice uncut = fresh;
    Closed closed;
    ASSERT_TRUE(RunSessions(uncut, closed));
    const CheckOutcome whole = CheckVolume(uncut.Api());
    EXPECT_TRUE(whole.Clean()) << whole.Describe();
    const uint64_t stride = std::getenv("VOLKIT_FULL_SWEEP") ? 1 : kStride;
    STally tally;
    for (uint64_t k = 1; k <= uncut.writeCount; k += stride, ++tally.points) {
        SCOPED_TRACE("cut at write " + std::to_string(k));
        MemoryDevice memory = fresh;
        memory.powerCutAtWrite = k;
        closed.clear();
        EXPECT_FALSE(RunSessions(memory, closed));
        MemoryDevice cut(std::move(memory.Bytes()));
        if (!CheckVolume(cut.Api()).damage.empty()) ++tally.damaged;
        std::vector<std::string> lost = RepairAndJudge(cut, closed, tally.points % kNtfsckEvery == 0);
        if (!lost.empty()) ++tally.lostPoints;
        for (const std::string& line : lost) tally.lost.push_back("cut at " + std::to_string(k) + ": " + line);
    }
    std::cout << "filesystem family: " << uncut.writeCount << " writes, " << tally.points << " cut, damage at "
              << tally.damaged << ", acknowledged objects lost at " << tally.lostPoints << "\n";
    for (const std::string& line : tally.lost) std::cout << "  " << line << "\n";
}
