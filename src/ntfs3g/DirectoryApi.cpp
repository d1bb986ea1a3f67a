// directory:: operations.
#include "ntfs3g/DirectoryReader.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/OpenFile.h"
#include "ntfs3g/PathRules.h"

namespace volkit::fsfamily {
namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;
constexpr uint32_t kHasDirectoryIndex = 0x10000000;

struct fetchTarget {
    bool (*callback)(const directory::dirEntry&, void*);
    void* context;
};

static_assert(sizeof(directory::dirEntry) == sizeof(dirEntryEx), "the two entry records match");

int DeliverEntry(void* context, const dirEntryEx& record) {
    const auto& target = *static_cast<const fetchTarget*>(context);
    directory::dirEntry entry;
    entry.fileAttributes = record.fileAttributes;
    if (record.fileAttributes & kHasDirectoryIndex) entry.fileAttributes |= kDirectoryAttribute;
    entry.creationTime = record.creationTime;
    entry.lastAccessTime = record.lastAccessTime;
    entry.lastWriteTime = record.lastWriteTime;
    entry.size = record.size;
    std::copy(std::begin(record.name), std::end(record.name), entry.name);
    return target.callback(entry, target.context) ? 0 : 1;
}

void Fetch(const char* path, filesystem::handle volume, const fetchTarget& target) {
    const std::string normalized = normalizePath(path);
    ntfs_volume* mounted = VolumeOf(volume);
    ntfs_inode* inode = LookUpInode(mounted, normalized).release();
    if (inode == nullptr) Fail("invalid path");
    dirFiller filler;
    filler.mode = static_cast<int>(fillerMode::extended);
    // Without a callback the walk itself refuses to start.
    filler.extended = target.callback != nullptr ? &DeliverEntry : nullptr;
    s64 position = 0;
    const int walked = readDirectoryEx(inode, &position, const_cast<fetchTarget*>(&target), &filler);
    if (ntfs_inode_close(inode) != 0) Fail("failed to close inode");
    if (walked != 0) Fail("ntfs_readdir_ex failed");
}

}  // namespace
}  // namespace volkit::fsfamily

namespace volkit {

using namespace fsfamily;

bool directory::create(const char* path, filesystem::handle volume) {
    return RunReported([&] {
        file::handle created;
        created.ptr = openOrCreate(path, openDisposition::createNew, objectType::directory, volume).release();
        if (!file::close(created)) Fail("failed to close created directory");
    });
}

bool directory::remove(const char* path, filesystem::handle volume) {
    return RunReported(
        [&] { openOrCreate(path, openDisposition::removeExisting, objectType::directory, volume); });
}

bool directory::fetch(const char* path, filesystem::handle volume,
                      bool (*callback)(const dirEntry&, void*), void* context) {
    return RunReported([&] {
        Fetch(path, volume, fetchTarget{callback, context});
    });
}

}  // namespace volkit
