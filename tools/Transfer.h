#pragma once
// Copying whole files and trees between the host and the volume.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Engine.h"
#include "Platform.h"
#include "Progress.h"

namespace volcore::tool {

// What a host tree will take on the volume: data bytes and how many objects.
struct HostTreeSize {
    uint64_t dataBytes = 0;
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t nameBytes = 0;       // bytes of the names the copy creates, at least their UTF-16 units
    uint64_t clusteredFiles = 0;  // files whose data is too large to stay in their MFT record
};
HostTreeSize MeasureHostTree(const std::filesystem::path& source, bool recursive);
// Bytes of free space the copy needs on a volume with these cluster and MFT
// record sizes; errs high.
uint64_t SpaceNeeded(const HostTreeSize& size, uint32_t clusterSize, uint32_t recordSize);

// Bytes the files of a volume tree hold (for the progress bar).
uint64_t MeasureVolumeTree(Engine& engine, const VolumePath& path, const EntryInfo& info);

struct CopyOptions {
    bool force = false;          // overwrite existing files without asking
    bool preserveTimes = true;   // the copies keep the source's write and access times
};

// Copies in either direction. Each call reports its own failures on stderr.
// A call returns false when the copy has to stop (a failure, or SIGINT or
// SIGTERM under a platform::InterruptGuard); a file that was refused (it
// exists, or its name collides) is reported and skipped, and the copy goes on.
class Copier {
public:
    Copier(Engine& engine, ProgressBar& progress, CopyOptions options)
        : m_engine(engine), m_progress(progress), m_options(options) {}

    bool FileIn(const std::filesystem::path& source, const VolumePath& target);
    bool TreeIn(const std::filesystem::path& source, const VolumePath& target);
    bool FileOut(const VolumePath& source, const std::filesystem::path& target);
    bool TreeOut(const VolumePath& source, const std::filesystem::path& target);
    // `command` names the copy in failure lines ("get", "cat").
    bool ToStream(const VolumePath& source, std::FILE* output, const std::string& outputName,
                  const std::string& command);

    bool SkippedSome() const { return m_skipped; }
    bool WasInterrupted() const { return m_interrupted; }

private:
    enum class Target { Open, Skipped, Failed };

    bool Stopping();
    bool Skip(const std::string& context, const std::string& detail);
    bool MayOverwrite(const std::string& what);
    Target OpenTarget(const VolumePath& target, std::unique_ptr<FileStream>& stream, bool& created);
    bool WriteData(std::FILE* source, const std::filesystem::path& sourcePath, uint64_t size, FileStream& stream,
                   const VolumePath& target, uint64_t& written);
    bool AbandonFileIn(std::unique_ptr<FileStream> stream, const VolumePath& target, bool created, uint64_t written);
    bool StampCopyIn(const platform::HostTimes& times, const VolumePath& target);
    void StampHostCopy(const VolumePath& source, const std::filesystem::path& target);
    // Hard links: a host file that shares its data with one copied in before
    // becomes another name of that copy, and a volume file met again under
    // another name becomes a host hard link of its first copy. Null when
    // there is no earlier copy.
    const VolumePath* EarlierCopyIn(const std::filesystem::path& source);
    std::optional<bool> ClearForNewName(const VolumePath& target);
    bool LinkIn(const VolumePath& earlier, const VolumePath& target);
    bool LinkOut(const VolumePath& source, const std::filesystem::path& earlier, const std::filesystem::path& target);
    void StreamsOut(const VolumePath& source, const std::filesystem::path& target);
    // Links are made again where they stay inside the copy (a relative
    // target that does not climb out of the tree copied), else skipped with a
    // note: a copy must never reach outside itself.
    bool SymlinkOut(const VolumePath& source, const LinkInfo& link, const std::filesystem::path& target);
    bool SymlinkIn(const std::filesystem::path& source, const VolumePath& target);

    Engine& m_engine;
    ProgressBar& m_progress;
    CopyOptions m_options;
    std::vector<std::pair<std::filesystem::path, VolumePath>> m_linkedIn;  // host files with several names
    std::map<uint64_t, std::filesystem::path> m_copiedOut;              // by the volume's record number
    std::filesystem::path m_inRoot;   // the host tree a put -r copies, while it runs
    std::filesystem::path m_outRoot;  // the host copy a get -r makes, while it runs
    bool m_skipped = false;
    bool m_interrupted = false;
};

}  // namespace volcore::tool
