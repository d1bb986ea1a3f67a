// Device faults during a fixed workload, one run per failing transfer: the
// caller hears of the failure, the volume is left consistent apart from
// leaks, it opens again with both engines, and every file closed before the
// fault reads back intact.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "InteropSupport.h"
#include "support/FamilyDevice.h"
#include "support/LogCapture.h"
#include "support/VolumeCheck.h"
#include "volkit/filesystem.h"

using namespace volcore::test;
namespace api = volkit::api;
namespace fs = volkit;

namespace {

// Path (as the workload spells it) to the contents of a file closed without
// a failure; a file leaves the map while it is being changed.
using Closed = std::map<std::string, Bytes>;

std::string Backslashed(std::string path) {
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

std::wstring Wide(const std::string& path) {
    const std::string backslashed = Backslashed(path);
    return std::wstring(backslashed.begin(), backslashed.end());
}

// The steps both families run: store(path, create, size, seed) writes a
// whole file and closes it, erase deletes one, mkdir/rmdir a directory,
// move(from, to, isDirectory) renames, link(target, name) adds a name.
struct SWorkload {
    std::function<bool(const std::string&, bool, size_t, uint32_t)> store;
    std::function<bool(const std::string&)> erase;
    std::function<bool(const std::string&)> mkdir;
    std::function<bool(const std::string&)> rmdir;
    std::function<bool(const std::string&, const std::string&, bool)> move;
    std::function<bool(const std::string&, const std::string&)> link;
};

// Files under `from` leave the map while they move and come back under `to`
// when the move worked; a link adds the target's contents under the new name.
bool TrackMove(Closed& closed, const std::string& from, const std::string& to, bool moved) {
    Closed kept;
    for (auto it = closed.begin(); it != closed.end();) {
        if (it->first == from || it->first.rfind(from + "/", 0) == 0) {
            kept[to + it->first.substr(from.size())] = it->second;
            it = closed.erase(it);
        } else {
            ++it;
        }
    }
    if (moved) closed.merge(kept);
    return moved;
}

bool TrackLink(Closed& closed, const std::string& target, const std::string& name, bool linked) {
    if (linked && closed.count(target)) closed[name] = closed[target];
    return linked;
}

// Stops at the first step that fails; returns whether all of them worked.
bool RunWorkload(const SWorkload& steps) {
    if (!steps.mkdir("docs") || !steps.mkdir("docs/sub")) return false;
    if (!steps.store("docs/a", true, 3000, 1) || !steps.store("docs/b", true, 100, 2)) return false;
    if (!steps.store("docs/sub/c", true, 70000, 3)) return false;
    for (int i = 0; i < 12; ++i)  // enough names to move the index out of its record
        if (!steps.store("docs/many file " + std::to_string(i), true, 10, i)) return false;
    if (!steps.store("docs/a", false, 150000, 4) || !steps.store("docs/sub/c", false, 700, 5)) return false;
    if (!steps.store("docs/gone", true, 20000, 6) || !steps.erase("docs/gone")) return false;
    if (!steps.mkdir("docs/empty") || !steps.rmdir("docs/empty")) return false;
    // Names: a rename in place, a change of case, moves of a file and of a
    // directory, a hard link and the removal of one of two names.
    if (!steps.move("docs/many file 3", "docs/renamed 3", false)) return false;
    if (!steps.move("docs/b", "docs/B", false)) return false;
    if (!steps.move("docs/a", "docs/sub/a", false) || !steps.move("docs/sub", "moved sub", true)) return false;
    if (!steps.link("moved sub/c", "docs/c link") || !steps.erase("moved sub/c")) return false;
    return steps.erase("docs/B");
}

SWorkload HandleSteps(api::NtfsVolumeHandle volume, Closed& closed) {
    SWorkload steps;
    steps.store = [volume, &closed](const std::string& path, bool create, size_t size, uint32_t seed) {
        closed.erase(path);
        api::NtfsFileHandle file;
        if (!(create ? api::NtfsCreateFile : api::NtfsOpenFile)(Wide(path).c_str(), file, volume)) return false;
        Bytes data = Pattern(size, seed);
        bool ok = api::SetFileSize(size, file) && api::NtfsWriteFile(0, data.data(), unsigned(size), file);
        ok = api::NtfsCloseFile(file) && ok;
        if (ok) closed[path] = data;
        return ok;
    };
    steps.erase = [volume, &closed](const std::string& path) {
        closed.erase(path);
        api::NtfsFileHandle file;
        return api::NtfsOpenFile(Wide(path).c_str(), file, volume) && api::NtfsDeleteFile(file);
    };
    steps.mkdir = [volume](const std::string& path) {
        api::NtfsDirHandle dir;
        return api::NtfsCreateDir(Wide(path).c_str(), dir, volume) && api::NtfsCloseDir(dir);
    };
    steps.rmdir = [volume](const std::string& path) {
        api::NtfsDirHandle dir;
        return api::NtfsOpenDir(Wide(path).c_str(), dir, volume) && api::NtfsDeleteDir(dir);
    };
    steps.move = [volume, &closed](const std::string& from, const std::string& to, bool isDirectory) {
        api::NtfsDirHandle dir;
        api::NtfsFileHandle file;
        bool moved = isDirectory ? api::NtfsOpenDir(Wide(from).c_str(), dir, volume) &&
                                       api::NtfsMoveDir(Wide(to).c_str(), false, dir)
                                 : api::NtfsOpenFile(Wide(from).c_str(), file, volume) &&
                                       api::NtfsMoveFile(Wide(to).c_str(), false, file);
        if (dir.ptr) moved = api::NtfsCloseDir(dir) && moved;
        if (file.ptr) moved = api::NtfsCloseFile(file) && moved;
        return TrackMove(closed, from, to, moved);
    };
    steps.link = [volume, &closed](const std::string& target, const std::string& name) {
        api::NtfsFileHandle file;
        bool linked = api::NtfsOpenFile(Wide(target).c_str(), file, volume);
        linked = linked && api::NtfsCreateHardLink(Wide(name).c_str(), file);
        if (file.ptr) linked = api::NtfsCloseFile(file) && linked;
        return TrackLink(closed, target, name, linked);
    };
    return steps;
}

SWorkload FamilySteps(fs::filesystem::handle volume, Closed& closed) {
    SWorkload steps;
    steps.store = [volume, &closed](const std::string& path, bool create, size_t size, uint32_t seed) {
        closed.erase(path);
        fs::file::handle file;
        if (!(create ? fs::file::create : fs::file::open)(file, path.c_str(), volume)) return false;
        Bytes data = Pattern(size, seed);
        bool ok = fs::file::setSize(file, size) && fs::file::write(file, 0, data.data(), uint32_t(size));
        ok = fs::file::close(file) && ok;
        if (ok) closed[path] = data;
        return ok;
    };
    steps.erase = [volume, &closed](const std::string& path) {
        closed.erase(path);
        return fs::file::remove(path.c_str(), volume);
    };
    steps.mkdir = [volume](const std::string& path) { return fs::directory::create(path.c_str(), volume); };
    steps.rmdir = [volume](const std::string& path) { return fs::directory::remove(path.c_str(), volume); };
    steps.move = [volume, &closed](const std::string& from, const std::string& to, bool isDirectory) {
        return TrackMove(closed, from, to, (isDirectory ? fs::directory::rename : fs::file::rename)(
                                               from.c_str(), to.c_str(), false, volume));
    };
    steps.link = [volume, &closed](const std::string& target, const std::string& name) {
        return TrackLink(closed, target, name, fs::file::link(target.c_str(), name.c_str(), volume));
    };
    return steps;
}

// Runs the workload through one family; returns whether every call worked.
using FamilyRun = std::function<bool(MemoryDevice&, Closed&, std::vector<std::string>& errors)>;

bool RunThroughHandles(MemoryDevice& memory, Closed& closed, std::vector<std::string>& errors) {
    LogCapture log;
    api::NtfsVolumeHandle volume;
    if (!api::NtfsOpenVolume(memory.Api(), volume)) return errors = log.Errors(), false;
    bool ok = RunWorkload(HandleSteps(volume, closed));
    ok = api::NtfsCloseVolume(volume) && ok;
    errors = log.Errors();
    return ok;
}

bool RunThroughFamily(MemoryDevice& memory, Closed& closed, std::vector<std::string>& errors) {
    FamilyLogCapture log;
    fs::filesystem::device device = FamilyDeviceOf(memory);
    fs::filesystem::handle volume;
    if (!fs::filesystem::open(volume, device)) return errors = log.Errors(), false;
    bool ok = RunWorkload(FamilySteps(volume, closed));
    ok = fs::filesystem::close(volume) && ok;
    errors = log.Errors();
    return ok;
}

// What a volume must be after a run, whatever failed: checked by our check,
// opened by both engines, and holding every file in `closed` unchanged as the
// handle family reads it; marked dirty after a failed write, clean after a run
// without failures.
void ExpectIntact(MemoryDevice memory, const Closed& closed, const std::string& where, std::optional<bool> dirtyAfter) {
    memory.failRead = memory.failWrite = nullptr;
    const CheckOutcome check = CheckVolume(memory.Api());
    EXPECT_TRUE(check.ran && check.damage.empty()) << where << check.Describe();

    LogCapture log;
    api::NtfsVolumeHandle volume;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume)) << where << testing::PrintToString(log.Errors());
    const bool dirty = log.Contains("Volume is marked dirty: a consistency check is pending; it stays marked");
    EXPECT_TRUE(!dirtyAfter || dirty == *dirtyAfter) << where;
    for (const auto& [path, data] : closed) {
        try {
            EXPECT_EQ(ReadThroughHandles(volume, U16(Backslashed(path))), data) << where << path;
        } catch (const std::exception& e) {
            ADD_FAILURE() << where << e.what();
        }
    }
    EXPECT_TRUE(api::NtfsCloseVolume(volume)) << where;

    FamilyLogCapture familyLog;
    fs::filesystem::device device = FamilyDeviceOf(memory);
    fs::filesystem::handle mounted;
    ASSERT_TRUE(fs::filesystem::open(mounted, device)) << where << testing::PrintToString(familyLog.Errors());
    EXPECT_TRUE(fs::filesystem::close(mounted)) << where;
}

// Fails the k-th write or read of each run, for every k. A family that
// `staysDirty` keeps the volume marked after a failed write.
void RunEveryFault(const FamilyRun& run, bool staysDirty) {
    MemoryDevice fresh = FormattedMemoryDevice(8 << 20);
    fresh.writeCount = fresh.readCount = 0;
    MemoryDevice counted = fresh;
    Closed closed;
    std::vector<std::string> errors;
    ASSERT_TRUE(run(counted, closed, errors)) << testing::PrintToString(errors);
    ExpectIntact(counted, closed, "without faults: ", false);
    const uint64_t writes = counted.writeCount, reads = counted.readCount;

    for (bool onWrite : {true, false}) {
        for (uint64_t k = 1; k <= (onWrite ? writes : reads); ++k) {
            const std::string where = std::string(onWrite ? "write " : "read ") + std::to_string(k) + ": ";
            MemoryDevice memory = fresh;
            const uint64_t& count = onWrite ? memory.writeCount : memory.readCount;
            (onWrite ? memory.failWrite : memory.failRead) = [&count, k](uint64_t, uint32_t) { return count == k; };
            closed.clear();
            EXPECT_FALSE(run(memory, closed, errors)) << where;
            EXPECT_FALSE(errors.empty()) << where;
            const std::optional<bool> dirtyAfter = onWrite && staysDirty ? std::optional(true) : std::nullopt;
            ExpectIntact(memory, closed, where, dirtyAfter);
        }
    }
}

}  // namespace

// libntfs-3g's own failure paths leak, and nothing outside can tell when: a
// delete whose inode write-back fails keeps the inodes it was handed, and a
// mount whose read fails part-way keeps some of what it opened. Only those
// leaks are excused in the sanitizer build, told apart by full stacks (the
// fast unwinder stops inside libntfs-3g).
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:ntfs_delete\nleak:ntfs_device_mount\nleak:RemoveObject\n";
}
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

TEST(Faults, HandleFamilyWorkload) { RunEveryFault(RunThroughHandles, false); }

TEST(Faults, FilesystemFamilyWorkload) { RunEveryFault(RunThroughFamily, true); }
