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
struct SHostTreeSize {
    uint64_t dataBytes = 0;
    uint64_t heldBytes = 0;  // of them, what the host's files hold besides their holes
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t nameBytes = 0;       // bytes of the names the copy creates, at least their UTF-16 units
    uint64_t clusteredFiles = 0;  // files whose data is too large to stay in their MFT record
};
SHostTreeSize MeasureHostTree(const std::filesystem::path& source, bool recursive);
// Bytes of free space the copy needs on a volume with these cluster and MFT
// record sizes; errs high.
// `holesKept`: the copy leaves the files' holes holes.
uint64_t SpaceNeeded(const SHostTreeSize& size, uint32_t clusterSize, uint32_t recordSize, bool holesKept);

// Bytes the files of a volume tree hold (for the progress bar).
uint64_t MeasureVolumeTree(IEngine& engine, const CVolumePath& path, const SEntryInfo& info);

struct SCopyOptions {
    bool force = false;          // overwrite existing files without asking
    bool preserveTimes = true;   // the copies keep the source's write and access times
    bool keepHoles = true;       // holes stay holes where the engine can tell and make them
};

// Copies in either direction. Each call reports its own failures on stderr.
// A call returns false when the copy has to stop (a failure, or SIGINT or
// SIGTERM under a platform::CInterruptGuard); a file that was refused (it
// exists, or its name collides) is reported and skipped, and the copy goes on.
class CCopier {
public:
    CCopier(IEngine& engine, CProgressBar& progress, SCopyOptions options)
        : m_engine(engine), m_progress(progress), m_options(options) {}

    bool FileIn(const std::filesystem::path& source, const CVolumePath& target);
    bool TreeIn(const std::filesystem::path& source, const CVolumePath& target);
    bool FileOut(const CVolumePath& source, const std::filesystem::path& target);
    bool TreeOut(const CVolumePath& source, const std::filesystem::path& target);
    // `command` names the copy in failure lines ("get", "cat").
    // With `keepHoles` (a host file, not a pipe) the holes of a sparse file
    // stay holes in the output.
    bool ToStream(const CVolumePath& source, std::FILE* output, const std::string& outputName,
                  const std::string& command, bool keepHoles = false);

    bool SkippedSome() const { return m_skipped; }
    bool WasInterrupted() const { return m_interrupted; }

private:
    enum class ETarget { Open, Skipped, Failed };

    bool Stopping();
    bool Skip(const std::string& context, const std::string& detail);
    bool MayOverwrite(const std::string& what);
    ETarget OpenTarget(const CVolumePath& target, std::unique_ptr<IFileStream>& stream, bool& created);
    bool WriteData(std::FILE* source, const std::filesystem::path& sourcePath, uint64_t size, IFileStream& stream,
                   const CVolumePath& target, uint64_t& written);
    bool KeepHoles(std::FILE* source, uint64_t size, IFileStream& stream);
    bool AbandonFileIn(std::unique_ptr<IFileStream> stream, const CVolumePath& target, bool created, uint64_t written);
    bool StampCopyIn(const platform::SHostTimes& times, const CVolumePath& target);
    void StampHostCopy(const CVolumePath& source, const std::filesystem::path& target);
    // Hard links: a host file that shares its data with one copied in before
    // becomes another name of that copy, and a volume file met again under
    // another name becomes a host hard link of its first copy. Null when
    // there is no earlier copy.
    const CVolumePath* EarlierCopyIn(const std::filesystem::path& source);
    std::optional<bool> ClearForNewName(const CVolumePath& target);
    bool LinkIn(const CVolumePath& earlier, const CVolumePath& target);
    bool LinkOut(const CVolumePath& source, const std::filesystem::path& earlier, const std::filesystem::path& target);
    void StreamsOut(const CVolumePath& source, const std::filesystem::path& target);
    // Links are made again where they stay inside the copy (a relative
    // target that does not climb out of the tree copied), else skipped with a
    // note: a copy must never reach outside itself.
    bool SymlinkOut(const CVolumePath& source, const SLinkInfo& link, const std::filesystem::path& target);
    bool SymlinkIn(const std::filesystem::path& source, const CVolumePath& target);

    IEngine& m_engine;
    CProgressBar& m_progress;
    SCopyOptions m_options;
    std::vector<std::pair<std::filesystem::path, CVolumePath>> m_linkedIn;  // host files with several names
    std::map<uint64_t, std::filesystem::path> m_copiedOut;              // by the volume's record number
    std::filesystem::path m_inRoot;   // the host tree a put -r copies, while it runs
    std::filesystem::path m_outRoot;  // the host copy a get -r makes, while it runs
    bool m_skipped = false;
    bool m_interrupted = false;
};

}  // namespace volcore::tool
