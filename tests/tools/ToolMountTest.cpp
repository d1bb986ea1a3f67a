// volkit mount driven by programs written by others (tar, diff, rsync, make
// and the compiler, fio, stress-ng, git), then judged by our check, ntfsck, libntfs-3g
// and The Sleuth Kit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "support/Images.h"
#include "support/Oracles.h"
#include "tools/ToolRunner.h"

extern char** environ;

using namespace volcore::test;
namespace fs = std::filesystem;

namespace {

bool IsMounted(const std::string& dir) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line))
        if (line.find(" " + dir + " ") != std::string::npos) return true;
    return false;
}

// `volkit mount IMAGE DIR -f` as a child of the test, so that its end (the
// volume written back and closed) can be waited for.
class Mount {
public:
    Mount(const std::string& image, const std::string& dir, const std::string& option = "")
        : m_dir(fs::absolute(dir).string()), m_log(dir + ".log") {
        std::vector<std::string> words = {VOLKIT_TOOL_PATH, "mount", image, m_dir, "-f"};
        if (!option.empty()) words.push_back(option);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; m_pid > 0 && i < 200 && !IsMounted(m_dir); ++i) {
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_pid = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Mount() { Unmount(); }
    bool Ready() const { return m_pid > 0 && IsMounted(m_dir); }
    const std::string& Dir() const { return m_dir; }
    std::string Log() const { return RunCommand("cat " + Q(m_log)).output; }

    // Unmounts (or sends the signal) and waits, bounded, for the tool to
    // write the volume back; its exit code.
    int Unmount(int signal = 0) {
        if (m_pid <= 0) return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
        if (signal != 0) ::kill(m_pid, signal);
        for (int i = 0; i < 50 && signal == 0 && IsMounted(m_dir); ++i) {
            if (RunCommand("umount " + Q(m_dir)).exitCode == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int i = 0; i < 600 && waitpid(m_pid, &m_status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waitpid(m_pid, &m_status, WNOHANG) == 0) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
            m_status = -1;
        }
        if (IsMounted(m_dir)) RunCommand("umount -l " + Q(m_dir));
        m_pid = -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

private:
    std::string m_dir, m_log;
    pid_t m_pid = -1;
    int m_status = -1;
};

// Why mounting cannot be tried here, or "".
std::string MountUnavailable() {
    if (!fs::exists("/dev/fuse")) return "/dev/fuse missing";
    if (!HaveProgram("umount")) return "umount missing";
    const ToolResult probe = RunTool("mount /nonexistent.img /nonexistent");
    if (probe.err.find("not available in this build") != std::string::npos) return "the tool was built without libfuse";
    return "";
}

// A small source tree: nested directories, empty, tiny, cluster-sized,
// multi-cluster and larger files, and a name beyond ASCII.
void MakeSourceTree(const fs::path& root) {
    const std::vector<std::pair<std::string, size_t>> files = {
        {"README", 700},          {"empty", 0},          {"a/one.c", 1},           {"a/four.k", 4096},
        {"a/b/odd.bin", 5000},    {"a/b/big.bin", 300000}, {"a/b/c/deep.txt", 70000}, {"c/\u00dcn\u00efc\u00f8d\u00e9 \u20ac.txt", 1234},
    };
    uint32_t seed = 1;
    for (const auto& [name, size] : files) {
        fs::create_directories((root / name).parent_path());
        WriteFileBytes((root / name).string(), Pattern(size, seed++));
    }
    fs::create_directories(root / "many");
    for (int i = 0; i < 40; ++i) WriteFileBytes((root / "many" / ("f" + std::to_string(i))).string(), Pattern(100 * i, seed++));
    fs::create_directories(root / "a" / "empty dir");
}

struct Workload {
    const char* name;
    const char* program;  // skipped with a message where missing
    const char* script;   // sh, in the mount; $M the mount, $SRC the tree, $OUT a host directory
};

const std::vector<Workload> kWorkloads = {
    {"tar", "tar", "mkdir tar && tar -C \"$SRC\" -cf - . | tar -xf - -C tar && diff -r \"$SRC\" tar"},
    {"rsync in place", "rsync",
     "rsync -a --inplace \"$SRC\"/ rsync/ && diff -r \"$SRC\" rsync && rsync -a rsync/ \"$OUT\"/back/ && "
     "diff -r \"$SRC\" \"$OUT\"/back"},
    {"rsync", "rsync", "rsync -a \"$SRC\"/ rsync2/ && diff -r \"$SRC\" rsync2 && rsync -a rsync2/ \"$OUT\"/back2/ && "
     "diff -r \"$SRC\" \"$OUT\"/back2"},
    {"make", "make",
     "mkdir proj && cd proj && for i in 1 2 3 4; do printf 'int f%d(void) { return %d; }\\n' $i $i > f$i.c; done && "
     "printf 'int f1(void); int f2(void); int f3(void); int f4(void);\\n"
     "int main(void) { return f1() + f2() + f3() + f4() - 10; }\\n' > main.c && "
     "printf 'prog: main.o f1.o f2.o f3.o f4.o\\n\\t$(CC) -o $@ $^\\n%%.o: %%.c\\n\\t$(CC) -c -o $@ $<\\n' > Makefile && "
     "make -s && ./prog && touch f2.c && make > \"$OUT\"/made && grep -q 'f2.o' \"$OUT\"/made && make -q && rm -f *.o prog && make -s && ./prog"},
    {"fio", "fio",
     "fio --name=seq --filename=seq.dat --size=4M --bs=64k --rw=write --verify=crc32c --ioengine=psync >/dev/null && "
     "fio --name=rnd --filename=rnd.dat --size=4M --bs=4k --rw=randwrite --verify=crc32c --ioengine=psync >/dev/null && "
     "fio --name=mix --filename=rnd.dat --size=4M --bs=4k --rw=randrw --ioengine=psync >/dev/null && "
     "head -c 3000000 seq.dat > \"$OUT\"/cut && truncate -s 3000000 seq.dat && cmp \"$OUT\"/cut seq.dat && "
     "truncate -s 5000000 seq.dat && test \"$(tail -c 2000000 seq.dat | tr -d '\\000' | wc -c)\" = 0 && "
     "head -c 3000000 seq.dat | cmp - \"$OUT\"/cut"},
    {"overwrite, unlink while open, names ignoring case", "sh",
     "printf abcdef > over && printf x > over && test \"$(cat over)\" = x && "
     "printf kept > open.txt && exec 3< open.txt && rm open.txt && test ! -e open.txt && "
     "! ls | grep -qx open.txt && test \"$(cat <&3)\" = kept && exec 3<&- && test ! -e open.txt && "
     "printf Case > MixedCase.TXT && test \"$(cat mixedcase.txt)\" = Case && ls | grep -qx MixedCase.TXT && "
     "! mkdir MIXEDCASE.txt 2>/dev/null && rm mixedCASE.txt && ! ls | grep -qix mixedcase.txt"},
    {"renames and links", "sh",
     "mkdir names && cd names && printf old > t && exec 4< t && printf new > n && mv n t && "
     "test \"$(cat <&4)\" = old && exec 4<&- && test \"$(cat t)\" = new && mkdir -p d/e && exec 5> d/e/f && mv d d2 && "
     "mkdir -p d/e && printf other > d/e/f && printf data >&5 && exec 5>&- && test \"$(cat d2/e/f)\" = data && "
     "test \"$(cat d/e/f)\" = other && mkdir -p p/q x && ! mv -T x p 2>\"$OUT\"/mv && "
     "grep -q 'not empty' \"$OUT\"/mv && ! mv p p/q 2>/dev/null && ln t t2 && test \"$(stat -c %h t2)\" = 2 && "
     "printf both >> t2 && test \"$(cat t)\" = newboth && mv t T && ls | grep -qx T && rm T && test \"$(cat t2)\" = newboth"},
    {"user.* attributes and rename flags", "python3",
     "cd names && python3 -c \"\n"
     "import ctypes, errno, os\n"
     "os.setxattr('t2', 'user.color', b'blue')\n"
     "os.setxattr('t2', 'user.gone', b'x' * 5000)\n"
     "os.removexattr('t2', 'user.gone')\n"
     "assert os.getxattr('t2', 'user.color') == b'blue' and os.listxattr('t2') == ['user.color']\n"
     "def fails(code, call, *args):\n"
     "    try: call(*args)\n"
     "    except OSError as e: assert e.errno == code, e; return\n"
     "    raise AssertionError(args)\n"
     "fails(errno.EEXIST, os.setxattr, 't2', 'user.color', b'red', os.XATTR_CREATE)\n"
     "fails(errno.ENODATA, os.setxattr, 't2', 'user.none', b'red', os.XATTR_REPLACE)\n"
     "fails(errno.ENODATA, os.getxattr, 't2', 'user.none')\n"
     "fails(errno.ENOTSUP, os.setxattr, 't2', 'trusted.none', b'red')\n"
     "libc = ctypes.CDLL(None, use_errno=True)\n"
     "open('u', 'w').close()\n"
     "for flag, code in ((1, errno.EEXIST), (2, errno.EINVAL)):\n"
     "    assert libc.renameat2(-100, b'u', -100, b't2', flag) == -1 and ctypes.get_errno() == code, flag\n"
     "assert open('t2').read() == 'newboth'\n"
     "\""},
    {"symbolic links", "sh",
     "mkdir links && cd links && printf t > f && mkdir d && ln -s f l && ln -s d dl && ln -s ../links/f up && "
     "test -L l && test \"$(readlink l)\" = f && test \"$(cat l up)\" = tt && test -d dl/ && rm l dl && "
     "test ! -e l && test -e f && test -d d"},
    {"holes past the end", "sh",
     "mkdir holes && cd holes && truncate -s 1T huge && test \"$(stat -c %s huge)\" = 1099511627776 && "
     "printf end | dd of=huge bs=1 seek=1099511627773 conv=notrunc status=none && printf x > gap && "
     "printf y | dd of=gap bs=1 seek=50000000 conv=notrunc status=none && test \"$(head -c 1 gap)$(tail -c 1 gap)\" = xy && "
     "test $(stat -c %b huge) -lt 64 && test $(stat -c %b gap) -lt 64 && test \"$(tail -c 3 huge)\" = end && "
     "head -c 4M /dev/urandom > \"$OUT\"/noise && cp \"$OUT\"/noise punched && fallocate -p -o 4097 -l 3M punched && "
     "test $(stat -c %b punched) -lt 4000 && cmp -n 4097 punched \"$OUT\"/noise && cmp -i 3149825 punched "
     "\"$OUT\"/noise && test $(head -c 3149825 punched | tail -c 3145728 | tr -d '\\000' | wc -c) = 0 && "
     "cp huge copy && test \"$(tail -c 3 copy)\" = end && test $(stat -c %b copy) -lt 64 && fallocate -l 1M gap && "
     "test $(stat -c %b gap) -ge 2048 && test \"$(head -c 1 gap)$(tail -c 1 gap)\" = xy && "
     "fallocate -n -o 2M -l 1M gap && test $(stat -c %b gap) -ge 4096 && ! fallocate -n -l 64M gap && "
     "test $(stat -c %s gap) = 50000001"},
    {"stress-ng hdd and dir", "stress-ng",
     "mkdir stress && cd stress && stress-ng --hdd 2 --hdd-bytes 4M --dir 2 --dir-dirs 100 --verify --timeout 5s "
     "--quiet && cd .. && rmdir stress"},
    {"stress-ng rename and link", "stress-ng",
     "mkdir stress2 && cd stress2 && stress-ng --rename 2 --link 2 --verify --timeout 5s --quiet && cd .. && rmdir stress2"},
    {"git", "git",
     "cp -r \"$SRC\" repo && cd repo && git init -q && git add -A && "
     "git -c user.name=volkit -c user.email=volkit@example.org commit -qm tree && "
     "test -z \"$(git status --porcelain)\" && git gc -q && git fsck --no-progress"},
};

CommandResult RunIn(const std::string& mount, const std::string& source, const std::string& out,
                    const std::string& script) {
    return RunCommand("cd " + Q(mount) + " && M=" + Q(mount) + " SRC=" + Q(source) + " OUT=" + Q(out) +
                      " timeout 120 sh -ec " + Q(script));
}

// Our check, ntfsck, libntfs-3g and The Sleuth Kit on the unmounted image.
void ExpectAccepted(const std::string& image, const fs::path& source) {
    const ToolResult check = RunTool("check " + Q(image));
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_TRUE(NtfsckAccepts(image));
    if (HaveProgram("ntfscat")) {
        // What tar wrote in place and what rsync and git wrote by renames.
        const std::pair<const char*, const char*> kCopies[] = {{"tar/", "tar"}, {"rsync2/", "rsync"}, {"repo/", "git"}};
        for (const auto& [copy, program] : kCopies) {
            for (const char* name : {"a/b/big.bin", "c/\u00dcn\u00efc\u00f8d\u00e9 \u20ac.txt"}) {
                if (!HaveProgram(program)) continue;
                const std::string same = "ntfscat " + Q(image) + " " + Q(std::string(copy) + name) + " | cmp - " +
                                         Q((source / name).string());
                EXPECT_EQ(RunCommand(same).exitCode, 0) << copy << name;
            }
        }
    }
    if (HaveProgram("fls")) {
        const std::string listed = RunCommand("fls -r -p " + Q(image)).output;
        EXPECT_NE(listed.find("tar/a/b/c/deep.txt"), std::string::npos) << listed.substr(0, 2000);
        EXPECT_NE(listed.find("proj/prog"), std::string::npos);
        EXPECT_TRUE(!HaveProgram("git") || listed.find("repo/.git/HEAD") != std::string::npos);
    }
}

}  // namespace

TEST(ToolMount, RealProgramsWorkOnAMountedImage) {
    if (const std::string why = MountUnavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string image = dir.File("vol.img"), mount = dir.File("mnt"), out = dir.File("out");
    const fs::path source = dir.Path() / "src";
    MakeSourceTree(source);
    fs::create_directories(mount);
    fs::create_directories(out);
    ASSERT_EQ(RunTool("mkfs " + Q(image) + " --size 128M").exitCode, 0);
    {
        Mount mounted(image, mount);
        ASSERT_TRUE(mounted.Ready()) << mounted.Log();
        // A second writer is kept off the image while it is mounted.
        EXPECT_EQ(RunTool("mkdir " + Q(image) + " /x").exitCode, 1);
        for (const Workload& workload : kWorkloads) {
            SCOPED_TRACE(workload.name);
            if (!HaveProgram(workload.program)) {
                std::cout << "[ SKIPPED  ] " << workload.name << ": " << workload.program << " missing\n";
                continue;
            }
            const CommandResult run = RunIn(mount, source.string(), out, workload.script);
            EXPECT_EQ(run.exitCode, 0) << run.output;
        }
        EXPECT_EQ(mounted.Unmount(), 0) << mounted.Log();
    }
    ExpectAccepted(image, source);
    // The attribute is the file's named stream to the handle family.
    EXPECT_TRUE(!HaveProgram("python3") || RunTool("--engine native cat " + Q(image) + " /names/t2:color").out == "blue");

    // A second session reads what the first wrote and removes a tree; a
    // read-only one changes nothing, not even the image's bytes.
    {
        Mount mounted(image, mount);
        ASSERT_TRUE(mounted.Ready()) << mounted.Log();
        const CommandResult run = RunIn(mount, source.string(), out, "diff -r \"$SRC\" tar && rm -r rsync");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        // SIGTERM ends the session as an unmount does.
        EXPECT_EQ(mounted.Unmount(SIGTERM), 0) << mounted.Log();
    }
    ExpectAccepted(image, source);
    const std::vector<uint8_t> before = ReadFileBytes(image);
    {
        Mount mounted(image, mount, "--read-only");
        ASSERT_TRUE(mounted.Ready()) << mounted.Log();
        const CommandResult run = RunIn(mount, source.string(), out,
                                        "diff -r \"$SRC\" tar && ! touch new 2>/dev/null && ! rm tar/README 2>/dev/null && "
                                        "test ! -e rsync && cat proj/main.c >/dev/null");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(mounted.Unmount(), 0) << mounted.Log();
    }
    EXPECT_TRUE(ReadFileBytes(image) == before) << "a read-only mount changed the image";
}

// Windows' hibernated volumes and volumes a session left dirty (the tool was
// killed) are served for reading only, and the image keeps its bytes.
TEST(ToolMount, HibernatedAndDirtyVolumesMountReadOnly) {
    if (const std::string why = MountUnavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir dir;
    const std::string mount = dir.File("mnt");
    fs::create_directories(mount);
    const struct {
        const char* script;  // run on a writable mount, which then ends with the signal (0: an unmount)
        int signal;
        const char* reason;
    } kRows[] = {
        {"printf hibr > hiberfil.sys && truncate -s 4096 hiberfil.sys", 0, "mounted read-only: Windows left it hibernated"},
        {"mkdir d && printf x > d/f", SIGKILL, "mounted read-only: the volume is marked dirty"},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.reason);
        const std::string image = dir.File("vol.img");
        ASSERT_EQ(RunTool("mkfs " + Q(image) + " --size 32M --force").exitCode, 0);
        {
            Mount mounted(image, mount);
            ASSERT_TRUE(mounted.Ready()) << mounted.Log();
            EXPECT_EQ(RunIn(mount, "", "", row.script).exitCode, 0);
            mounted.Unmount(row.signal);
        }
        const std::vector<uint8_t> before = ReadFileBytes(image);
        Mount mounted(image, mount);
        ASSERT_TRUE(mounted.Ready()) << mounted.Log();
        const CommandResult run = RunIn(mount, "", "", "ls >/dev/null && ! touch new 2>/dev/null");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(mounted.Unmount(), 0);
        EXPECT_NE(mounted.Log().find(row.reason), std::string::npos) << mounted.Log();
        EXPECT_TRUE(ReadFileBytes(image) == before) << "a read-only mount changed the image";
    }
}
