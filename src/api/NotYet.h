#pragma once
#include "api/Exception.h"

namespace volcore {
// Placeholder for engine operations whose layer has not been built yet.
[[noreturn]] inline void NotYet(const char* what) { throw CException("%1 is not available yet", what); }
}  // namespace volcore
