// mkfs and info: the commands about the volume as a whole.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Progress.h"
#include "Session.h"
#include "Text.h"
#include "VolumeFacts.h"

namespace volcore::tool {
namespace {

std::optional<uint64_t> SizeOption(const SCommandLine& line, const char* name) {
    if (!line.Has(name)) return std::nullopt;
    auto size = ParseByteSize(line.options.at(name));
    if (!size || *size == 0) throw SUsageError{std::string(name) + " takes a size such as 64M or 2G"};
    return size;
}

// What the formatter takes: up to 2 MiB, as Windows 10 formats.
constexpr uint64_t kLargestClusterSize = 2 * 1024 * 1024;

unsigned ClusterSizeOption(const SCommandLine& line) {
    if (!line.Has("--cluster-size")) return 0;
    auto size = ParseByteSize(line.options.at("--cluster-size")).value_or(0);
    if (size < 512 || size > kLargestClusterSize || (size & (size - 1)) != 0)
        throw SUsageError{"cluster size must be a power of two from 512 to 2M"};
    return static_cast<unsigned>(size);
}

// Formatting over a file system or a partition table loses it; only --force does that.
bool RefuseToOverwrite(CSession& session) {
    const std::string content = RecognisedContent(session.Device());
    if (content.empty()) return false;
    ReportFailure("mkfs " + session.ImagePath(), "already holds " + content + " (use --force to format it anyway)");
    return true;
}

// The formatter takes at most 128 UTF-16 units; a code point past U+FFFF takes two.
constexpr size_t kLongestLabel = 128;

std::wstring LabelOption(const SCommandLine& line) {
    if (!line.Has("--label")) return {};
    const auto label = Utf8ToWide(line.options.at("--label"));
    if (!label) throw SUsageError{"--label takes UTF-8 text"};
    size_t units = 0;
    for (wchar_t c : *label) units += (static_cast<uint32_t>(c) >> 16 != 0) ? 2 : 1;
    if (units > kLongestLabel) throw SUsageError{"label must be at most 128 characters long"};
    return *label;
}

bool Format(CSession& session, const SCommandLine& line, unsigned clusterSize, const std::wstring& label) {
    CImageDevice& device = session.Device();
    volkit::api::NtfsFormatOptions options;
    options.quick = !line.Has("--full");
    options.clusterSize = clusterSize;
    options.label = label.c_str();
    // Boot loaders find the volume on its disk through this.
    if (line.global.partition) options.partitionStartSector = device.WindowOffset() / 512;
    CProgressBar progress("mkfs", device.WindowSize(), !options.quick);
    device.OnWrite([&](uint64_t bytes) { progress.Advance(bytes); });
    CDiagnostics::Clear();
    const bool ok = volkit::api::NtfsFormatVolume(device.HandleFamilyDevice(), options);
    device.OnWrite(nullptr);
    if (!ok) {
        // The library's line begins with its own "Failed to format NTFS volume: ".
        std::string reason = CDiagnostics::LastFailure();
        const std::string own = "Failed to format NTFS volume: ";
        if (reason.rfind(own, 0) == 0) reason.erase(0, own.size());
        ReportFailure("mkfs " + session.ImagePath(), "cannot format the volume: " + reason);
    }
    return ok;
}

// One fact of `info`: its line for people (none when null) and its JSON member.
struct SInfoField {
    const char* label;
    const char* key;
    std::string shown;
    std::string json;
};

// A yes/no fact, or unknown when it could not be read.
SInfoField StateField(const char* label, const char* key, bool known, bool value, const char* yes) {
    if (!known) return {label, key, "unknown", "null"};
    return {label, key, value ? yes : "no", value ? "true" : "false"};
}

std::vector<SInfoField> InfoFields(CSession& session, const SBootSectorFacts& boot, const SVolumeInfo& info,
                                  const SVolumeState& state) {
    auto number = [](uint64_t value) { return std::to_string(value); };
    auto bytes = [&](uint64_t value) { return number(value) + " bytes (" + HumanSize(value) + ")"; };
    char serial[20];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(boot.serialNumber));
    const CImageDevice& device = session.Device();
    const uint64_t total = info.totalClusters * info.clusterSize, free = info.freeClusters * info.clusterSize;
    const std::string version = number(info.majorVersion) + "." + number(info.minorVersion);
    return {
        {"image", "image", session.ImagePath(), JsonString(session.ImagePath())},
        {"volume offset", "volumeOffset", number(device.WindowOffset()), number(device.WindowOffset())},
        {"volume size", "volumeSize", bytes(device.WindowSize()), number(device.WindowSize())},
        {"bytes per sector", "bytesPerSector", number(boot.bytesPerSector), number(boot.bytesPerSector)},
        {"cluster size", "clusterSize", number(boot.clusterSize), number(boot.clusterSize)},
        {"sectors", "sectors", number(boot.totalSectors), number(boot.totalSectors)},
        {"MFT cluster", "mftCluster", number(boot.mftCluster) + " (mirror at " + number(boot.mftMirrorCluster) + ")",
         number(boot.mftCluster)},
        {nullptr, "mftMirrorCluster", "", number(boot.mftMirrorCluster)},
        {"MFT record size", "mftRecordSize", number(boot.mftRecordSize), number(boot.mftRecordSize)},
        {"index block size", "indexBlockSize", number(boot.indexBlockSize), number(boot.indexBlockSize)},
        {"serial number", "serialNumber", serial, JsonString(serial)},
        {"label", "label", info.label, JsonString(info.label)},
        {"NTFS version", "ntfsVersion", version, JsonString(version)},
        {"clusters", "totalClusters", number(info.totalClusters) + " total, " + number(info.freeClusters) + " free",
         number(info.totalClusters)},
        {nullptr, "freeClusters", "", number(info.freeClusters)},
        {"used space", "usedBytes", bytes(total - free), number(total - free)},
        {"free space", "freeBytes", bytes(free), number(free)},
        StateField("dirty", "dirty", state.flagsRead, state.dirty,
                   "yes (a session did not finish: run 'volkit check --repair')"),
        StateField("hibernated", "hibernated", state.tracesRead, state.hibernated,
                   "yes (hiberfil.sys holds a hibernated Windows)"),
        !state.tracesRead     ? SInfoField{"$LogFile", "logFile", "unknown", "null"}
        : state.logFileClean ? SInfoField{"$LogFile", "logFile", "clean", "\"clean\""}
                             : SInfoField{"$LogFile", "logFile", "unclean (changes Windows has not replayed)",
                                         "\"unclean\""},
    };
}

void PrintInfo(const std::vector<SInfoField>& fields, bool json) {
    if (!json) {
        for (const SInfoField& field : fields)
            if (field.label) std::printf("%-18s%s\n", (std::string(field.label) + ":").c_str(), field.shown.c_str());
        return;
    }
    std::printf("{");
    for (size_t i = 0; i < fields.size(); ++i)
        std::printf("%s\n  \"%s\": %s", i == 0 ? "" : ",", fields[i].key, fields[i].json.c_str());
    std::printf("\n}\n");
}

}  // namespace

namespace {

int MakeVolume(const SCommandLine& line) {
    const std::string& image = line.operands[0];
    const auto size = SizeOption(line, "--size");
    const unsigned clusterSize = ClusterSizeOption(line);
    const std::wstring label = LabelOption(line);
    // Only a size says how large a new image file is to be.
    const bool mayCreate = size && !line.global.partition;
    CSession session;
    if (!session.OpenDevice(line, mayCreate ? platform::EAccess::Create : platform::EAccess::Write)) return kExitFailed;
    CImageDevice& device = session.Device();
    if (!line.Has("--force") && RefuseToOverwrite(session)) return kExitFailed;
    std::string error;
    if (mayCreate && !device.Grow(*size, error)) {
        ReportFailure("mkfs " + image, "cannot size the image: " + error);
        return kExitFailed;
    }
    // A larger image keeps its tail; the volume is the size asked for.
    if (size && *size < device.WindowSize()) device.SetWindow(device.WindowOffset(), *size);
    if (size && *size > device.WindowSize()) {
        ReportFailure("mkfs " + image, "the device is smaller than --size");
        return kExitFailed;
    }
    if (!Format(session, line, clusterSize, label) || !session.Close()) return kExitFailed;
    std::printf("formatted %s: %s NTFS volume%s\n", image.c_str(), HumanSize(device.WindowSize()).c_str(),
                line.Has("--full") ? " (full format)" : "");
    return kExitDone;
}

}  // namespace

int RunMkfs(const SCommandLine& line) {
    const std::filesystem::path image = HostPath(line.operands[0]);
    std::error_code error;
    const bool existed = std::filesystem::exists(std::filesystem::symlink_status(image, error));
    const int result = MakeVolume(line);
    // A failed format leaves no new file behind; an image that was there stays.
    if (result != kExitDone && !existed) std::filesystem::remove(image, error);
    return result;
}

int RunInfo(const SCommandLine& line) {
    CSession session;
    if (!session.OpenDevice(line, platform::EAccess::Read)) return kExitFailed;
    CImageDevice& device = session.Device();
    SBootSectorFacts boot;
    if (!session.CheckBootSector(line, boot)) return kExitFailed;
    SVolumeInfo info;
    CDiagnostics::Clear();
    if (!QueryVolumeInfo(device, info)) {
        ReportFailure("info " + session.ImagePath());
        return kExitFailed;
    }
    SVolumeState state;
    QueryVolumeState(device, state);
    PrintInfo(InfoFields(session, boot, info, state), line.Has("--json"));
    return kExitDone;
}

}  // namespace volcore::tool
