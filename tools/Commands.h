#pragma once
// The commands of the tool: their options, their help and their handlers.
#include <cstddef>
#include <string_view>
#include <vector>

#include "CommandLine.h"

namespace volcore::tool {

struct SOptionSpec {
    const char* name;
    bool takesValue;
    const char* help;
    const char* value = "V";  // how the help names the option's value
};

// Exit codes: done, the operation failed, the command line was wrong, the
// user interrupted the work (as a shell reports SIGINT).
enum EExitCode : int { kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

using CommandHandler = int (*)(const SCommandLine&);

struct SCommandSpec {
    const char* name;
    const char* usage;    // after "volkit "
    const char* summary;  // one line for the tool's help
    const char* details;  // the command's own help, may be empty
    std::vector<SOptionSpec> options;
    size_t minOperands;  // the image counts
    size_t maxOperands;
    CommandHandler run;
};

const std::vector<SCommandSpec>& AllCommands();
const SCommandSpec* FindCommand(std::string_view name);
const SOptionSpec* FindOption(const SCommandSpec& command, std::string_view name);

// Handlers, one group per file.
int RunMkfs(const SCommandLine& line);
int RunInfo(const SCommandLine& line);
int RunLs(const SCommandLine& line);
int RunStat(const SCommandLine& line);
int RunCat(const SCommandLine& line);
int RunGet(const SCommandLine& line);
int RunPut(const SCommandLine& line);
int RunMkdir(const SCommandLine& line);
int RunRm(const SCommandLine& line);
int RunTouch(const SCommandLine& line);
int RunAttrib(const SCommandLine& line);
int RunCheck(const SCommandLine& line);
int RunMount(const SCommandLine& line);
int RunMv(const SCommandLine& line);
int RunLn(const SCommandLine& line);

}  // namespace volcore::tool
