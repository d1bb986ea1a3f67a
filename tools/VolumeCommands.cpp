// mkfs and info: the commands about the volume as a whole.
#include <cstdio>

#include "Commands.h"
#include "Diagnostics.h"
#include "Progress.h"
#include "Session.h"
#include "Text.h"
#include "VolumeFacts.h"

namespace volkit::tool {
namespace {

std::optional<uint64_t> SizeOption(const CommandLine& line, const char* name) {
    if (!line.Has(name)) return std::nullopt;
    auto size = ParseByteSize(line.options.at(name));
    if (!size || *size == 0) throw UsageError{std::string(name) + " takes a size such as 64M or 2G"};
    return size;
}

unsigned ClusterSizeOption(const CommandLine& line) {
    auto size = SizeOption(line, "--cluster-size").value_or(0);
    if (size != 0 && (size < 512 || size > (2u << 20) || (size & (size - 1)) != 0))
        throw UsageError{"--cluster-size takes a power of two from 512 to 2M"};
    return static_cast<unsigned>(size);
}

void PrintVolumeInfo(const filesystem::volumeInfo& info) {
    const uint64_t total = info.totalClusters * info.clusterSize, free = info.freeClusters * info.clusterSize;
    std::printf("label:            %s\n", info.label);
    std::printf("NTFS version:     %u.%u\n", info.majorVersion, info.minorVersion);
    std::printf("clusters:         %llu total, %llu free\n", static_cast<unsigned long long>(info.totalClusters),
                static_cast<unsigned long long>(info.freeClusters));
    std::printf("used space:       %llu bytes (%s)\n", static_cast<unsigned long long>(total - free),
                HumanSize(total - free).c_str());
    std::printf("free space:       %llu bytes (%s)\n", static_cast<unsigned long long>(free), HumanSize(free).c_str());
}

}  // namespace

int RunMkfs(const CommandLine& line) {
    const std::string& image = line.operands[0];
    const auto size = SizeOption(line, "--size");
    const unsigned clusterSize = ClusterSizeOption(line);
    std::string error;
    if (size && !line.global.offset && !line.global.partition && !ExtendImageFile(image, *size, error)) {
        ReportFailure("mkfs", error);
        return kExitFailed;
    }
    Session session;
    if (!session.OpenDevice(line, false)) return kExitFailed;
    ImageDevice& device = session.Device();
    // A larger image keeps its tail; the volume is the size asked for.
    if (size && *size < device.WindowSize()) device.SetWindow(device.WindowOffset(), *size);
    if (size && *size > device.WindowSize()) {
        ReportFailure("mkfs " + image, "the device is smaller than --size");
        return kExitFailed;
    }
    const bool full = line.Has("--full");
    ProgressBar progress("mkfs", device.WindowSize(), full);
    device.OnWrite([&](uint64_t bytes) { progress.Advance(bytes); });
    filesystem::device callbacks = device.FilesystemFamilyDevice();
    Diagnostics::Clear();
    bool ok = filesystem::format(!full, clusterSize, callbacks) && device.Flush();
    device.OnWrite(nullptr);
    if (!ok) {
        ReportFailure("mkfs " + image);
        return kExitFailed;
    }
    std::printf("formatted %s: %s NTFS volume%s\n", image.c_str(), HumanSize(device.WindowSize()).c_str(),
                full ? " (full format)" : "");
    return kExitDone;
}

int RunInfo(const CommandLine& line) {
    Session session;
    if (!session.OpenDevice(line, true)) return kExitFailed;
    ImageDevice& device = session.Device();
    BootSectorFacts boot;
    std::string error;
    if (!ReadBootSector(device, boot, error)) {
        ReportFailure("info " + session.ImagePath(), error);
        return kExitFailed;
    }
    filesystem::volumeInfo info;
    Diagnostics::Clear();
    if (!QueryVolumeInfo(device, info)) {
        ReportFailure("info " + session.ImagePath());
        return kExitFailed;
    }
    std::printf("image:            %s\n", session.ImagePath().c_str());
    std::printf("volume offset:    %llu\n", static_cast<unsigned long long>(device.WindowOffset()));
    std::printf("volume size:      %llu bytes (%s)\n", static_cast<unsigned long long>(device.WindowSize()),
                HumanSize(device.WindowSize()).c_str());
    std::printf("bytes per sector: %u\n", boot.bytesPerSector);
    std::printf("cluster size:     %u\n", boot.clusterSize);
    std::printf("sectors:          %llu\n", static_cast<unsigned long long>(boot.totalSectors));
    std::printf("MFT cluster:      %llu (mirror at %llu)\n", static_cast<unsigned long long>(boot.mftCluster),
                static_cast<unsigned long long>(boot.mftMirrorCluster));
    std::printf("MFT record size:  %u\n", boot.mftRecordSize);
    std::printf("index block size: %u\n", boot.indexBlockSize);
    std::printf("serial number:    %016llX\n", static_cast<unsigned long long>(boot.serialNumber));
    PrintVolumeInfo(info);
    return kExitDone;
}

}  // namespace volkit::tool
