// directory:: operations.
#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/PathRules.h"

namespace volcore::fsfamily {
namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;
constexpr uint32_t kHasDirectoryIndex = 0x10000000;

struct SFetchTarget {
    bool (*callback)(const volkit::directory::dirEntry&, void*);
    void* context;
    CInodeTable* table;
};

// An object that handles hold open may have changed since the directory's
// copy of its times and length was written: its held inode knows better.
void TakeFromHeldInode(const SHeldInode& held, volkit::directory::dirEntry& entry) {
    const volkit::file::attributes current = AttributesOf(held.inode, held.data);
    entry.fileAttributes = current.fileAttributes | (entry.fileAttributes & kHasDirectoryIndex);
    entry.creationTime = current.creationTime;
    entry.lastAccessTime = current.lastAccessTime;
    entry.lastWriteTime = current.lastWriteTime;
    if (!(entry.fileAttributes & kDirectoryAttribute)) entry.size = current.size;
}

static_assert(sizeof(volkit::directory::dirEntry) == sizeof(SDirEntryEx), "the two entry records match");

int DeliverEntry(void* context, uint64_t reference, const SDirEntryEx& record) {
    const auto& target = *static_cast<const SFetchTarget*>(context);
    volkit::directory::dirEntry entry;
    entry.fileAttributes = record.fileAttributes;
    if (record.fileAttributes & kHasDirectoryIndex) entry.fileAttributes |= kDirectoryAttribute;
    entry.creationTime = record.creationTime;
    entry.lastAccessTime = record.lastAccessTime;
    entry.lastWriteTime = record.lastWriteTime;
    entry.size = record.size;
    std::copy(std::begin(record.name), std::end(record.name), entry.name);
    entry.nameSpace = record.nameSpace;
    const SHeldInode* held = target.table->Find(MREF(reference));
    if (held != nullptr && held->inode != nullptr) TakeFromHeldInode(*held, entry);
    return target.callback(entry, target.context) ? 0 : 1;
}

void Fetch(const char* path, volkit::filesystem::handle volume, bool (*callback)(const volkit::directory::dirEntry&, void*),
           void* context) {
    const std::string normalized = NormalizePath(path);
    SMountedVolume& mounted = MountOf(volume);
    CInodeTable& table = mounted.inodes;
    SReachedObject reached = ReachPath(table, normalized);
    if (!reached.inode) Fail("invalid path");
    // Held for the walk, so that whatever the callback does to the directory
    // goes through this one copy.
    SHeldInode& directory = table.Hold(std::move(reached.inode), reached.parent, reached.system);
    SFetchTarget target{callback, context, &table};
    s64 position = 0;
    const int walked = [&] {
        const CVolumeInUse busy(mounted);
        // Without a callback the walk itself refuses to start.
        return ReadHeldDirectory(directory.inode, &position, &target, callback != nullptr ? &DeliverEntry : nullptr);
    }();
    if (!table.Release(directory)) Fail("failed to close inode");
    if (walked != 0) Fail("ntfs_readdir_ex failed");
}

}  // namespace
}  // namespace volcore::fsfamily

namespace volkit {

using namespace volcore::fsfamily;

bool directory::create(const char* path, filesystem::handle volume) {
    return RunReported([&] { OpenOrCreate(path, EOpenDisposition::CreateNew, EObjectType::Directory, volume); });
}

bool directory::remove(const char* path, filesystem::handle volume) {
    return RunReported(
        [&] { OpenOrCreate(path, EOpenDisposition::RemoveExisting, EObjectType::Directory, volume); });
}

bool directory::fetch(const char* path, filesystem::handle volume,
                      bool (*callback)(const dirEntry&, void*), void* context) {
    return RunReported([&] { Fetch(path, volume, callback, context); });
}

}  // namespace volkit
