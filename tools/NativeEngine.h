#pragma once
// The engine over the handle family (Volkit's own NTFS engine).
#include <memory>
#include <string>

#include "Engine.h"

namespace volcore::tool {

class CImageDevice;

// Whether the handle family serves the command well enough to be its default.
bool NativeEngineServes(const std::string& command);

// Opens the volume on the device; null (with the library's reason in
// CDiagnostics) when it cannot.
std::unique_ptr<IEngine> OpenNativeEngine(CImageDevice& device);

}  // namespace volcore::tool
