// volkit COMMAND IMAGE [ARGS]: the library's command-line tool.
#include <cstdio>
#include <exception>

#include "CommandLine.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Help.h"
#include "Ntfs3gEngine.h"
#include "Platform.h"

using namespace volcore::tool;

namespace {

int UsageFailure(const std::string& message, const SCommandSpec* command) {
    std::fprintf(stderr, "volkit: %s\n", message.c_str());
    if (command)
        std::fprintf(stderr, "Usage: volkit %s\nTry 'volkit %s --help'.\n", command->usage, command->name);
    else
        std::fprintf(stderr, "Try 'volkit --help'.\n");
    return kExitUsage;
}

int Run(const SCommandLine& line) {
    const SCommandSpec* command = FindCommand(line.command);
    if (line.global.version) {
        PrintVersion(stdout);
        return kExitDone;
    }
    if (line.global.help) {
        command ? PrintCommandHelp(*command, stdout) : PrintToolHelp(stdout);
        return kExitDone;
    }
    if (!command) return UsageFailure("no command given", nullptr);
    if (line.operands.empty()) return UsageFailure("no IMAGE given", command);
    if (line.operands.size() < command->minOperands) return UsageFailure("missing arguments", command);
    if (line.operands.size() > command->maxOperands) return UsageFailure("too many arguments", command);
    if (line.global.engine == EEngineChoice::Ntfs3g && !kNtfs3gEngineBuilt)
        return UsageFailure(kNtfs3gEngineMissing, command);
    if (line.global.offset && line.global.partition)
        return UsageFailure("--offset and --partition cannot be combined", command);
    if (!line.attributeChanges.empty() && std::string(command->name) != "attrib")
        return UsageFailure("unexpected " + line.attributeChanges.front(), command);
    CDiagnostics::Install(line.global.verbose);
    return command->run(line);
}

}  // namespace

int main(int argc, char** argv) {
    const SCommandSpec* command = nullptr;
    try {
        SCommandLine line = ParseCommandLine(platform::CommandArguments(argc, argv));
        command = FindCommand(line.command);
        return Run(line);
    } catch (const SUsageError& error) {
        return UsageFailure(error.message, command ? command : FindCommand(error.command));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "volkit: %s\n", error.what());
        return kExitFailed;
    }
}
