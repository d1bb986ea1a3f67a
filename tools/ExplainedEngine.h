#pragma once
// An engine whose path failures are told in the user's terms ("not a
// directory", "name too long", "already exists") instead of the library's
// ("Attribute 144 $I30 not found", "value: 300"). The library's own line is
// still shown under -v.
#include <memory>

#include "Engine.h"

namespace volcore::tool {

std::unique_ptr<IEngine> ExplainFailures(std::unique_ptr<IEngine> inner);

}  // namespace volcore::tool
