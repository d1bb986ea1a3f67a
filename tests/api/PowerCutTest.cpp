// Power cuts: a workload of two sessions on one volume is stopped at its K-th
// device write, for every K (a stride of them unless VOLKIT_FULL_SWEEP is
// set). Through the handle family the volume left behind must hold nothing
// worse than a crash may leave; through either family the repair must put it
// right, with every object whose create, close or delete returned true intact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FaultWorkload.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using namespace volcore::test;
namespace api = volkit::api;

namespace {

constexpr uint64_t kVolumeBytes = 16 << 20;
// In the normal run every kStride-th write point is cut, and every
// kNtfsckEvery-th of those is also judged by ntfsck.
constexpr uint64_t kStride = 7;
constexpr uint64_t kNtfsckEvery = 40;
constexpr int kManyNames = 240;

// While one lives, what this thread allocates is never reported as a leak.
struct ScopedLeakExcuse {
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler disabler;
#endif
};

std::string Many(int i) { return "d/many/entry number " + std::to_string(i); }

// Files across the resident limit that grow and shrink, a chain of ten
// directories, a directory of a few hundred names (its index splits several
// times, and the MFT grows), deletes, and stamps.
bool FirstSession(const SWorkload& steps) {
    if (!steps.mkdir("d") || !steps.mkdir("d/sub") || !steps.mkdir("d/many")) return false;
    if (!steps.store("d/small", true, 300, 1) || !steps.store("d/big", true, 90000, 2)) return false;
    if (!steps.store("d/sub/c", true, 3000, 3)) return false;
    std::string deep = "d";
    for (int level = 0; level < 10; ++level)
        if (!steps.mkdir(deep += "/level " + std::to_string(level))) return false;
    if (!steps.store(deep + "/a MiB", true, 1 << 20, 8)) return false;
    for (int i = 0; i < kManyNames; ++i)
        if (!steps.store(Many(i), true, 20 + i, i)) return false;
    if (!steps.store("d/small", false, 150000, 4) || !steps.store("d/big", false, 500, 5)) return false;
    if (!steps.stamp("d/big", false) || !steps.stamp("d/sub", true)) return false;
    for (int i = 0; i < kManyNames; i += 3)
        if (!steps.erase(Many(i))) return false;
    return steps.store("d/sub/c", false, 40, 6);
}

// A second session reuses what the first freed and changes what it wrote,
// and leaves the upper half of the many names empty enough to merge blocks.
bool SecondSession(const SWorkload& steps) {
    for (int i = 0; i < 40; ++i)
        if (!steps.store("d/many/second " + std::to_string(i), true, 5000, 100 + i)) return false;
    if (!steps.erase("d/small") || !steps.store("d/sub/c", false, 200000, 7)) return false;
    if (!steps.mkdir("d/sub/empty") || !steps.rmdir("d/sub/empty")) return false;
    for (int i = 1; i < kManyNames; i += 3)
        if (!steps.erase(Many(i))) return false;
    for (int i = kManyNames / 2 + 2; i < kManyNames; i += 3)
        if (!steps.erase(Many(i))) return false;
    return steps.stamp("d/many", true) && steps.stamp(Many(2), false);
}

// Both sessions through one family: SessionThroughHandles or SessionThroughFamily.
using Session = bool (*)(MemoryDevice&, Closed&, const WorkloadBody&, std::vector<std::string>&);

bool RunSessions(Session session, MemoryDevice& memory, Closed& closed) {
    std::vector<std::string> errors;
    for (const WorkloadBody& body : {WorkloadBody(FirstSession), WorkloadBody(SecondSession)})
        if (!session(memory, closed, body, errors)) return false;
    return true;
}

// One cut volume: with `onlyLeftovers` our check finds nothing a crash must
// never leave (a mirror behind $MFT it may leave); the repair makes it clean
// for our check and, when `askOutside`, for ntfsck and libntfs-3g; every
// acknowledged object then reads back as acknowledged. Counts the cuts that
// left damage.
void JudgeCutVolume(MemoryDevice& memory, const Closed& closed, bool onlyLeftovers, bool askOutside,
                    uint64_t& damaged) {
    const CheckOutcome check = CheckVolume(memory.Api());
    EXPECT_TRUE(check.ran);
    damaged += !check.damage.empty();
    for (const std::string& line : check.damage) {
        const bool mirror = line.rfind("mft-mirror: MFT mirror: record ", 0) == 0 && line.ends_with(" differs");
        EXPECT_TRUE(mirror || !onlyLeftovers) << line;
    }
    LogCapture log;
    api::NtfsCheckSummary after;
    EXPECT_TRUE(api::NtfsRepairVolume(memory.Api(), nullptr, nullptr, after)) << testing::PrintToString(log.Errors());
    const CheckOutcome repaired = CheckVolume(memory.Api());
    EXPECT_TRUE(repaired.Clean()) << "after the repair: " << repaired.Describe();
    if (askOutside) {
        EXPECT_TRUE(Libntfs3gMounts(memory)) << "libntfs-3g refuses the repaired volume";
        if (!NtfsckPath().empty()) {
            TempDir dir;
            memory.SaveToFile(dir.File("cut.img"));
            EXPECT_TRUE(NtfsckAccepts(dir.File("cut.img")));
        }
    }
    api::NtfsVolumeHandle opened;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), opened)) << testing::PrintToString(log.Errors());
    for (const std::string& line : LostObjects(opened, closed)) ADD_FAILURE() << line;
    EXPECT_TRUE(api::NtfsCloseVolume(opened));
}

// Cuts the power at every kStride-th write point of the sessions (at every
// one when VOLKIT_FULL_SWEEP is set); prints how many cuts left damage.
void SweepPowerCuts(Session session, bool onlyLeftovers) {
    MemoryDevice fresh = FormattedMemoryDevice(kVolumeBytes);
    fresh.writeCount = fresh.readCount = 0;
    MemoryDevice uncut = fresh;
    Closed closed;
    ASSERT_TRUE(RunSessions(session, uncut, closed));
    const CheckOutcome whole = CheckVolume(uncut.Api());
    EXPECT_TRUE(whole.Clean()) << whole.Describe();
    const uint64_t stride = std::getenv("VOLKIT_FULL_SWEEP") ? 1 : kStride;
    uint64_t points = 0, damaged = 0;
    for (uint64_t k = 1; k <= uncut.writeCount; k += stride, ++points) {
        SCOPED_TRACE("cut at write " + std::to_string(k));
        MemoryDevice memory = fresh;
        memory.powerCutAtWrite = k;
        closed.clear();
        {
            // A cut session is dropped as a killed process would be: what
            // libntfs-3g kept because it could not write it back is never
            // freed. Our engine frees everything, and stays checked.
            std::optional<ScopedLeakExcuse> excuse;
            if (session == SessionThroughFamily) excuse.emplace();
            EXPECT_FALSE(RunSessions(session, memory, closed));
        }
        MemoryDevice cut(std::move(memory.Bytes()));  // the power is back
        JudgeCutVolume(cut, closed, onlyLeftovers, points % kNtfsckEvery == 0, damaged);
    }
    std::cout << uncut.writeCount << " writes, " << points << " cut, damage at " << damaged << "\n";
}

}  // namespace

TEST(PowerCuts, HandleFamilySessions) { SweepPowerCuts(SessionThroughHandles, true); }

// libntfs-3g's own order leaves damage our engine's never does; the repair
// must still put every cut volume right.
TEST(PowerCuts, FilesystemFamilySessions) { SweepPowerCuts(SessionThroughFamily, false); }
