#include "ntfs3g/OpenFile.h"

#include <memory>
#include <optional>

#include "base/Bytes.h"
#include "disk/IndexFormat.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"
#include "ntfs3g/Mount.h"
#include "ntfs3g/PathRules.h"
#include "ntfs3g/Streams.h"

namespace volcore::fsfamily {
namespace {

// Records below 24 are the volume's own metadata (16 to 23 reserved for
// more); the root directory is among them but holds everything else.
constexpr uint64_t kFirstUserRecord = 24;

bool IsSystemObject(uint64_t number, bool underSystemDirectory) {
    return underSystemDirectory || (number < kFirstUserRecord && number != FILE_root);
}

SHeldInode* OpenObject(CInodeTable& table, const std::string& normalized) {
    SReachedObject reached = ReachPath(table, normalized);
    if (!reached.inode) Fail("file not found");
    return &table.Hold(std::move(reached.inode), reached.parent, reached.system);
}

// A new directory is written at once, through the parent copy this call
// already has open.
void CloseCreatedDirectory(ntfs_inode* created, ntfs_inode* parent) {
    // Its entry in the parent was just written from these very values; with
    // nothing but the record to write, a failure leaves the inode to discard.
    NInoFileNameClearDirty(created);
    const ECloseResult result = CloseInode(created, parent);
    if (result == ECloseResult::Closed) return;
    if (result == ECloseResult::NotWritten) {
        RemoveEntriesOfUnwritten(created, parent);
        DiscardInode(created);
    }
    Fail("failed to close created directory");
}

bool IndexRootHoldsAll(ntfs_inode* directory) {
    s64 length = 0;
    std::unique_ptr<void, decltype(&std::free)> root(
        ntfs_attr_readall(directory, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &length), &std::free);
    if (root == nullptr || length < static_cast<s64>(IndexRoot::HeaderSize)) return false;
    const CByteReader reader(static_cast<const uint8_t*>(root.get()), static_cast<size_t>(length));
    return (reader.U8(IndexRoot::Header + IndexHeader::Flags) & IndexHeader::FlagLarge) == 0;
}

// libntfs-3g moves the entries of a full index root out into blocks by first
// giving the directory an allocation and its bitmap. A write failing on the
// way can leave an empty allocation whose bitmap marks a block in use, which
// readers then fail to read; a root that still holds every entry needs
// neither.
void DropEmptyIndexAllocation(ntfs_inode* directory) {
    if (!IndexRootHoldsAll(directory)) return;
    ntfs_attr* allocation = ntfs_attr_open(directory, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
    if (allocation == nullptr) return;
    const bool empty = allocation->allocated_size == 0;
    ntfs_attr_close(allocation);
    if (!empty) return;
    ntfs_attr_remove(directory, AT_BITMAP, NTFS_INDEX_I30, 4);
    ntfs_attr_remove(directory, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
}

SHeldInode* CreateObject(CInodeTable& table, const SParentAndName& parts, EObjectType type) {
    SReachedObject parent = WalkPath(table, PathElements(parts.parentPath));
    if (!parent.inode) Fail("failed to open directory");
    if (LookUpName(parent.inode.Get(), parts.name)) Fail("already exists");
    if (parent.system) Fail("cannot change a system file");
    const std::vector<ntfschar> name = ConvertNewName(parts.name);
    PrepareChange(table.Volume());
    const CTransferWatch transfers;
    ntfs_inode* created = ntfs_create(parent.inode.Get(), 0, name.data(), static_cast<u8>(name.size()),
                                      static_cast<mode_t>(type));
    if (transfers.Failed()) DropEmptyIndexAllocation(parent.inode.Get());
    if (created == nullptr) Fail("failed to create file");
    const uint64_t parentNumber = parent.inode.Number();
    if (type == EObjectType::Directory) {
        CloseCreatedDirectory(created, parent.inode.Get());
        parent.inode.Close("failed to close directory");
        return nullptr;
    }
    CInodeUse file = table.Adopt(created, parentNumber);
    parent.inode.Close("failed to close directory");
    return &table.Hold(std::move(file), parentNumber, false);
}

void MarkRunsInUse(ntfs_volume* volume, const ATTR_RECORD* attribute) noexcept {
    runlist_element* runs = ntfs_mapping_pairs_decompress(volume, attribute, nullptr);
    for (const runlist_element* run = runs; run != nullptr && run->length != 0; ++run)
        if (run->lcn >= 0) ntfs_bitmap_set_run(volume->lcnbmp_na, run->lcn, run->length);
    std::free(runs);
}

// libntfs-3g frees a deleted record's clusters before it writes the record
// as unused. When that write fails the record still owns clusters the bitmap
// calls free, which a later allocation, here or elsewhere, would hand to
// another file. Marking them in use again leaves an orphaned record and its
// clusters: space lost, but no two files sharing it.
void KeepClustersOfUndeletedRecord(ntfs_volume* volume, uint64_t number) noexcept {
    ntfs_inode_invalidate(volume, number);
    ntfs_inode* inode = ntfs_inode_open(volume, number);
    if (inode == nullptr) return;  // no longer in use: nothing owns its clusters
    ntfs_attr_search_ctx* context = ntfs_attr_get_search_ctx(inode, nullptr);
    while (context != nullptr && ntfs_attrs_walk(context) == 0)
        if (context->attr->non_resident) MarkRunsInUse(volume, context->attr);
    if (context != nullptr) ntfs_attr_put_search_ctx(context);
    DiscardInode(inode);
}

void RemoveObject(CInodeTable& table, const std::string& normalized, const SParentAndName& parts) {
    // The path is looked up as written first: in "a/../b" the ".." is a name
    // inside a, so the root's b is never what such a path removes.
    uint64_t found = 0;
    {
        const SReachedObject whole = ReachPath(table, normalized);
        if (!whole.inode) Fail("file not found");
        found = whole.inode.Number();
    }
    SReachedObject parent = WalkPath(table, PathElements(parts.parentPath));
    if (!parent.inode) Fail("failed to open parent directory");
    const std::optional<uint64_t> reference = LookUpName(parent.inode.Get(), parts.name);
    CInodeUse target = reference ? table.Use(*reference, parent.inode.Number()) : CInodeUse();
    if (!target || target.Number() != found) Fail("failed to delete file");
    if (target.Number() == parent.inode.Number()) Fail("failed to delete file");
    if (IsSystemObject(target.Number(), parent.system)) Fail("cannot remove a system file");
    const std::vector<ntfschar> name = ConvertExistingName(parts.name);
    PrepareChange(table.Volume());
    // A record that keeps another name outlives this removal.
    const bool lastName = le16_to_cpu(target.Get()->mrec->link_count) <= 1;
    SHeldInode* heldTarget = target.Held();
    SHeldInode* heldParent = parent.inode.Held();
    const uint64_t number = target.Number();
    ntfs_inode* targetInode = table.Take(target);
    ntfs_inode* parentInode = table.Take(parent.inode);
    const CTransferWatch transfers;
    const int result = ntfs_delete(table.Volume(), nullptr, targetInode, parentInode, name.data(),
                                   static_cast<u8>(name.size()));
    if (lastName && transfers.Failed()) KeepClustersOfUndeletedRecord(table.Volume(), number);
    if (heldParent != nullptr) table.Restore(*heldParent, false);
    if (heldTarget != nullptr) table.Restore(*heldTarget, result == 0 && lastName);
    if (result != 0) Fail("failed to delete file");
}

}  // namespace

std::optional<uint64_t> LookUpName(ntfs_inode* directory, const std::string& name) {
    const std::vector<ntfschar> units = ConvertExistingName(name);
    if (units.empty()) return std::nullopt;
    const u64 reference = ntfs_inode_lookup_by_name(directory, units.data(), static_cast<int>(units.size()));
    if (reference == static_cast<u64>(-1)) return std::nullopt;
    return reference;
}

SReachedObject WalkPath(CInodeTable& table, const std::vector<std::string>& elements) {
    SReachedObject reached;
    reached.inode = table.Use(FILE_root, FILE_root);
    reached.parent = FILE_root;
    bool underSystemDirectory = false;
    for (const std::string& element : elements) {
        if (!reached.inode) break;
        const uint64_t directory = reached.inode.Number();
        const std::optional<uint64_t> reference = LookUpName(reached.inode.Get(), element);
        reached.inode = reference ? table.Use(*reference, directory) : CInodeUse();
        underSystemDirectory = underSystemDirectory || IsSystemObject(directory, false);
        reached.parent = directory;
    }
    reached.system = reached.inode && IsSystemObject(reached.inode.Number(), underSystemDirectory);
    return reached;
}

SReachedObject ReachPath(CInodeTable& table, const std::string& normalized) {
    return WalkPath(table, PathElements(normalized));
}

SHeldInode* OpenOrCreate(const char* path, EOpenDisposition disposition, EObjectType type,
                        volkit::filesystem::handle volume) {
    const std::string normalized = NormalizePath(path);
    CInodeTable& table = MountOf(volume).inodes;
    // The root has no name to split off, but opening it is how its attributes
    // and times are read; creating or removing it stays refused.
    if (disposition == EOpenDisposition::OpenExisting && PathElements(normalized).empty())
        return OpenObject(table, normalized);
    const SParentAndName parts = SplitParentAndName(normalized);
    switch (disposition) {
        case EOpenDisposition::CreateNew:
            return CreateObject(table, parts, type);
        case EOpenDisposition::OpenExisting:
            return OpenObject(table, normalized);
        case EOpenDisposition::RemoveExisting:
            RemoveObject(table, normalized, parts);
            return nullptr;
    }
    Fail("unknown disposition");
}

void* RegisterHandle(volkit::filesystem::handle volume, const SHandleTarget& opened) {
    try {
        void* handle = nullptr;
        MountedVolumes().With(volume.ptr, [&](SMountedVolume& mounted, uint32_t) {
            handle = HandleBeside(volume.ptr, mounted.files.Add(opened));
        });
        if (handle == nullptr) Fail("volume handle is invalid");
        return handle;
    } catch (...) {
        try {
            if (opened.stream != nullptr) ReleaseStream(*opened.held, *opened.stream);
            opened.held->table->Release(*opened.held);
        } catch (...) {
            // The allocation failure is what the caller hears about.
        }
        throw;
    }
}

SHandleTarget OpenHandleOf(volkit::file::handle handle) {
    SHandleTarget opened;
    MountedVolumes().With(handle.ptr, [&](SMountedVolume& mounted, uint32_t serial) {
        if (const SHandleTarget* found = mounted.files.Find(serial)) opened = *found;
    });
    if (opened.held == nullptr) Fail("invalid file handle");
    return opened;
}

SHeldInode& OpenFileOf(volkit::file::handle handle) { return *OpenHandleOf(handle).held; }

ntfs_inode* LiveInode(SHeldInode& held) {
    if (held.inode == nullptr) Fail(held.removed ? "file has been removed" : "file is no longer open");
    return held.inode;
}

ntfs_inode* ChangeableInode(SHeldInode& held) {
    if (held.system) Fail("cannot change a system file");
    ntfs_inode* inode = LiveInode(held);
    PrepareChange(held.table->Volume());
    return inode;
}

void CloseOpenFile(volkit::file::handle handle) {
    const SHandleTarget opened = OpenHandleOf(handle);
    SHeldInode& held = *opened.held;
    // The last handle on the object closes its streams with it, and keeps
    // them when that close fails.
    if (opened.stream != nullptr && held.handles > 1) ReleaseStream(held, *opened.stream);
    const bool complete = held.table->Release(held);
    MountedVolumes().With(handle.ptr, [&](SMountedVolume& mounted, uint32_t serial) {
        SHandleTarget removed;
        mounted.files.Remove(serial, removed);
    });
    if (!complete) Fail("failed to close inode");
}

}  // namespace volcore::fsfamily
