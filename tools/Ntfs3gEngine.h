#pragma once
// The engine over the filesystem family (libntfs-3g).
#include <memory>

#include "Engine.h"
#include "volkit/filesystem.h"

namespace volcore::tool {

class ImageDevice;

// Mounts the volume on the device; null (with the library's reason in
// Diagnostics) when it cannot.
std::unique_ptr<Engine> OpenNtfs3gEngine(ImageDevice& device);

}  // namespace volcore::tool
