#pragma once
// Small pieces several command groups share.
#include <filesystem>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Engine.h"
#include "VolumePath.h"

namespace volcore::tool {

// Operand `index` as a path inside the volume; raises UsageError.
VolumePath PathOperand(const CommandLine& line, size_t index);

// A name from the volume or the command line (UTF-8) as a host path, and back.
std::filesystem::path HostPath(const std::string& utf8);
std::string HostText(const std::filesystem::path& path);

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

// The object's own size and times; the copies in a directory listing may be
// stale. Keeps `listed` when the object cannot be opened.
EntryInfo OwnFacts(Engine& engine, const VolumePath& path, const EntryInfo& listed);

struct Match {
    VolumePath path;
    EntryInfo info;
};
// What PATH names: the one object, or with * or ? in its last element every
// entry of the parent that matches (the volume's own $ files only when
// `withSystem`). Reports "COMMAND PATH: ..." when nothing is found.
bool Resolve(Engine& engine, const std::string& command, const VolumePath& path, bool withSystem,
             std::vector<Match>& matches);

class Session;
class Copier;
// Closes the session after a copy: 0 when all went well, 1 after a failure
// or a skipped file, 130 (with a line saying so) when it was interrupted.
int FinishCopy(Session& session, const std::string& command, const Copier& copier, bool ok);

// One object as a JSON object: path, name, type, size, attributes, flags, times.
std::string EntryJson(const VolumePath& path, const EntryInfo& info);

}  // namespace volcore::tool
