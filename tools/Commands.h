#pragma once
// The commands of the tool: their options, their help and their handlers.
#include <cstddef>
#include <string_view>
#include <vector>

#include "CommandLine.h"

namespace volcore::tool {

struct OptionSpec {
    const char* name;
    bool takesValue;
    const char* help;
    const char* value = "V";  // how the help names the option's value
};

// Exit codes: done, the operation failed, the command line was wrong, the
// user interrupted the work (as a shell reports SIGINT).
enum ExitCode : int { kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

using CommandHandler = int (*)(const CommandLine&);

struct CommandSpec {
    const char* name;
    const char* usage;    // after "volkit "
    const char* summary;  // one line for the tool's help
    const char* details;  // the command's own help, may be empty
    std::vector<OptionSpec> options;
    size_t minOperands;  // the image counts
    size_t maxOperands;
    CommandHandler run;
};

const std::vector<CommandSpec>& AllCommands();
const CommandSpec* FindCommand(std::string_view name);
const OptionSpec* FindOption(const CommandSpec& command, std::string_view name);

// Handlers, one group per file.
int RunMkfs(const CommandLine& line);
int RunInfo(const CommandLine& line);
int RunLs(const CommandLine& line);
int RunStat(const CommandLine& line);
int RunCat(const CommandLine& line);
int RunGet(const CommandLine& line);
int RunPut(const CommandLine& line);
int RunMkdir(const CommandLine& line);
int RunRm(const CommandLine& line);
int RunTouch(const CommandLine& line);
int RunAttrib(const CommandLine& line);
int RunCheck(const CommandLine& line);
int RunMount(const CommandLine& line);
int RunMv(const CommandLine& line);
int RunLn(const CommandLine& line);

}  // namespace volcore::tool
