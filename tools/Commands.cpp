#include "Commands.h"

namespace volcore::tool {

const std::vector<SCommandSpec>& AllCommands() {
    static const std::vector<SCommandSpec> commands = {
        {"mkfs", "mkfs IMAGE [--size SIZE] [--cluster-size N] [--label LABEL] [--full] [--force]",
         "create or extend IMAGE to SIZE and format it as NTFS",
         "SIZE takes the suffixes K, M, G and T (64M, 2G). Without --size the image\n"
         "keeps its size. --full writes every sector; the default is a quick format.\n"
         "An image that already holds a file system or a partition table is left\n"
         "alone unless --force is given. With --partition the volume records the\n"
         "partition's start sector, as boot loaders expect. A failed format removes\n"
         "the image file it created.",
         {{"--size", true, "size of the image file (64M, 2G, ...)", "SIZE"},
          {"--cluster-size", true, "bytes per cluster, a power of two from 512 to 2M (default: from the size)", "N"},
          {"--label", true, "the volume's label, at most 128 characters (default: none)", "LABEL"},
          {"--full", false, "write every sector instead of a quick format"},
          {"--force", false, "format even over an existing file system or partition table"}},
         1, 1, &RunMkfs},
        {"info", "info IMAGE [--json]", "geometry, version, label, space, dirty flag, hibernation and journal",
         "The dirty flag says a session did not finish. A hibernated Windows (in\n"
         "hiberfil.sys) or a $LogFile with changes to replay means Windows has not\n"
         "finished with the volume: the native engine then only reads it.",
         {{"--json", false, "print one JSON object"}}, 1, 1, &RunInfo},
        {"ls", "ls IMAGE [PATH] [-l] [-R] [-a] [--streams] [--json]", "list a directory (names as stored)",
         "-l adds type and flags (d r h s a), the number of names (hard links), the\n"
         "size, and the creation, last write and last access times in UTC; --streams\n"
         "lists each file's named streams (FILE:STREAM) with their sizes under it. The\n"
         "last element of PATH may hold the wildcards * and ? (quote them from the\n"
         "shell). Names starting with $ at the root (the volume's own files) are shown\n"
         "with -a only.",
         {{"-l", false, "long listing"},
          {"-R", false, "list subdirectories too"},
          {"-a", false, "show the volume's own $ files too"},
          {"--streams", false, "list the named streams of each file"},
          {"--json", false, "print one JSON array of entries"}},
         1, 2, &RunLs},
        {"stat", "stat IMAGE PATH [--json]", "show the size, attributes and times of one file or directory",
         "A file's named streams follow with their sizes. PATH, and the PATH of cat,\n"
         "get, put and rm, may name a stream as FILE:STREAM.",
         {{"--json", false, "print one JSON object"}}, 2, 2, &RunStat},
        {"cat", "cat IMAGE PATH", "write a file's contents to standard output", "", {}, 2, 2, &RunCat},
        {"get", "get IMAGE PATH [DEST] [-r] [--force] [--no-preserve] [--no-holes]",
         "copy a file (or with -r a directory tree) out of the volume",
         "DEST defaults to the last element of PATH in the current directory. When DEST\n"
         "is an existing directory the copy goes inside it. The last element of PATH may\n"
         "hold the wildcards * and ?; DEST is then a directory. An existing host file is\n"
         "kept unless --force is given (on a terminal the tool asks). The copies keep\n"
         "the volume's last write and last access times. The holes of a sparse or\n"
         "compressed file stay holes in the copy.",
         {{"-r", false, "copy a directory and everything below it"},
          {"--force", false, "overwrite existing files"},
          {"--no-preserve", false, "give the copies the current time"},
          {"--no-holes", false, "write holes as zeros"}},
         2, 3, &RunGet},
        {"put", "put IMAGE SRC PATH [-r] [--force] [--no-holes]", "copy a file (or with -r a directory tree) into the volume",
         "Fails before writing anything when the volume has not enough free space.\n"
         "When PATH is an existing directory the copy goes inside it. An existing file\n"
         "is kept unless --force is given (on a terminal the tool asks). The copies keep\n"
         "the source's last write and last access times; their creation time is now.\n"
         "Symbolic links and other special files are skipped, never followed. A file\n"
         "with holes becomes a sparse file that keeps them (native engine).\n"
         "Ctrl-C stops the copy and removes the file it was writing.",
         {{"-r", false, "copy a directory and everything below it"},
          {"--force", false, "overwrite existing files; write even to a volume marked dirty"},
          {"--no-holes", false, "write holes as zeros"}},
         3, 3, &RunPut},
        {"mkdir", "mkdir IMAGE PATH [-p] [--force]", "create a directory", "",
         {{"-p", false, "create missing parents; an existing directory is no error"}, {"--force", false, "write even to a volume marked dirty"}},
         2, 2, &RunMkdir},
        {"rm", "rm IMAGE PATH [-r] [--force]", "delete a file or an empty directory",
         "The last element of PATH may hold the wildcards * and ?; they never match the\n"
         "volume's own $ files.",
         {{"-r", false, "delete a directory and everything below it"}, {"--force", false, "write even to a volume marked dirty"}}, 2, 2, &RunRm},
        {"mv", "mv IMAGE SRC DST [--force]", "move or rename a file or directory",
         "When DST is an existing directory, SRC moves into it. The last element of SRC\n"
         "may hold the wildcards * and ? (DST is then a directory). An existing file at\n"
         "the new name is kept unless --force is given; a directory is replaced only by\n"
         "a directory, and only when empty. A change of letter case alone is a rename.\n"
         "A directory cannot move into itself.",
         {{"--force", false, "replace an existing file; write even to a volume marked dirty"}}, 3, 3, &RunMv},
        {"ln", "ln IMAGE TARGET LINK [--force]", "give a file another name (a hard link)",
         "LINK and TARGET then name the same file; removing one name leaves the other.\n"
         "When LINK is an existing directory the new name goes inside it, as TARGET's\n"
         "last element. Directories cannot be linked.",
         {{"--force", false, "write even to a volume marked dirty"}}, 3, 3, &RunLn},
        {"touch", "touch IMAGE PATH [--mtime T] [--atime T] [--ctime T] [--force]",
         "create an empty file or change the times of an existing one",
         "T is ISO 8601 in UTC (2024-05-01T12:30:00Z, 2024-05-01) or 'now'. Without a\n"
         "time option the write and access times become now. --ctime is the creation time.",
         {{"--mtime", true, "last write time", "T"},
          {"--atime", true, "last access time", "T"},
          {"--ctime", true, "creation time", "T"},
          {"--force", false, "write even to a volume marked dirty"}},
         2, 2, &RunTouch},
        {"attrib", "attrib IMAGE PATH [+r|-r|+h|-h|+s|-s|+a|-a] [--force]",
         "show or change the read-only, hidden, system and archive flags",
         "Without changes the current flags are shown. Use --help for this help, since\n"
         "-h here clears the hidden flag.",
         {{"--force", false, "write even to a volume marked dirty"}}, 2, 2, &RunAttrib},
        {"check", "check IMAGE [--json] [--repair]", "check the volume's consistency without changing it",
         "Prints a summary line, then one line per problem, damage before leaks (space\n"
         "marked in use that nothing uses). Exit codes: 0 clean, 1 problems found,\n"
         "2 the volume could not be checked.\n"
         "--repair puts right what an interrupted session or a failed write leaves\n"
         "(bitmaps, records no directory lists, entries naming no such record, broken\n"
         "indexes, stale size copies, the MFT mirror, the dirty flag) and lists what it\n"
         "repaired. Exit codes: 0 clean afterwards, 2 the volume holds a problem it\n"
         "cannot repair (nothing is changed) or the device failed.",
         {{"--json", false, "print the summary and the problems as one JSON object"},
          {"--repair", false, "repair what an interrupted session left, then check again"}},
         1, 1, &RunCheck},
        {"mount", "mount IMAGE MOUNTPOINT [--read-only] [-f]", "serve the volume as a file system at MOUNTPOINT (FUSE)",
         "The native engine serves the volume until it is unmounted (umount or\n"
         "fusermount3 -u MOUNTPOINT) or the tool gets SIGTERM; the volume is then\n"
         "written back and closed, and the image stays locked until then. Images the\n"
         "user cannot write, and volumes left hibernated, dirty or with a journal to\n"
         "replay, are mounted read-only. Not there yet: rename, hard and symbolic links,\n"
         "extended attributes.",
         {{"--read-only", false, "mount for reading only"},
          {"-f", false, "stay in the foreground (the tool returns when the volume is unmounted)"}},
         2, 2, &RunMount},
    };
    return commands;
}

const SCommandSpec* FindCommand(std::string_view name) {
    for (const SCommandSpec& command : AllCommands())
        if (name == command.name) return &command;
    return nullptr;
}

const SOptionSpec* FindOption(const SCommandSpec& command, std::string_view name) {
    for (const SOptionSpec& option : command.options)
        if (name == option.name) return &option;
    return nullptr;
}

}  // namespace volcore::tool
