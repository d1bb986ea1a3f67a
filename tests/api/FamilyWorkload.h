#pragma once
// Two sessions through the filesystem family, for its power-cut sweep:
// libntfs-3g writes in its own order, so a cut leaves other kinds of damage
// than the handle family's (entries naming records that never landed, index
// bitmaps ahead of their allocation, blocks out of order), all of which the
// repair must put right.
#include <string>
#include <vector>

#include "FaultWorkload.h"

namespace volcore::test {

inline std::string FamilyName(int i) { return "d/many/entry number " + std::to_string(i); }
inline constexpr int kFamilyNames = 160;

// Files across the resident limit, a chain of directories with a large file
// at its end, a directory whose index splits (and the MFT grows), deletes
// that empty blocks, a hard link, a move, stamps.
inline bool FamilyFirstSession(const SWorkload& steps) {
    if (!steps.mkdir("d") || !steps.mkdir("d/many") || !steps.mkdir("d/sub")) return false;
    if (!steps.store("d/small", true, 300, 1) || !steps.store("d/big", true, 70000, 2)) return false;
    std::string deep = "d";
    for (int level = 0; level < 6; ++level)
        if (!steps.mkdir(deep += "/level " + std::to_string(level))) return false;
    if (!steps.store(deep + "/large", true, 600000, 3)) return false;
    for (int i = 0; i < kFamilyNames; ++i)
        if (!steps.store(FamilyName(i), true, 20 + 9 * i, i)) return false;
    if (!steps.store("d/small", false, 90000, 4) || !steps.store("d/big", false, 400, 5)) return false;
    for (int i = 0; i < kFamilyNames; i += 3)
        if (!steps.erase(FamilyName(i))) return false;
    return steps.stamp("d/big", false) && steps.link("d/big", "d/sub/big link") &&
           steps.move("d/sub", "d/many/moved", true);
}

// The second session reuses what the first freed.
inline bool FamilySecondSession(const SWorkload& steps) {
    for (int i = 0; i < 30; ++i)
        if (!steps.store("d/many/second " + std::to_string(i), true, 3000, 200 + i)) return false;
    for (int i = 1; i < kFamilyNames; i += 3)
        if (!steps.erase(FamilyName(i))) return false;
    if (!steps.mkdir("d/empty") || !steps.rmdir("d/empty")) return false;
    return steps.erase("d/small") && steps.store("d/many/moved/c", true, 5000, 6);
}

}  // namespace volcore::test
