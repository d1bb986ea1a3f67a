#include "Commands.h"

namespace volkit::tool {

const std::vector<CommandSpec>& AllCommands() {
    static const std::vector<CommandSpec> commands = {
        {"mkfs", "mkfs IMAGE [--size SIZE] [--cluster-size N] [--full]",
         "create or extend IMAGE to SIZE and format it as NTFS",
         "SIZE takes the suffixes K, M, G and T (64M, 2G). Without --size the image\n"
         "keeps its size. --full writes every sector; the default is a quick format.",
         {{"--size", true, "size of the image file (64M, 2G, ...)"},
          {"--cluster-size", true, "bytes per cluster (default: chosen from the size)"},
          {"--full", false, "write every sector instead of a quick format"}},
         1, 1, &RunMkfs},
        {"info", "info IMAGE", "geometry, version, serial, label, used and free space", "", {}, 1, 1, &RunInfo},
        {"ls", "ls IMAGE [PATH] [-l] [-R]", "list a directory (names as stored)",
         "-l adds type and flags (d r h s a), size, and the creation, last write and last\naccess times in UTC.",
         {{"-l", false, "long listing"}, {"-R", false, "list subdirectories too"}},
         1, 2, &RunLs},
        {"stat", "stat IMAGE PATH", "show the size, attributes and times of one file or directory", "", {}, 2, 2,
         &RunStat},
        {"cat", "cat IMAGE PATH", "write a file's contents to standard output", "", {}, 2, 2, &RunCat},
        {"get", "get IMAGE PATH [DEST] [-r]", "copy a file (or with -r a directory tree) out of the volume",
         "DEST defaults to the last element of PATH in the current directory. When DEST\n"
         "is an existing directory the copy goes inside it.",
         {{"-r", false, "copy a directory and everything below it"}},
         2, 3, &RunGet},
        {"put", "put IMAGE SRC PATH [-r]", "copy a file (or with -r a directory tree) into the volume",
         "Fails before writing anything when the volume has not enough free space.\n"
         "When PATH is an existing directory the copy goes inside it.",
         {{"-r", false, "copy a directory and everything below it"}},
         3, 3, &RunPut},
        {"mkdir", "mkdir IMAGE PATH [-p]", "create a directory",
         "", {{"-p", false, "create missing parents; an existing directory is no error"}}, 2, 2, &RunMkdir},
        {"rm", "rm IMAGE PATH [-r]", "delete a file or an empty directory",
         "", {{"-r", false, "delete a directory and everything below it"}}, 2, 2, &RunRm},
        {"touch", "touch IMAGE PATH [--mtime T] [--atime T] [--ctime T]",
         "create an empty file or change the times of an existing one",
         "T is ISO 8601 in UTC (2024-05-01T12:30:00Z, 2024-05-01) or 'now'. Without a\n"
         "time option the write and access times become now. --ctime is the creation time.",
         {{"--mtime", true, "last write time"},
          {"--atime", true, "last access time"},
          {"--ctime", true, "creation time"}},
         2, 2, &RunTouch},
        {"attrib", "attrib IMAGE PATH [+r|-r|+h|-h|+s|-s|+a|-a]",
         "show or change the read-only, hidden, system and archive flags",
         "Without changes the current flags are shown. Use --help for this help, since\n"
         "-h here clears the hidden flag.",
         {}, 2, 2, &RunAttrib},
        {"check", "check IMAGE [--json]", "check the volume's consistency without changing it",
         "Prints a summary line, then one line per problem, damage before leaks (space\n"
         "marked in use that nothing uses). Exit codes: 0 clean, 1 problems found,\n"
         "2 the volume could not be checked.",
         {{"--json", false, "print the summary and the problems as one JSON object"}}, 1, 1, &RunCheck},
    };
    return commands;
}

const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& command : AllCommands())
        if (name == command.name) return &command;
    return nullptr;
}

const OptionSpec* FindOption(const CommandSpec& command, std::string_view name) {
    for (const OptionSpec& option : command.options)
        if (name == option.name) return &option;
    return nullptr;
}

}  // namespace volkit::tool
