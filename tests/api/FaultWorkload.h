#pragma once
// The workload steps that the fault and power-cut tests run through either
// family, and what they remember of the calls that returned true.
#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "InteropSupport.h"
#include "support/FamilyDevice.h"
#include "support/LogCapture.h"
#include "volkit/api.h"
#include "volkit/filesystem.h"

namespace volcore::test {

// Path (as the workload spells it) to the contents of a file closed without a
// failure, or nothing for one whose delete returned true; a file leaves the
// map while it is being changed.
using Closed = std::map<std::string, std::optional<Bytes>>;

inline std::string Backslashed(std::string path) {
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

inline std::wstring Wide(const std::string& path) {
    const std::string backslashed = Backslashed(path);
    return std::wstring(backslashed.begin(), backslashed.end());
}

// store(path, create, size, seed) writes a whole file and closes it, erase
// deletes one, mkdir/rmdir a directory, stamp sets the times and attributes
// of a file or directory, move(from, to, isDirectory) renames, link(target,
// name) adds a name.
struct SWorkload {
    std::function<bool(const std::string&, bool, size_t, uint32_t)> store;
    std::function<bool(const std::string&)> erase;
    std::function<bool(const std::string&)> mkdir;
    std::function<bool(const std::string&)> rmdir;
    std::function<bool(const std::string&, bool directory)> stamp;
    std::function<bool(const std::string&, const std::string&, bool)> move;
    std::function<bool(const std::string&, const std::string&)> link;
};

// Files under `from` leave the map while they move and come back under `to`
// when the move worked; a link adds the target's contents under the new name.
inline bool TrackMove(Closed& closed, const std::string& from, const std::string& to, bool moved) {
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

inline bool TrackLink(Closed& closed, const std::string& target, const std::string& name, bool linked) {
    if (linked && closed.count(target)) closed[name] = closed[target];
    return linked;
}

inline SWorkload HandleSteps(volkit::api::NtfsVolumeHandle volume, Closed& closed) {
    namespace api = volkit::api;
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
        if (!api::NtfsOpenFile(Wide(path).c_str(), file, volume)) return false;
        if (!api::NtfsDeleteFile(file)) {
            api::NtfsCloseFile(file);  // a failed delete leaves the handle open
            return false;
        }
        closed[path] = std::nullopt;
        return true;
    };
    steps.mkdir = [volume](const std::string& path) {
        api::NtfsDirHandle dir;
        return api::NtfsCreateDir(Wide(path).c_str(), dir, volume) && api::NtfsCloseDir(dir);
    };
    steps.rmdir = [volume](const std::string& path) {
        api::NtfsDirHandle dir;
        if (!api::NtfsOpenDir(Wide(path).c_str(), dir, volume)) return false;
        if (api::NtfsDeleteDir(dir)) return true;
        api::NtfsCloseDir(dir);
        return false;
    };
    steps.stamp = [volume](const std::string& path, bool directory) {
        const api::NtfsAttributesAndTime values{0x01D0000000000000, 0x01D1000000000000, 0x01D2000000000000,
                                                directory ? 0x10u : 0x20u};
        if (directory) {
            api::NtfsDirHandle dir;
            if (!api::NtfsOpenDir(Wide(path).c_str(), dir, volume)) return false;
            bool ok = api::SetDirAttributesAndTime(values, dir);
            return api::NtfsCloseDir(dir) && ok;
        }
        api::NtfsFileHandle file;
        if (!api::NtfsOpenFile(Wide(path).c_str(), file, volume)) return false;
        bool ok = api::SetFileAttributesAndTime(values, file);
        return api::NtfsCloseFile(file) && ok;
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

inline SWorkload FamilySteps(volkit::filesystem::handle volume, Closed& closed) {
    namespace fs = volkit;
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
        if (!fs::file::remove(path.c_str(), volume)) return false;
        closed[path] = std::nullopt;
        return true;
    };
    steps.mkdir = [volume](const std::string& path) { return fs::directory::create(path.c_str(), volume); };
    steps.rmdir = [volume](const std::string& path) { return fs::directory::remove(path.c_str(), volume); };
    steps.stamp = [volume](const std::string& path, bool) {
        fs::file::handle file;
        if (!fs::file::open(file, path.c_str(), volume)) return false;
        fs::file::attributes values{};
        bool ok = fs::file::getAttributes(file, values);
        values.fileAttributes ^= 0x2;  // hidden
        values.lastWriteTime = 0x01D2000000000000;
        ok = ok && fs::file::setAttributes(file, values);
        return fs::file::close(file) && ok;
    };
    steps.move = [volume, &closed](const std::string& from, const std::string& to, bool isDirectory) {
        return TrackMove(closed, from, to, (isDirectory ? fs::directory::rename : fs::file::rename)(
                                               from.c_str(), to.c_str(), false, volume));
    };
    steps.link = [volume, &closed](const std::string& target, const std::string& name) {
        return TrackLink(closed, target, name, fs::file::link(target.c_str(), name.c_str(), volume));
    };
    return steps;
}

// Runs steps until one fails; returns whether all of them worked.
using WorkloadBody = std::function<bool(const SWorkload&)>;

// One session: opens the volume through a family, runs `body`, closes the
// volume; returns whether every call worked, with the Error lines.
inline bool SessionThroughHandles(MemoryDevice& memory, Closed& closed, const WorkloadBody& body,
                                  std::vector<std::string>& errors) {
    LogCapture log;
    volkit::api::NtfsVolumeHandle volume;
    if (!volkit::api::NtfsOpenVolume(memory.Api(), volume)) return errors = log.Errors(), false;
    bool ok = body(HandleSteps(volume, closed));
    ok = volkit::api::NtfsCloseVolume(volume) && ok;
    errors = log.Errors();
    return ok;
}

inline bool SessionThroughFamily(MemoryDevice& memory, Closed& closed, const WorkloadBody& body,
                                 std::vector<std::string>& errors) {
    FamilyLogCapture log;
    volkit::filesystem::device device = FamilyDeviceOf(memory);
    volkit::filesystem::handle volume;
    if (!volkit::filesystem::open(volume, device)) return errors = log.Errors(), false;
    bool ok = body(FamilySteps(volume, closed));
    ok = volkit::filesystem::close(volume) && ok;
    errors = log.Errors();
    return ok;
}

// Whether libntfs-3g mounts the volume and unmounts it again.
inline bool Libntfs3gMounts(MemoryDevice memory) {
    FamilyLogCapture log;
    volkit::filesystem::device device = FamilyDeviceOf(memory);
    volkit::filesystem::handle mounted;
    return volkit::filesystem::open(mounted, device) && volkit::filesystem::close(mounted);
}

// What the handle family finds different from `closed`: a file that does not
// read back as it was closed, or one whose delete returned true and is back.
inline std::vector<std::string> LostObjects(volkit::api::NtfsVolumeHandle volume, const Closed& closed) {
    std::vector<std::string> lost;
    for (const auto& [path, data] : closed) {
        if (!data) {
            volkit::api::NtfsFileHandle file;
            if (volkit::api::NtfsOpenFile(Wide(path).c_str(), file, volume)) {
                lost.push_back(path + " is back after its delete");
                volkit::api::NtfsCloseFile(file);
            }
            continue;
        }
        try {
            if (ReadThroughHandles(volume, U16(Backslashed(path))) != *data) lost.push_back(path + " differs");
        } catch (const std::exception& e) {
            lost.push_back(path + ": " + e.what());
        }
    }
    return lost;
}

}  // namespace volcore::test
