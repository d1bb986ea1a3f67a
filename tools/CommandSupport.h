#pragma once
// Small pieces several command groups share.
#include <filesystem>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Engine.h"
#include "VolumePath.h"

namespace volcore::tool {

// Operand `index` as a path inside the volume; raises SUsageError.
CVolumePath PathOperand(const SCommandLine& line, size_t index);

// A name from the volume or the command line (UTF-8) as a host path, and back.
std::filesystem::path HostPath(const std::string& utf8);
std::string HostText(const std::filesystem::path& path);

// "d-h-a": directory, read-only, hidden, system, archive ('-' when unset).
std::string FlagLetters(const SEntryInfo& info);
// "read-only, archive"; "none" when no flag is set.
std::string AttributeNames(uint32_t attributes);
// The ISO 8601 text of a time, or "-" when the engine could not tell it.
std::string TimeText(uint64_t ntfsTime, bool withFraction = true);

// Names the volume keeps for itself at the root ($MFT, $Bitmap, ...).
bool IsSystemName(const CVolumePath& parent, const std::string& name);

// Looks the path up, reporting "COMMAND PATH: reason" when it is not there.
bool StatOrReport(IEngine& engine, const std::string& command, const CVolumePath& path, SEntryInfo& info);

// The object's own size and times; the copies in a directory listing may be
// stale. Keeps `listed` when the object cannot be opened.
SEntryInfo OwnFacts(IEngine& engine, const CVolumePath& path, const SEntryInfo& listed);

struct SMatch {
    CVolumePath path;
    SEntryInfo info;
};
// What PATH names: the one object, or with * or ? in its last element every
// entry of the parent that matches (the volume's own $ files only when
// `withSystem`). Reports "COMMAND PATH: ..." when nothing is found.
bool Resolve(IEngine& engine, const std::string& command, const CVolumePath& path, bool withSystem,
             std::vector<SMatch>& matches);

class CSession;
class CCopier;
// Closes the session after a copy: 0 when all went well, 1 after a failure
// or a skipped file, 130 (with a line saying so) when it was interrupted.
int FinishCopy(CSession& session, const std::string& command, const CCopier& copier, bool ok);

// One object as a JSON object: path, name, type, size, attributes, flags, times.
std::string EntryJson(const CVolumePath& path, const SEntryInfo& info);

}  // namespace volcore::tool
