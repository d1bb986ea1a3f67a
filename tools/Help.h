#pragma once
#include <cstdio>

#include "Commands.h"

namespace volcore::tool {

void PrintToolHelp(std::FILE* out);
void PrintCommandHelp(const SCommandSpec& command, std::FILE* out);
void PrintVersion(std::FILE* out);

}  // namespace volcore::tool
