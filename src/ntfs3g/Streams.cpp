#include "ntfs3g/Streams.h"
#include "ntfs3g/WofFile.h"

#include <algorithm>

#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/PathRules.h"

namespace volcore::fsfamily {
namespace {

struct SStreamFacts {
    std::vector<ntfschar> name;  // as stored
    uint64_t size = 0;
    uint64_t allocatedSize = 0;
};

uint64_t Unsigned(s64 value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

// The named $DATA attributes in the inode's records (each once, by its first
// extent), with the sizes their records carry.
std::vector<SStreamFacts> NamedData(ntfs_inode* inode) {
    std::vector<SStreamFacts> streams;
    ntfs_attr_search_ctx* search = ntfs_attr_get_search_ctx(inode, nullptr);
    if (search == nullptr) Fail("failed to read streams");
    while (ntfs_attrs_walk(search) == 0) {
        const ATTR_RECORD* attribute = search->attr;
        const uint32_t length = le32_to_cpu(attribute->length);
        const size_t nameEnd = le16_to_cpu(attribute->name_offset) + 2u * attribute->name_length;
        if (attribute->type != AT_DATA || attribute->name_length == 0 || nameEnd > length) continue;
        if (attribute->non_resident && sle64_to_cpu(attribute->lowest_vcn) != 0) continue;
        SStreamFacts facts;
        const auto* name = reinterpret_cast<const u8*>(attribute) + le16_to_cpu(attribute->name_offset);
        facts.name.resize(attribute->name_length);
        std::memcpy(facts.name.data(), name, 2u * attribute->name_length);
        if (attribute->non_resident) {
            facts.size = Unsigned(sle64_to_cpu(attribute->data_size));
            facts.allocatedSize = Unsigned(sle64_to_cpu(attribute->allocated_size));
        } else {
            facts.size = le32_to_cpu(attribute->value_length);
            facts.allocatedSize = (facts.size + 7) & ~uint64_t{7};
        }
        const bool listed = std::any_of(streams.begin(), streams.end(),
                                        [&](const SStreamFacts& other) { return other.name == facts.name; });
        if (!listed) streams.push_back(std::move(facts));
    }
    ntfs_attr_put_search_ctx(search);
    return streams;
}

// The stored name of the stream `wanted` names, letter case ignored.
std::optional<std::vector<ntfschar>> FindStream(ntfs_inode* inode, const std::vector<ntfschar>& wanted) {
    if (wanted.empty()) return std::nullopt;
    const ntfs_volume* volume = inode->vol;
    for (SStreamFacts& stream : NamedData(inode))
        if (ntfs_names_are_equal(wanted.data(), wanted.size(), stream.name.data(), stream.name.size(), IGNORE_CASE,
                                 volume->upcase, volume->upcase_len))
            return std::move(stream.name);
    return std::nullopt;
}

SHeldStream* FindHeldStream(SHeldInode& held, const std::vector<ntfschar>& name) {
    for (SHeldStream& stream : held.streams)
        if (!stream.removed && stream.name == name) return &stream;
    return nullptr;
}

SHeldStream& HoldStream(SHeldInode& held, const std::vector<ntfschar>& name) {
    SHeldStream* stream = FindHeldStream(held, name);
    if (stream == nullptr) {
        try {
            stream = &held.streams.emplace_back();
            stream->name = name;
        } catch (...) {
            try {
                held.table->Release(held);
            } catch (...) {
                // The allocation failure is what the caller hears about.
            }
            throw;
        }
    }
    ++stream->handles;
    return *stream;
}

// The path split at the stream part of its last element, unless an existing
// object carries that whole element as its name.
SNamedStreamPath StreamIn(CInodeTable& table, const std::string& normalized) {
    if (HasStreamPart(normalized) && ReachPath(table, normalized).inode) return SNamedStreamPath{false, normalized, {}};
    return SplitAtStream(normalized);
}

SHandleTarget OpenStream(CInodeTable& table, const SNamedStreamPath& split) {
    SReachedObject file = ReachPath(table, split.filePath);
    if (!file.inode) Fail("file not found");
    const std::optional<std::vector<ntfschar>> stored = FindStream(file.inode.Get(), ConvertExistingName(split.stream));
    if (!stored) Fail("stream not found");
    SHeldInode& held = table.Hold(std::move(file.inode), file.parent, file.system);
    return {&held, &HoldStream(held, *stored)};
}

// As Windows does: a stream of an existing file adds only the stream, one of
// a missing file makes the file first. The name is checked before either.
SHandleTarget CreateStream(const SNamedStreamPath& split, volkit::filesystem::handle volume) {
    CInodeTable& table = MountOf(volume).inodes;
    const std::vector<ntfschar> name = ConvertNewName(split.stream);
    const SParentAndName parts = SplitParentAndName(split.filePath);
    std::vector<std::string> elements = PathElements(parts.parentPath);
    elements.push_back(parts.name);
    SReachedObject file = WalkPath(table, elements);
    SHeldInode* held = nullptr;
    if (file.inode) {
        if (file.system) Fail("cannot change a system file");
        if (FindStream(file.inode.Get(), name)) Fail("already exists");
        held = &table.Hold(std::move(file.inode), file.parent, false);
    } else {
        held = OpenOrCreate(split.filePath.c_str(), EOpenDisposition::CreateNew, EObjectType::File, volume);
    }
    try {
        PrepareChange(table.Volume());
        if (ntfs_attr_add(LiveInode(*held), AT_DATA, const_cast<ntfschar*>(name.data()),
                          static_cast<u8>(name.size()), nullptr, 0) != 0)
            Fail("failed to create stream");
    } catch (...) {
        try {
            table.Release(*held);
        } catch (...) {
            // The stream's failure is what the caller hears about.
        }
        throw;
    }
    return {held, &HoldStream(*held, name)};
}

void RemoveStream(CInodeTable& table, const SNamedStreamPath& split) {
    SReachedObject file = ReachPath(table, split.filePath);
    if (!file.inode) Fail("file not found");
    if (file.system) Fail("cannot change a system file");
    const std::optional<std::vector<ntfschar>> stored = FindStream(file.inode.Get(), ConvertExistingName(split.stream));
    if (!stored) Fail("stream not found");
    CheckStreamChangeable(file.inode.Get(), *stored);
    PrepareChange(table.Volume());
    SHeldStream* open = file.inode.Held() != nullptr ? FindHeldStream(*file.inode.Held(), *stored) : nullptr;
    if (open != nullptr && open->data != nullptr) {
        ntfs_attr_close(open->data);
        open->data = nullptr;
    }
    if (ntfs_attr_remove(file.inode.Get(), AT_DATA, const_cast<ntfschar*>(stored->data()),
                         static_cast<u32>(stored->size())) != 0)
        Fail("failed to delete stream");
    if (open != nullptr) open->removed = true;
    file.inode.Close("failed to close inode");
}

// The streams of the object at `path` (a path naming one of them names its
// file), from its held copy where handles hold it: libntfs-3g brings a
// stream's record up to date with every write and resize, so the sizes there
// are current.
std::vector<SStreamFacts> StreamsAt(const char* path, volkit::filesystem::handle volume) {
    CInodeTable& table = MountOf(volume).inodes;
    const SNamedStreamPath split = StreamIn(table, NormalizePath(path));
    SReachedObject object = ReachPath(table, split.filePath);
    if (!object.inode) Fail("file not found");
    if (split.named && !split.stream.empty() && !FindStream(object.inode.Get(), ConvertExistingName(split.stream)))
        Fail("stream not found");
    std::vector<SStreamFacts> streams = NamedData(object.inode.Get());
    object.inode.Close("failed to close inode");
    return streams;
}

}  // namespace

SHandleTarget OpenFileOrStream(const char* path, EOpenDisposition disposition, volkit::filesystem::handle volume) {
    const std::string normalized = NormalizePath(path);
    const SNamedStreamPath split = StreamIn(MountOf(volume).inodes, normalized);
    if (split.named && !split.stream.empty())
        return disposition == EOpenDisposition::CreateNew ? CreateStream(split, volume)
                                                         : OpenStream(MountOf(volume).inodes, split);
    return {OpenOrCreate(split.filePath.c_str(), disposition, EObjectType::File, volume), nullptr};
}

void RemoveFileOrStream(const char* path, volkit::filesystem::handle volume) {
    const std::string normalized = NormalizePath(path);
    const SNamedStreamPath split = StreamIn(MountOf(volume).inodes, normalized);
    if (split.named && !split.stream.empty()) return RemoveStream(MountOf(volume).inodes, split);
    OpenOrCreate(split.filePath.c_str(), EOpenDisposition::RemoveExisting, EObjectType::File, volume);
}

ntfs_attr& StreamData(SHeldInode& held, SHeldStream& stream) {
    ntfs_inode* inode = LiveInode(held);
    if (stream.removed) Fail("stream has been removed");
    if (stream.data == nullptr)
        stream.data = ntfs_attr_open(inode, AT_DATA, stream.name.data(), static_cast<u32>(stream.name.size()));
    if (stream.data == nullptr) Fail("failed to open data attribute");
    return *stream.data;
}

void ReleaseStream(SHeldInode& held, SHeldStream& stream) noexcept {
    if (--stream.handles != 0) return;
    if (stream.data != nullptr) ntfs_attr_close(stream.data);
    held.streams.remove_if([&](const SHeldStream& entry) { return &entry == &stream; });
}

}  // namespace volcore::fsfamily

namespace volkit {

using namespace volcore::fsfamily;

bool file::fetchStreams(const char* path, filesystem::handle volume, bool (*callback)(const streamEntry& entry, void* context),
                        void* context) {
    return RunReported([&] {
        if (callback == nullptr) Fail("invalid callback");
        // Gathered first: the callback runs with nothing of the object open,
        // free to use the family on it.
        for (const auto& facts : StreamsAt(path, volume)) {
            streamEntry entry;
            std::transform(facts.name.begin(), facts.name.end(), entry.name,
                           [](ntfschar unit) { return static_cast<char16_t>(le16_to_cpu(unit)); });
            entry.size = facts.size;
            entry.allocatedSize = facts.allocatedSize;
            if (!callback(entry, context)) Fail("stream listing stopped");
        }
    });
}

}  // namespace volkit
