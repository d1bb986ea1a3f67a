#include "Transfer.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "CommandSupport.h"
#include "Diagnostics.h"

namespace fs = std::filesystem;

namespace volkit::tool {
namespace {

constexpr uint32_t kChunkSize = 1u << 20;
// Data this small stays inside the file's MFT record.
constexpr uint64_t kResidentLimit = 600;
constexpr uint64_t kMftRecordSize = 1024;
// The bitmap and log of a volume move as it fills; keep this much in reserve.
constexpr uint64_t kReserve = 256 * 1024;

struct HostFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using HostFile = std::unique_ptr<std::FILE, HostFileCloser>;

bool Fail(const std::string& context, const std::string& detail = Diagnostics::LastFailure()) {
    ReportFailure(context, detail);
    return false;
}

std::string HostError(const fs::path& path, const char* what) {
    return std::string(what) + " '" + path.string() + "': " + std::generic_category().message(errno);
}

// A name from the volume that would escape the target directory on the host.
bool IsUnsafeHostName(const std::string& name) {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos;
}

// Opens the target for writing: the existing file (truncated later by the
// new size) or a new one. `created` tells which, for the clean-up.
bool OpenTarget(Engine& engine, const VolumePath& target, std::unique_ptr<FileStream>& stream, bool& created) {
    EntryInfo existing;
    bool exists;
    {
        Diagnostics::Quiet quiet;
        exists = engine.Stat(target, existing);
    }
    Diagnostics::Clear();
    if (exists && existing.isDirectory) return Fail("put " + target.Display(), "is a directory");
    created = !exists;
    if (exists ? engine.OpenFile(target, stream) : engine.CreateFile(target, stream)) return true;
    return Fail("put " + target.Display());
}

bool WriteData(std::FILE* source, const fs::path& sourcePath, uint64_t size, FileStream& stream,
               const VolumePath& target, ProgressBar& progress) {
    Diagnostics::Clear();
    if (!stream.SetSize(size)) return Fail("put " + target.Display());
    std::vector<char> chunk(kChunkSize);
    for (uint64_t offset = 0; offset < size;) {
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, size - offset));
        if (std::fread(chunk.data(), 1, length, source) != length)
            return Fail("put " + target.Display(), HostError(sourcePath, "cannot read"));
        if (!stream.Write(offset, chunk.data(), length)) return Fail("put " + target.Display());
        offset += length;
        progress.Advance(length);
    }
    return true;
}

}  // namespace

HostTreeSize MeasureHostTree(const fs::path& source, bool recursive) {
    HostTreeSize size;
    std::error_code error;
    if (fs::is_regular_file(source, error)) {
        size.files = 1;
        size.dataBytes = fs::file_size(source, error);
        return size;
    }
    if (!recursive) return size;
    size.directories = 1;
    for (auto it = fs::recursive_directory_iterator(source, error); !error && it != fs::end(it);
         it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (fs::is_directory(status)) {
            ++size.directories;
        } else if (fs::is_regular_file(status)) {
            ++size.files;
            size.dataBytes += it->file_size(error);
        }
    }
    return size;
}

uint64_t SpaceNeeded(const HostTreeSize& size, uint32_t clusterSize) {
    // Each object takes an MFT record (the MFT may have to grow for it) and
    // each directory may need an index block; a file's data takes whole clusters.
    const uint64_t cluster = std::max<uint32_t>(clusterSize, 512);
    const uint64_t objects = size.files + size.directories;
    uint64_t bytes = objects * kMftRecordSize + size.directories * std::max<uint64_t>(cluster, 4096) + kReserve;
    if (size.files != 0 && size.dataBytes > kResidentLimit)
        bytes += size.dataBytes + size.files * cluster;  // rounding up, at most a cluster per file
    return bytes;
}

uint64_t MeasureVolumeTree(Engine& engine, const VolumePath& path, const EntryInfo& info) {
    if (!info.isDirectory) return info.size;
    uint64_t total = 0;
    std::vector<EntryInfo> children;
    engine.List(path, [&](const EntryInfo& child) { children.push_back(child); });
    for (const EntryInfo& child : children)
        if (!IsSystemName(path, child.name) && !IsUnsafeHostName(child.name))
            total += MeasureVolumeTree(engine, path.Child(child.name), child);
    return total;
}

bool CopyFileIn(Engine& engine, const fs::path& source, const VolumePath& target, ProgressBar& progress) {
    HostFile input(std::fopen(source.c_str(), "rb"));
    std::error_code error;
    const uint64_t size = fs::file_size(source, error);
    if (!input) return Fail("put", HostError(source, "cannot read"));
    if (error) return Fail("put", "cannot read '" + source.string() + "': " + error.message());
    std::unique_ptr<FileStream> stream;
    bool created = false;
    if (!OpenTarget(engine, target, stream, created)) return false;
    bool ok = WriteData(input.get(), source, size, *stream, target, progress);
    Diagnostics::Clear();
    if (!stream->Close() && ok) ok = Fail("put " + target.Display());
    if (!ok && created) {
        // A half-written new file helps nobody; the old contents of an
        // overwritten one are gone either way.
        Diagnostics::Quiet quiet;
        engine.Remove(target, false);
    }
    return ok;
}

bool CopyTreeIn(Engine& engine, const fs::path& source, const VolumePath& target, ProgressBar& progress) {
    EntryInfo existing;
    bool exists;
    {
        Diagnostics::Quiet quiet;
        exists = engine.Stat(target, existing);
    }
    Diagnostics::Clear();
    if (exists && !existing.isDirectory) return Fail("put " + target.Display(), "is not a directory");
    if (!exists && !engine.MakeDirectory(target)) return Fail("put " + target.Display());
    std::error_code error;
    std::vector<fs::directory_entry> children;
    for (auto it = fs::directory_iterator(source, error); !error && it != fs::end(it); it.increment(error))
        children.push_back(*it);
    if (error) return Fail("put", HostError(source, "cannot list"));
    std::sort(children.begin(), children.end());
    for (const fs::directory_entry& child : children) {
        const fs::file_status status = child.symlink_status(error);
        const VolumePath childTarget = target.Child(child.path().filename().string());
        bool ok = true;
        if (fs::is_directory(status))
            ok = CopyTreeIn(engine, child.path(), childTarget, progress);
        else if (fs::is_regular_file(status))
            ok = CopyFileIn(engine, child.path(), childTarget, progress);
        else
            ReportFailure("put", "skipping '" + child.path().string() + "': not a regular file or directory");
        if (!ok) return false;
    }
    return true;
}

bool CopyFileToStream(Engine& engine, const VolumePath& source, std::FILE* output, const std::string& outputName,
                      ProgressBar& progress, const std::string& command) {
    Diagnostics::Clear();
    std::unique_ptr<FileStream> stream;
    uint64_t size = 0;
    if (!engine.OpenFile(source, stream) || !stream->Size(size)) return Fail(command + " " + source.Display());
    std::vector<char> chunk(kChunkSize);
    for (uint64_t offset = 0; offset < size;) {
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, size - offset));
        if (!stream->Read(offset, chunk.data(), length)) return Fail(command + " " + source.Display());
        if (std::fwrite(chunk.data(), 1, length, output) != length)
            return Fail(command, HostError(outputName, "cannot write"));
        offset += length;
        progress.Advance(length);
    }
    return stream->Close() || Fail(command + " " + source.Display());
}

bool CopyFileOut(Engine& engine, const VolumePath& source, const fs::path& target, ProgressBar& progress) {
    HostFile output(std::fopen(target.c_str(), "wb"));
    if (!output) return Fail("get", HostError(target, "cannot create"));
    if (!CopyFileToStream(engine, source, output.get(), target.string(), progress)) return false;
    if (std::fclose(output.release()) != 0) return Fail("get", HostError(target, "cannot write"));
    return true;
}

bool CopyTreeOut(Engine& engine, const VolumePath& source, const fs::path& target, ProgressBar& progress) {
    std::error_code error;
    fs::create_directory(target, error);
    if (error) return Fail("get", HostError(target, "cannot create"));
    std::vector<EntryInfo> children;
    Diagnostics::Clear();
    if (!engine.List(source, [&](const EntryInfo& child) { children.push_back(child); }))
        return Fail("get " + source.Display());
    for (const EntryInfo& child : children) {
        if (IsSystemName(source, child.name)) continue;
        if (IsUnsafeHostName(child.name)) {
            ReportFailure("get " + source.Display(), "skipping an entry whose name is unsafe on the host");
            continue;
        }
        const fs::path childTarget = target / child.name;
        bool ok = child.isDirectory ? CopyTreeOut(engine, source.Child(child.name), childTarget, progress)
                                    : CopyFileOut(engine, source.Child(child.name), childTarget, progress);
        if (!ok) return false;
    }
    return true;
}

}  // namespace volkit::tool
