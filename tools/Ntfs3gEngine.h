#pragma once
// The engine over the filesystem family (libntfs-3g).
#include <memory>

#include "Engine.h"
#ifdef VOLKIT_TOOL_WITH_NTFS3G
#include "volkit/filesystem.h"
#endif

namespace volcore::tool {

class CImageDevice;

#ifdef VOLKIT_TOOL_WITH_NTFS3G
inline constexpr bool kNtfs3gEngineBuilt = true;
#else
// Windows builds carry the handle family only.
inline constexpr bool kNtfs3gEngineBuilt = false;
#endif
inline constexpr const char* kNtfs3gEngineMissing =
    "--engine ntfs3g is not available in this build (libntfs-3g is not part of it; use --engine native)";

// Mounts the volume on the device; null (with the library's reason in
// CDiagnostics) when it cannot.
std::unique_ptr<IEngine> OpenNtfs3gEngine(CImageDevice& device);

}  // namespace volcore::tool
