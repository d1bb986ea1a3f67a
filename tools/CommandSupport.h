#pragma once
// Small pieces several command groups share.
#include <string>

#include "CommandLine.h"
#include "Engine.h"
#include "VolumePath.h"

namespace volkit::tool {

// Operand `index` as a path inside the volume; raises UsageError.
VolumePath PathOperand(const CommandLine& line, size_t index);

// "d-h-a": directory, read-only, hidden, system, archive ('-' when unset).
std::string FlagLetters(const EntryInfo& info);
// "read-only, archive"; "none" when no flag is set.
std::string AttributeNames(uint32_t attributes);
// The ISO 8601 text of a time, or "-" when the engine could not tell it.
std::string TimeText(uint64_t ntfsTime, bool withFraction = true);

// Names the volume keeps for itself at the root ($MFT, $Bitmap, ...).
bool IsSystemName(const VolumePath& parent, const std::string& name);

// Looks the path up, reporting "COMMAND PATH: reason" when it is not there.
bool StatOrReport(Engine& engine, const std::string& command, const VolumePath& path, EntryInfo& info);

}  // namespace volkit::tool
