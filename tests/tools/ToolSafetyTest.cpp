// Nothing lost and no surprise writes: the image lock, refusals without
// --force, read-only images, and a copy interrupted by SIGINT, checked with
// libntfs-3g's tools and The Sleuth Kit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "tools/ToolRunner.h"
#include "volkit/api.h"

namespace fs = std::filesystem;
using namespace volcore::test;

namespace {

class ToolSafety : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("ntfscat") || !HaveProgram("fls")) GTEST_SKIP() << "checkers missing";
        ImageOptions options;
        options.size = 32ull << 20;
        MakeNtfsImage(image, options);
        WriteFileBytes(dir.File("host.txt"), {'o', 'l', 'd'});
        ASSERT_EQ(RunTool("put " + Q(image) + " " + Q(dir.File("host.txt")) + " /f.txt").exitCode, 0);
    }

    TempDir dir;
    std::string image = dir.File("vol.img");
};

}  // namespace

TEST_F(ToolSafety, ASessionLocksTheImageAgainstOtherWriters) {
    if (!HaveProgram("flock")) GTEST_SKIP() << "flock missing";
    WriteFileBytes(dir.File("big"), std::vector<uint8_t>(4 << 20, 1));
    ASSERT_EQ(RunTool("put " + Q(image) + " " + Q(dir.File("big")) + " /big").exitCode, 0);
    // A reader stalled on a full pipe holds its shared lock until the marker appears. Its
    // first bytes say it holds the lock: a probe that took the lock itself could make the
    // reader, starting late on a loaded machine, find the image busy.
    const std::string started = dir.File("started"), done = dir.File("done");
    RunCommand("(" + ToolCommand() + " cat " + Q(image) + " /big | (head -c 1 >/dev/null; touch " + Q(started) +
               "; while [ ! -e " + Q(done) + " ]; do sleep 0.05; done; cat >/dev/null)) >/dev/null 2>&1 &");
    ASSERT_EQ(RunCommand("for i in $(seq 2400); do [ -e " + Q(started) + " ] && exit 0; sleep 0.05; done; exit 1").exitCode, 0);
    ExpectRows({{"ls IMG", 0, ""},
                {"mkdir IMG /d", 1, "is in use by another program"},
                {"mkfs --force IMG", 1, "is in use by another program"}},
               image);
    WriteFileBytes(done, {});
    EXPECT_EQ(RunCommand("flock -w 120 -x " + Q(image) + " true").exitCode, 0);
    EXPECT_EQ(RunTool("mkdir " + Q(image) + " /d").exitCode, 0);
}

TEST_F(ToolSafety, NothingIsOverwrittenWithoutForce) {
    fs::create_directory(dir.File("cased"));
    WriteFileBytes(dir.File("cased/A.txt"), {'A'});
    WriteFileBytes(dir.File("cased/a.txt"), {'a'});
    WriteFileBytes(dir.File("cased/0:1"), {'0'});  // copied first, refused by the volume, skipped
    std::vector<uint8_t> disk(8 << 20);
    disk[446 + 4] = 0x07, disk[446 + 8] = 8, disk[446 + 12] = 16, disk[510] = 0x55, disk[511] = 0xAA;
    WriteFileBytes(dir.File("disk.img"), disk);
    ExpectRows({{"mkfs IMG", 1, "already holds a partition table"}}, dir.File("disk.img"));
    ExpectRows({{"mkfs IMG", 1, "already holds an NTFS file system (use --force"},
                {"put IMG " + Q(dir.File("host.txt")) + " /f.txt", 1, "/f.txt: exists (use --force"},
                {"get IMG /f.txt " + Q(dir.File("host.txt")), 1, "exists (use --force"}},
               image);
    EXPECT_EQ(ReadFileBytes(dir.File("host.txt")), (std::vector<uint8_t>{'o', 'l', 'd'}));

    ToolResult cased = RunTool("put -r " + Q(image) + " " + Q(dir.File("cased")) + " /");
    EXPECT_EQ(cased.exitCode, 1);
    EXPECT_NE(cased.err.find("differs only in case from 'A.txt'"), std::string::npos) << cased.err;
    EXPECT_NE(cased.err.find("put /cased/0:1: name contains a character that is not allowed"), std::string::npos);
    EXPECT_EQ(RunCommand("ntfscat " + Q(image) + " /cased/A.txt").output, "A");

    WriteFileBytes(dir.File("new.txt"), {'n', 'e', 'w'});
    ASSERT_EQ(RunTool("put --force " + Q(image) + " " + Q(dir.File("new.txt")) + " /f.txt").exitCode, 0);
    EXPECT_EQ(RunCommand("ntfscat " + Q(image) + " /f.txt").output, "new");
    ASSERT_EQ(RunTool("get " + Q(image) + " /f.txt " + Q(dir.File("host.txt")) + " --force").exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir.File("host.txt")), ReadFileBytes(dir.File("new.txt")));
}

// A session that did not finish leaves the volume marked dirty: every writing
// command refuses it (reading ones still work) unless --force is given, and
// info shows the flag and whether Windows left the volume hibernated.
TEST_F(ToolSafety, ADirtyVolumeIsWrittenOnlyWithForce) {
    {
        MemoryDevice device(ReadFileBytes(image));
        volkit::api::NtfsVolumeHandle volume;
        volkit::api::NtfsDirHandle half;
        ASSERT_TRUE(volkit::api::NtfsOpenVolume(device.Api(), volume));
        ASSERT_TRUE(volkit::api::NtfsCreateDir(L"half", half, volume));
        device.failWrite = [](uint64_t, uint32_t) { return true; };  // the session never finishes
        volkit::api::NtfsCloseDir(half);
        volkit::api::NtfsCloseVolume(volume);
        WriteFileBytes(image, device.Bytes());
    }
    const std::string refusal = ": the volume is marked dirty (a session did not finish): run 'volkit check "
                                "--repair' first, or use --force\n";
    ExpectRows({{"mkdir IMG /x", 1, "volkit: mkdir " + image + refusal},
                {"put IMG " + Q(dir.File("host.txt")) + " /g.txt", 1, "volkit: put " + image + refusal},
                {"rm IMG /f.txt", 1, refusal},
                {"ls IMG", 0, ""}},
               image);
    EXPECT_NE(RunTool("info " + Q(image)).out.find("\ndirty:            yes (a session did not finish"), std::string::npos);
    EXPECT_NE(RunTool("info --json " + Q(image)).out.find("\"dirty\": true,"), std::string::npos);
    ASSERT_EQ(RunTool("mkdir --force " + Q(image) + " /x").exitCode, 0);

    WriteFileBytes(dir.File("hiberfil.sys"), {'h', 'i', 'b', 'r', 0, 0, 0, 0});
    ASSERT_EQ(RunTool("put --force " + Q(image) + " " + Q(dir.File("hiberfil.sys")) + " /").exitCode, 0);
    for (const char* engine : {"native", "ntfs3g"}) {
        const ToolResult info = RunTool(std::string("--engine ") + engine + " info --json " + Q(image));
        EXPECT_NE(info.out.find("\"hibernated\": true,\n  \"logFile\": \"clean\""), std::string::npos) << info.out;
    }
}

// Read-only volumes written by libntfs-3g (a hard link, an 8.3 name) and by
// Windows (the corpus), read by nobody where we are root: every reading
// command works, writes nothing, and both engines say the same.
TEST_F(ToolSafety, ReadingCommandsWriteNothingAndBothEnginesAgree) {
    {
        Ntfs3gTree writer(image);
        writer.MakeDirectory(u"Program Files");
        writer.MakeFile(u"Program Files\\read me.txt", {'h', 'e', 'l', 'l', 'o'});
        writer.Link(u"Program Files\\read me.txt", u"link.txt");
        writer.SetDosName(u"Program Files", "PROGRA~1");
    }
    std::vector<std::string> images = {image};
    if (const fs::path corpus = SharedCorpusDir(); !corpus.empty()) {
        RunCommand("tar -xJf " + Q((corpus / "ntfs_default.img.tar.xz").string()) + " -C " + Q(dir.Path().string()));
        images.push_back(dir.File("ntfs_default.img"));
    }
    const bool root = ::geteuid() == 0 && HaveProgram("setpriv");
    const std::string prefix = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    fs::create_directory(dir.File("out"));
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(dir.File("out"), fs::perms::all);
    for (size_t i = 0; i < images.size(); ++i) {
        fs::permissions(images[i], fs::perms::owner_read | fs::perms::others_read);
        const std::vector<uint8_t> before = ReadFileBytes(images[i]);
        for (const std::string command :
             {"ls -lRa IMG /", "stat --json IMG /", "cat IMG '/$Boot'", "info --json IMG", "check IMG",
              "get -r IMG / "}) {
            std::string said[2];
            for (const std::string engine : {"native", "ntfs3g"}) {
                std::string line = command + (command.back() == ' ' ? Q(dir.File("out/" + engine) + char('0' + i)) : "");
                line.replace(line.find("IMG"), 3, Q(images[i]));
                CommandResult run = RunCommand(prefix + ToolCommand() + " --engine " + engine + " " + line + " </dev/null");
                EXPECT_EQ(run.exitCode, 0) << line << engine << ": " << run.output;
                said[engine == "ntfs3g"] = run.output;
            }
            EXPECT_EQ(said[0], said[1]) << command;
        }
        EXPECT_TRUE(ReadFileBytes(images[i]) == before) << images[i];
    }
    EXPECT_EQ(RunCommand("diff -r " + Q(dir.File("out/native0")) + " " + Q(dir.File("out/ntfs3g0"))).output, "");
}

TEST_F(ToolSafety, InterruptedCopyLeavesAConsistentVolumeWithoutTheFile) {
    if (!HaveProgram("script") || !HaveProgram("ntfsfix")) GTEST_SKIP() << "script or ntfsfix missing";
    const std::string image = dir.File("large.img");
    // The source is sparse on the host, so it costs no disk here, and its holes are copied as
    // zeros, so it takes seconds: a loaded machine once let a 400 MiB copy end three times over
    // before the signal landed.
    ASSERT_EQ(RunTool("mkfs " + Q(image) + " --size 4G").exitCode, 0);
    RunCommand("head -c 1M /dev/urandom > " + Q(dir.File("large.bin")) + " && truncate -s 3G " + Q(dir.File("large.bin")));
    for (const char* engine : {"ntfs3g", "native"}) {
        const std::string pid = dir.File("pid"), log = dir.File("log");
        const std::string put = "echo $$ > " + Q(pid) + "; exec " + ToolCommand() + " --engine " + engine + " put " +
                                Q(image) + " " + Q(dir.File("large.bin")) + " /large.bin --no-holes";
        // `script` gives the tool a terminal, so the progress bar shows when the copy runs. On a
        // loaded machine the copy can end before the signal lands: then it is removed and tried again.
        CommandResult run;
        for (int attempt = 0; attempt < 3 && run.exitCode <= 0; ++attempt) {
            if (run.exitCode == 0) {
                ASSERT_EQ(RunTool("rm " + Q(image) + " /large.bin").exitCode, 0);
            }
            // The previous attempt's (or engine's) log and pid must not answer for this one: a stale
            // log let the signal go to a finished process before this copy had even begun.
            fs::remove(pid);
            fs::remove(log);
            run = RunCommand("script -qfec " + Q("sh -c " + Q(put)) + " " + Q(log) + " >/dev/null & " +
                             "for i in $(seq 500); do [ -s " + Q(pid) + " ] && grep -q 'put \\[' " + Q(log) +
                             " 2>/dev/null && break; sleep 0.02; done; kill -INT $(cat " + Q(pid) + "); wait $!");
        }
        EXPECT_EQ(run.exitCode, 130) << engine;
        const std::string said = RunCommand("cat " + Q(log)).output;
        EXPECT_NE(said.find("put ["), std::string::npos) << engine;  // a terminal gets a progress bar
        // On a line of its own, not at the end of the bar's.
        EXPECT_NE(said.find("\nvolkit: put: copy interrupted"), std::string::npos) << engine << said;
        EXPECT_EQ(RunCommand("ntfsls " + Q(image)).output, "") << engine;
        EXPECT_EQ(RunCommand("ntfsfix -n " + Q(image)).exitCode, 0) << engine;
        EXPECT_EQ(RunCommand("fls -r -p " + Q(image) + " | grep -v \"[*]\" | grep -c OrphanFiles/").output, "0\n") << engine;
    }
}
