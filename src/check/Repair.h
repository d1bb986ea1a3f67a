#pragma once
// The repair of what an interrupted session or a failed write leaves behind:
// bitmaps that disagree with what uses them, records no directory lists,
// stale size copies in directory entries, a mirror behind $MFT, the dirty
// flag. It refuses every other problem before it writes anything.
#include <functional>
#include <stdexcept>

#include "base/IoDevice.h"
#include "check/VolumeCheck.h"

namespace volcore::check {

// The volume holds something the repair does not know how to put right.
class CCannotRepair : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Hands every problem found at the start to `found`, repairs them and
// clears the dirty flag; the volume is then clean. The whole repair runs in
// memory first: a refusal (CCannotRepair, or CCannotCheck when the volume
// cannot be checked) leaves the device untouched. Its writes are ordered so
// that a device that fails part-way leaves a volume the repair still finishes.
void RepairVolume(IIoDevice& device, const std::function<void(const SProblem&)>& found);

}  // namespace volcore::check
