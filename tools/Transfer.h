#pragma once
// Copying whole files and trees between the host and the volume.
#include <cstdint>
#include <cstdio>
#include <string>
#include <filesystem>

#include "Engine.h"
#include "Progress.h"

namespace volkit::tool {

// What a host tree will take on the volume: data bytes and how many objects.
struct HostTreeSize {
    uint64_t dataBytes = 0;
    uint64_t files = 0;
    uint64_t directories = 0;
};
HostTreeSize MeasureHostTree(const std::filesystem::path& source, bool recursive);
// Bytes of free space the copy needs on a volume with `clusterSize`; errs high.
uint64_t SpaceNeeded(const HostTreeSize& size, uint32_t clusterSize);

// Bytes the files of a volume tree hold (for the progress bar).
uint64_t MeasureVolumeTree(Engine& engine, const VolumePath& path, const EntryInfo& info);

// Each reports its own failure on stderr and returns false.
bool CopyFileIn(Engine& engine, const std::filesystem::path& source, const VolumePath& target,
                ProgressBar& progress);
bool CopyTreeIn(Engine& engine, const std::filesystem::path& source, const VolumePath& target,
                ProgressBar& progress);
// `command` names the copy in failure lines ("get", "cat").
bool CopyFileToStream(Engine& engine, const VolumePath& source, std::FILE* output, const std::string& outputName,
                      ProgressBar& progress, const std::string& command = "get");
bool CopyFileOut(Engine& engine, const VolumePath& source, const std::filesystem::path& target,
                 ProgressBar& progress);
bool CopyTreeOut(Engine& engine, const VolumePath& source, const std::filesystem::path& target,
                 ProgressBar& progress);

}  // namespace volkit::tool
