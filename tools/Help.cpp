#include "Help.h"

#include <cstring>
#include <string>

#ifndef VOLKIT_TOOL_VERSION
#define VOLKIT_TOOL_VERSION "unknown"
#endif

namespace volcore::tool {
namespace {

const char* const kGlobalOptions =
    "Options (anywhere on the line):\n"
    "  --engine native|ntfs3g  the library family that does the work (default: native\n"
    "                          where it serves the command, ntfs3g otherwise)\n"
    "  --offset BYTES          the volume starts BYTES into IMAGE\n"
    "  --partition N           use partition N of IMAGE's MBR (logical ones from 5) or GPT\n"
    "  -v, --verbose           show the library's log lines on stderr\n"
    "  -h, --help              show help (for a command: volkit COMMAND --help,\n"
    "                          or volkit help COMMAND)\n"
    "  --version               show the version\n";

}  // namespace

void PrintToolHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: volkit COMMAND IMAGE [ARGS] [OPTIONS]\n"
                 "Reads, writes and formats NTFS volumes in image files and block devices.\n\n"
                 "Commands:\n");
    for (const SCommandSpec& command : AllCommands()) std::fprintf(out, "  %-8s%s\n", command.name, command.summary);
    std::fprintf(out,
                 "\nPaths inside the volume take / or \\ as separators.\n\n%s"
                 "\nExit codes: 0 done, 1 the operation failed, 2 wrong usage, 130 interrupted.\n",
                 kGlobalOptions);
}

void PrintCommandHelp(const SCommandSpec& command, std::FILE* out) {
    std::fprintf(out, "Usage: volkit %s\n%s.\n", command.usage, command.summary);
    if (std::strlen(command.details) != 0) std::fprintf(out, "\n%s\n", command.details);
    if (!command.options.empty()) {
        std::fprintf(out, "\nCommand options:\n");
        for (const SOptionSpec& option : command.options)
            std::fprintf(out, "  %-18s%s\n", (std::string(option.name) + (option.takesValue ? std::string(" ") + option.value : "")).c_str(),
                         option.help);
    }
    std::fprintf(out, "\n%s", kGlobalOptions);
}

void PrintVersion(std::FILE* out) { std::fprintf(out, "volkit %s\n", VOLKIT_TOOL_VERSION); }

}  // namespace volcore::tool
