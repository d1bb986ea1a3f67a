#include "Transfer.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "CommandSupport.h"
#include "Diagnostics.h"
#include "Platform.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace volcore::tool {
namespace {

// Whether `relative`, taken from `directory`, ends inside `root` (all three
// lexically: the copy does not exist yet, or not whole).
bool StaysInside(const fs::path& root, const fs::path& directory, const fs::path& relative) {
    if (relative.is_absolute() || relative.has_root_name() || relative.has_root_directory()) return false;
    const fs::path inside = (directory / relative).lexically_normal().lexically_relative(root.lexically_normal());
    return !inside.empty() && *inside.begin() != "..";
}

// Remembers the top of a tree copy for as long as its outermost call runs.
class CTreeRoot {
public:
    CTreeRoot(fs::path& root, const fs::path& top) : m_root(root), m_outermost(root.empty()) {
        if (m_outermost) m_root = top;
    }
    ~CTreeRoot() {
        if (m_outermost) m_root.clear();
    }
    CTreeRoot(const CTreeRoot&) = delete;
    CTreeRoot& operator=(const CTreeRoot&) = delete;

private:
    fs::path& m_root;
    bool m_outermost;
};

constexpr uint32_t kChunkSize = 1u << 20;
// Data and name bytes (UTF-16) this few fit a file's MFT record together.
constexpr uint64_t kResidentLimit = 600;
constexpr uint64_t kLongestName = 255;
// When its MFT is full, the native engine adds this many records at once.
constexpr uint64_t kMftGrowthRecords = 1024;
// An index entry without its name (entry header, the name attribute's fixed
// part, alignment); a B-tree node may be only half full, so each counts twice.
constexpr uint64_t kIndexEntryOverhead = 96;
// The bitmap and log of a volume move as it fills; keep this much in reserve.
constexpr uint64_t kReserve = 256 * 1024;

struct SHostFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using HostFile = std::unique_ptr<std::FILE, SHostFileCloser>;

bool Fail(const std::string& context, const std::string& detail = CDiagnostics::LastFailure()) {
    ReportFailure(context, detail);
    return false;
}

std::string HostError(const fs::path& path, const char* what) {
    return std::string(what) + " '" + HostText(path) + "': " + platform::LastErrorText();
}

// Both engines word a name the volume cannot hold as "name ..."; such a file is
// skipped like a case collision, so the rest of a tree still arrives.
bool IsNameRefusal(const std::string& reason) { return reason.rfind("name ", 0) == 0; }

}  // namespace

SHostTreeSize MeasureHostTree(const fs::path& source, bool recursive) {
    SHostTreeSize size;
    // A UTF-8 name has at least as many bytes as it has UTF-16 units; the
    // copy's own name is given on the volume, so count the longest there is.
    auto add = [&](const fs::path& path, bool isDirectory, uint64_t bytes, uint64_t nameBytes) {
        ++(isDirectory ? size.directories : size.files);
        size.dataBytes += bytes;
        size.heldBytes += bytes == 0 ? 0 : platform::HostBytesHeld(path, bytes);
        size.nameBytes += nameBytes;
        // Small data stays in the file's record, next to its name.
        if (!isDirectory && bytes + 2 * nameBytes > kResidentLimit) ++size.clusteredFiles;
    };
    std::error_code error;
    if (fs::is_regular_file(source, error)) {
        add(source, false, fs::file_size(source, error), kLongestName);
        return size;
    }
    if (!recursive) return size;
    add(source, true, 0, kLongestName);
    for (auto it = fs::recursive_directory_iterator(source, error); !error && it != fs::end(it);
         it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        const uint64_t nameBytes = it->path().filename().native().size();
        if (fs::is_directory(status)) add(it->path(), true, 0, nameBytes);
        else if (fs::is_regular_file(status)) add(it->path(), false, it->file_size(error), nameBytes);
    }
    return size;
}

uint64_t SpaceNeeded(const SHostTreeSize& size, uint32_t clusterSize, uint32_t recordSize, bool holesKept) {
    // Each object takes an MFT record, and the MFT grows by whole steps when
    // it is full; each name takes room in its directory's index, each
    // directory at least one index block; data outside a record takes whole
    // clusters.
    const uint64_t cluster = std::max<uint32_t>(clusterSize, 512);
    const uint64_t objects = size.files + size.directories;
    const uint64_t growths = (objects + kMftGrowthRecords - 1) / kMftGrowthRecords;
    const uint64_t indexBytes = 2 * (objects * kIndexEntryOverhead + 2 * size.nameBytes);
    return growths * kMftGrowthRecords * std::max<uint32_t>(recordSize, 1024) + indexBytes +
           size.directories * std::max<uint64_t>(cluster, 4096) + (holesKept ? size.heldBytes : size.dataBytes) +
           size.clusteredFiles * cluster +
           kReserve;
}

uint64_t MeasureVolumeTree(IEngine& engine, const CVolumePath& path, const SEntryInfo& info) {
    if (!info.isDirectory) return info.size;
    uint64_t total = 0;
    std::vector<SEntryInfo> children;
    engine.List(path, [&](const SEntryInfo& child) { children.push_back(child); });
    for (const SEntryInfo& child : children)
        if (!IsSystemName(path, child.name) && platform::IsSafeHostName(child.name))
            total += MeasureVolumeTree(engine, path.Child(child.name), child);
    return total;
}

bool CCopier::Stopping() {
    m_interrupted = m_interrupted || platform::Interrupted();
    return m_interrupted;
}

bool CCopier::Skip(const std::string& context, const std::string& detail) {
    ReportFailure(context, detail);
    m_skipped = true;
    return true;
}

// As mcopy does: ask on a terminal, refuse otherwise.
bool CCopier::MayOverwrite(const std::string& what) {
    if (m_options.force) return true;
    if (!platform::StdinIsTerminal()) return false;
    BreakProgressLine();
    std::fprintf(stderr, "volkit: overwrite '%s'? [y/N] ", what.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    return std::fgets(answer, sizeof answer, stdin) != nullptr && (answer[0] == 'y' || answer[0] == 'Y');
}

CCopier::ETarget CCopier::OpenTarget(const CVolumePath& target, std::unique_ptr<IFileStream>& stream, bool& created) {
    SEntryInfo existing;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = m_engine.Stat(target, existing);
    }
    CDiagnostics::Clear();
    if (exists && existing.isDirectory) return Fail("put " + target.Display(), "is a directory"), ETarget::Failed;
    if (exists && !MayOverwrite(target.Display()))
        return Skip("put " + target.Display(), "exists (use --force to overwrite it)"), ETarget::Skipped;
    created = !exists;
    if (exists ? m_engine.OpenFile(target, stream) : m_engine.CreateFile(target, stream)) return ETarget::Open;
    if (IsNameRefusal(CDiagnostics::LastFailure()))
        return Skip("put " + target.Display(), CDiagnostics::LastFailure()), ETarget::Skipped;
    Fail("put " + target.Display());
    return ETarget::Failed;
}

bool CCopier::WriteData(std::FILE* source, const fs::path& sourcePath, uint64_t size, IFileStream& stream,
                       const CVolumePath& target, uint64_t& written) {
    CDiagnostics::Clear();
    const bool holes = KeepHoles(source, size, stream);
    if (!stream.SetSize(size)) return Fail("put " + target.Display());
    std::vector<char> chunk(kChunkSize);
    while (written < size) {
        uint64_t start = written, length = size - written;
        if (holes) platform::HostDataRange(source, written, size, start, length);
        start = length == 0 ? size : std::max(start, written);
        if (start > written) {  // a hole: the file on the volume has one there already
            m_progress.Advance(start - written);
            written = start;
            if (written < size && !platform::SeekHostFile(source, written))
                return Fail("put " + target.Display(), HostError(sourcePath, "cannot read"));
        }
        for (const uint64_t end = std::min(start + length, size); written < end;) {
            if (Stopping()) return false;
            const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, end - written));
            if (std::fread(chunk.data(), 1, piece, source) != piece)
                return Fail("put " + target.Display(), HostError(sourcePath, "cannot read"));
            if (!stream.Write(written, chunk.data(), piece)) return Fail("put " + target.Display());
            written += piece;
            m_progress.Advance(piece);
        }
    }
    return true;
}

// A host file with holes keeps them where the engine can make the file
// sparse. What an overwritten file held goes first: it would show through.
bool CCopier::KeepHoles(std::FILE* source, uint64_t size, IFileStream& stream) {
    if (!m_options.keepHoles) return false;
    uint64_t start = 0, length = size;
    platform::HostDataRange(source, 0, size, start, length);
    if (start == 0 && length == size) return false;
    CDiagnostics::CQuiet quiet;
    return stream.SetSize(0) && stream.MakeSparse();
}

// A new file that was not written whole goes; an overwritten one keeps what
// was written, never a tail of zeros.
bool CCopier::AbandonFileIn(std::unique_ptr<IFileStream> stream, const CVolumePath& target, bool created,
                           uint64_t written) {
    CDiagnostics::CQuiet quiet;
    if (!created) stream->SetSize(written);
    stream->Close();
    if (created) m_engine.Remove(target, false);
    return false;
}

bool CCopier::StampCopyIn(const platform::SHostTimes& times, const CVolumePath& target) {
    SEntryInfo info;
    CDiagnostics::Clear();
    if (!m_engine.Stat(target, info)) return Fail("put " + target.Display());
    info.creationTime = CurrentNtfsTime();
    info.lastWriteTime = times.lastWrite;
    info.lastAccessTime = times.lastAccess;
    return m_engine.SetAttributesAndTimes(target, info.isDirectory, info) || Fail("put " + target.Display());
}

bool CCopier::FileIn(const fs::path& source, const CVolumePath& target) {
    if (Stopping()) return false;
    // Before the copy reads the file and so changes its access time.
    platform::SHostTimes times;
    const bool timed = platform::ReadHostTimes(source, times);
    HostFile input(platform::OpenHostFile(source, "rb"));
    if (!input) return Fail("put", HostError(source, "cannot read"));
    std::error_code error;
    const uint64_t size = fs::file_size(source, error);
    if (error) return Fail("put", "cannot read '" + HostText(source) + "': " + error.message());
    std::unique_ptr<IFileStream> stream;
    bool created = false;
    const ETarget state = OpenTarget(target, stream, created);
    if (state != ETarget::Open) return state == ETarget::Skipped;
    uint64_t written = 0;
    if (!WriteData(input.get(), source, size, *stream, target, written))
        return AbandonFileIn(std::move(stream), target, created, written);
    CDiagnostics::Clear();
    if (!stream->Close()) return Fail("put " + target.Display());
    if (fs::hard_link_count(source, error) > 1 && !error) m_linkedIn.emplace_back(source, target);
    return !timed || StampCopyIn(times, target);
}

const CVolumePath* CCopier::EarlierCopyIn(const fs::path& source) {
    std::error_code error;
    if (fs::hard_link_count(source, error) < 2 || error) return nullptr;
    for (const auto& [host, copy] : m_linkedIn)
        if (fs::equivalent(host, source, error)) return &copy;
    return nullptr;
}

// Makes way for a new name at `target`: a file already there goes when the
// user allows it. Empty when the caller may go on, else what it returns.
std::optional<bool> CCopier::ClearForNewName(const CVolumePath& target) {
    SEntryInfo existing;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = m_engine.Stat(target, existing);
    }
    if (exists && (existing.isDirectory || !MayOverwrite(target.Display())))
        return Skip("put " + target.Display(), "already exists (use --force to overwrite it)");
    CDiagnostics::Clear();
    if (exists && !m_engine.Remove(target, false)) return Fail("put " + target.Display());
    return std::nullopt;
}

bool CCopier::LinkIn(const CVolumePath& earlier, const CVolumePath& target) {
    if (Stopping()) return false;
    if (const std::optional<bool> stop = ClearForNewName(target)) return *stop;
    return m_engine.Link(earlier, target) || Fail("put " + target.Display());
}

bool CCopier::SymlinkIn(const fs::path& source, const CVolumePath& target) {
    if (Stopping()) return false;
    std::error_code error;
    const fs::path to = fs::read_symlink(source, error);
    if (error) return Fail("put", HostError(source, "cannot read"));
    if (std::string(m_engine.Name()) != "native")
        return Skip("put", "skipping '" + HostText(source) + "': symbolic links need the native engine");
    if (m_inRoot.empty() || !StaysInside(m_inRoot, source.parent_path(), to))
        return Skip("put", "skipping '" + HostText(source) + "': its target '" + HostText(to) + "' lies outside the copy");
    if (const std::optional<bool> stop = ClearForNewName(target)) return *stop;
    const bool directory = fs::is_directory(fs::status(source, error));
    if (!m_engine.MakeSymlink(target, HostText(to), directory)) return Fail("put " + target.Display());
    platform::SHostTimes now;
    now.lastWrite = now.lastAccess = CurrentNtfsTime();
    return StampCopyIn(now, target);
}

bool CCopier::TreeIn(const fs::path& source, const CVolumePath& target) {
    const CTreeRoot root(m_inRoot, source);
    platform::SHostTimes times;
    const bool timed = platform::ReadHostTimes(source, times);
    SEntryInfo existing;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = m_engine.Stat(target, existing);
    }
    CDiagnostics::Clear();
    if (exists && !existing.isDirectory) return Fail("put " + target.Display(), "is not a directory");
    if (!exists && !m_engine.MakeDirectory(target))
        return IsNameRefusal(CDiagnostics::LastFailure()) ? Skip("put " + target.Display(), CDiagnostics::LastFailure())
                                                          : Fail("put " + target.Display());
    std::error_code error;
    std::vector<fs::directory_entry> children;
    for (auto it = fs::directory_iterator(source, error); !error && it != fs::end(it); it.increment(error))
        children.push_back(*it);
    if (error) return Fail("put", HostError(source, "cannot list"));
    std::sort(children.begin(), children.end());
    // The volume tells names apart only by more than letter case.
    std::map<std::wstring, std::string> written;
    for (const fs::directory_entry& child : children) {
        const fs::file_status status = child.symlink_status(error);
        const std::string name = HostText(child.path().filename());
        const auto [earlier, fresh] = written.emplace(FoldCase(name), name);
        bool ok = true;
        if (!fresh)
            ok = Skip("put", "skipping '" + HostText(child.path()) + "': its name differs only in case from '" +
                                 earlier->second + "'");
        else if (name.find(':') != std::string::npos)  // on the volume it would name a stream
            ok = Skip("put " + target.Child(name).Display(), "name contains a character that is not allowed");
        else if (fs::is_symlink(status))
            ok = SymlinkIn(child.path(), target.Child(name));
        else if (fs::is_directory(status))
            ok = TreeIn(child.path(), target.Child(name));
        else if (const CVolumePath* earlier = fs::is_regular_file(status) ? EarlierCopyIn(child.path()) : nullptr)
            ok = LinkIn(*earlier, target.Child(name));
        else if (fs::is_regular_file(status))
            ok = FileIn(child.path(), target.Child(name));
        else
            ok = Skip("put", "skipping '" + HostText(child.path()) + "': not a regular file or directory");
        if (!ok) return false;
    }
    return !timed || StampCopyIn(times, target);
}

bool CCopier::ToStream(const CVolumePath& source, std::FILE* output, const std::string& outputName,
                      const std::string& command, bool keepHoles) {
    CDiagnostics::Clear();
    std::unique_ptr<IFileStream> stream;
    uint64_t size = 0;
    if (!m_engine.OpenFile(source, stream) || !stream->Size(size)) return Fail(command + " " + source.Display());
    std::vector<char> chunk(kChunkSize);
    bool skipped = false;
    for (uint64_t offset = 0; offset < size;) {
        uint64_t start = offset, length = size - offset;
        if (keepHoles && !stream->NextData(offset, size, start, length)) return Fail(command + " " + source.Display());
        start = length == 0 ? size : std::max(start, offset);
        if (start > offset) {  // a hole, left one in the output
            if (!platform::SeekHostFile(output, start)) return Fail(command, HostError(outputName, "cannot write"));
            m_progress.Advance(start - offset);
            offset = start;
            skipped = true;
        }
        for (const uint64_t end = std::min(start + length, size); offset < end;) {
            if (Stopping()) return false;
            const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, end - offset));
            if (!stream->Read(offset, chunk.data(), piece)) return Fail(command + " " + source.Display());
            if (std::fwrite(chunk.data(), 1, piece, output) != piece)
                return Fail(command, HostError(outputName, "cannot write"));
            offset += piece;
            m_progress.Advance(piece);
        }
    }
    if (skipped && !platform::EndHostFileAt(output, size)) return Fail(command, HostError(outputName, "cannot write"));
    return stream->Close() || Fail(command + " " + source.Display());
}

void CCopier::StampHostCopy(const CVolumePath& source, const fs::path& target) {
    if (!m_options.preserveTimes) return;
    const SEntryInfo own = OwnFacts(m_engine, source, SEntryInfo{});
    // A time the volume does not know stays as the host set it.
    platform::SHostTimes times;
    platform::ReadHostTimes(target, times);
    if (own.lastWriteTime != 0) times.lastWrite = own.lastWriteTime;
    if (own.lastAccessTime != 0) times.lastAccess = own.lastAccessTime;
    if (!platform::WriteHostTimes(target, times)) ReportFailure("get", HostError(target, "cannot set the times of"));
}

// A file's named streams go along as extended attributes "user.NAME", where
// the host keeps them; a stream it cannot keep is reported and skipped.
void CCopier::StreamsOut(const CVolumePath& source, const fs::path& target) {
    // Linux keeps at most 64 KiB in one extended attribute.
    constexpr uint64_t kLargestAttribute = 65536;
    std::vector<IEngine::SStreamInfo> streams;
    CDiagnostics::Clear();
    if (!m_engine.ListStreams(source, [&](const IEngine::SStreamInfo& stream) { streams.push_back(stream); })) {
        Fail("get " + source.Display());
        return;
    }
    for (const IEngine::SStreamInfo& stream : streams) {
        const std::string what = "get " + source.Display() + ":" + stream.name;
        if (stream.size > kLargestAttribute) {
            Skip(what, "stream too large for an extended attribute, not kept");
            continue;
        }
        std::unique_ptr<IFileStream> input;
        std::vector<char> value(static_cast<size_t>(stream.size));
        const CVolumePath path = source.Parent().Child(source.Name() + ":" + stream.name);
        if (!m_engine.OpenFile(path, input) || !input->Read(0, value.data(), static_cast<uint32_t>(value.size())) ||
            !input->Close()) {
            Fail(what);
            continue;
        }
        if (!platform::WriteHostAttribute(target, "user." + stream.name, value))
            Skip(what, "the host keeps no extended attribute here (" + platform::LastErrorText() + "), not kept");
    }
}

bool CCopier::SymlinkOut(const CVolumePath& source, const SLinkInfo& link, const fs::path& target) {
    if (Stopping()) return false;
    std::string text = link.target;
    std::replace(text.begin(), text.end(), '\\', '/');
    const fs::path to = HostPath(text);
    if (!link.relative || link.junction || m_outRoot.empty() || !StaysInside(m_outRoot, target.parent_path(), to))
        return Skip("get " + source.Display(), "skipping the link to '" + link.target + "': it would point outside the copy");
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error))) {
        if (!MayOverwrite(HostText(target)))
            return Skip("get " + source.Display(), "'" + HostText(target) + "' exists (use --force to overwrite it)");
        fs::remove(target, error);
    }
    fs::create_symlink(to, target, error);
    if (error)
        return Skip("get " + source.Display(), "the host cannot make the link here (" + error.message() + "), not kept");
    return true;
}

bool CCopier::FileOut(const CVolumePath& source, const fs::path& target) {
    if (Stopping()) return false;
    if (m_outRoot.empty()) {
        // A link copied alone points outside its copy whatever its target.
        SLinkInfo link;
        CDiagnostics::CQuiet quiet;
        if (m_engine.ReadLink(source, link) && !link.target.empty()) return SymlinkOut(source, link, target);
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error)) && !MayOverwrite(HostText(target)))
        return Skip("get " + source.Display(), "'" + HostText(target) + "' exists (use --force to overwrite it)");
    HostFile output(platform::OpenHostFile(target, "wb"));
    if (!output) return Fail("get", HostError(target, "cannot create"));
    bool ok = ToStream(source, output.get(), HostText(target), "get", m_options.keepHoles);
    if (std::fclose(output.release()) != 0 && ok) ok = Fail("get", HostError(target, "cannot write"));
    if (!ok) {
        fs::remove(target, error);  // half a file helps nobody
        return false;
    }
    StampHostCopy(source, target);
    return true;
}

bool CCopier::LinkOut(const CVolumePath& source, const fs::path& earlier, const fs::path& target) {
    if (Stopping()) return false;
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error))) {
        if (!MayOverwrite(HostText(target)))
            return Skip("get " + source.Display(), "'" + HostText(target) + "' exists (use --force to overwrite it)");
        fs::remove(target, error);
    }
    fs::create_hard_link(earlier, target, error);
    // A host file system without hard links gets a copy of its own.
    return !error || FileOut(source, target);
}

bool CCopier::TreeOut(const CVolumePath& source, const fs::path& target) {
    const CTreeRoot root(m_outRoot, target);
    std::error_code error;
    fs::create_directory(target, error);
    if (error) return Fail("get", HostError(target, "cannot create"));
    std::vector<SEntryInfo> children;
    CDiagnostics::Clear();
    if (!m_engine.List(source, [&](const SEntryInfo& child) { children.push_back(child); }))
        return Fail("get " + source.Display());
    for (const SEntryInfo& child : children) {
        if (IsSystemName(source, child.name)) continue;
        if (!platform::IsSafeHostName(child.name)) {
            Skip("get " + source.Display(), "skipping an entry whose name is unsafe on the host");
            continue;
        }
        const fs::path childTarget = target / HostPath(child.name);
        SLinkInfo link;
        {
            CDiagnostics::CQuiet quiet;
            m_engine.ReadLink(source.Child(child.name), link);
        }
        if (!link.target.empty()) {
            if (!SymlinkOut(source.Child(child.name), link, childTarget)) return false;
            continue;
        }
        const auto earlier =
            child.isDirectory || child.fileId == 0 ? m_copiedOut.end() : m_copiedOut.find(child.fileId);
        bool ok = child.isDirectory            ? TreeOut(source.Child(child.name), childTarget)
                  : earlier != m_copiedOut.end() ? LinkOut(source.Child(child.name), earlier->second, childTarget)
                                                 : FileOut(source.Child(child.name), childTarget);
        if (!ok) return false;
        if (!child.isDirectory && child.fileId != 0) m_copiedOut.emplace(child.fileId, childTarget);
        if (!child.isDirectory) StreamsOut(source.Child(child.name), childTarget);
    }
    StampHostCopy(source, target);
    return true;
}

}  // namespace volcore::tool
