#include "ntfs3g/InodeTable.h"

#include <algorithm>

#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/InodeFields.h"

namespace volcore::fsfamily {
namespace {

void CloseAttribute(ntfs_attr*& attribute) {
    if (attribute == nullptr) return;
    ntfs_attr_close(attribute);
    attribute = nullptr;
}

// The streams open again by name when next used.
void CloseData(heldInode& held) {
    CloseAttribute(held.data);
    for (heldStream& stream : held.streams) CloseAttribute(stream.data);
}

}  // namespace

closeResult CloseInode(ntfs_inode* inode, ntfs_inode* directory) noexcept {
    const bool entriesDue = NInoFileNameDirty(inode);
    if (!entriesDue && !NInoDirty(inode) && !NInoAttrListDirty(inode))
        return ntfs_inode_close(inode) == 0 ? closeResult::closed : closeResult::incomplete;
    // The entries in a parent the family holds are updated through its copy;
    // any other parent libntfs-3g opens itself as it writes the inode.
    bool entriesUpdated = true;
    if (entriesDue && directory != nullptr) {
        entriesUpdated = UpdateEntries(inode, directory);
        NInoFileNameClearDirty(inode);
    }
    NInoSetDirty(inode);
    if (ntfs_inode_sync(inode) != 0) return closeResult::notWritten;
    // Written, so closed past libntfs-3g's cache of closed inodes, whose
    // admission may write again and then free the inode or not.
    ntfs_volume* volume = inode->vol;
    const uint64_t number = inode->mft_no;
    if (ntfs_inode_real_close(inode) != 0) return closeResult::notWritten;
    // A copy libntfs-3g opened and cached meanwhile is older than this one.
    ntfs_inode_invalidate(volume, number);
    return entriesUpdated ? closeResult::closed : closeResult::incomplete;
}

void DiscardInode(ntfs_inode* inode) noexcept {
    ntfs_volume* volume = inode->vol;
    const uint64_t number = inode->mft_no;
    NInoClearDirty(inode);
    NInoFileNameClearDirty(inode);
    NInoAttrListClearDirty(inode);
    for (int i = 0; i < inode->nr_extents; ++i) NInoClearDirty(inode->extent_nis[i]);
    ntfs_inode_close(inode);
    // What reached the cache is the unwritten state; the disk has the truth.
    ntfs_inode_invalidate(volume, number);
}

inodeUse::inodeUse(inodeUse&& other) noexcept
    : m_inode(other.m_inode), m_held(other.m_held), m_table(other.m_table), m_parent(other.m_parent) {
    other.m_inode = nullptr;
    other.m_held = nullptr;
}

inodeUse& inodeUse::operator=(inodeUse&& other) noexcept {
    if (this != &other) {
        Drop();
        std::swap(m_inode, other.m_inode);
        std::swap(m_held, other.m_held);
        m_table = other.m_table;
        m_parent = other.m_parent;
    }
    return *this;
}

closeResult inodeUse::CloseOwned() noexcept {
    ntfs_inode* inode = m_held == nullptr ? m_inode : nullptr;
    m_inode = nullptr;
    m_held = nullptr;
    if (inode == nullptr) return closeResult::closed;
    const closeResult result = CloseInode(inode, m_table->HeldDirectory(m_parent, inode->mft_no));
    if (result == closeResult::notWritten) DiscardInode(inode);
    return result;
}

void inodeUse::Drop() noexcept { CloseOwned(); }

void inodeUse::Close(const char* message) {
    if (CloseOwned() != closeResult::closed) Fail(message);
}

heldInode* inodeTable::Find(uint64_t number) {
    const auto found = m_byNumber.find(number);
    return found == m_byNumber.end() ? nullptr : found->second;
}

ntfs_inode* inodeTable::HeldDirectory(uint64_t number, uint64_t child) {
    const heldInode* held = number != child ? Find(number) : nullptr;
    return held != nullptr ? held->inode : nullptr;
}

inodeUse inodeTable::Use(uint64_t reference, uint64_t parent) {
    heldInode* held = Find(MREF(reference));
    if (held != nullptr && held->inode != nullptr) return inodeUse(held->inode, held, this, parent);
    return inodeUse(ntfs_inode_open(m_volume, reference), nullptr, this, parent);
}

heldInode& inodeTable::Hold(inodeUse use, uint64_t parent, bool system) {
    if (use.m_held != nullptr) {
        ++use.m_held->handles;
        return *use.m_held;
    }
    heldInode& held = m_entries.emplace_back();
    try {
        m_byNumber[use.Number()] = &held;
    } catch (...) {
        m_entries.pop_back();
        throw;
    }
    held.table = this;
    held.number = use.Number();
    held.parent = parent;
    held.system = system;
    held.handles = 1;
    held.inode = use.m_inode;
    use.m_inode = nullptr;
    return held;
}

closeResult inodeTable::CloseHeld(heldInode& held) {
    CloseData(held);
    if (held.inode == nullptr) return closeResult::closed;
    // The directory's held copy takes the entry update: a copy opened for it
    // would later be overwritten by the held one.
    const closeResult result = CloseInode(held.inode, HeldDirectory(held.parent, held.number));
    if (result == closeResult::notWritten) return result;
    held.inode = nullptr;
    // Never changed through us, so possibly older than what libntfs-3g wrote
    // meanwhile: it must not stay cached.
    if (held.system) ntfs_inode_invalidate(m_volume, held.number);
    return result;
}

void inodeTable::Forget(heldInode& held) {
    if (Find(held.number) == &held) m_byNumber.erase(held.number);
    m_entries.remove_if([&](const heldInode& entry) { return &entry == &held; });
}

bool inodeTable::Release(heldInode& held) {
    if (held.handles > 1) {
        --held.handles;
        return true;
    }
    const closeResult result = CloseHeld(held);
    if (result == closeResult::notWritten) Fail("failed to close inode");
    Forget(held);
    return result == closeResult::closed;
}

bool inodeTable::CloseAll() noexcept {
    bool written = true;
    while (!m_entries.empty()) {
        auto isParentOfAnother = [&](const heldInode& entry) {
            return std::any_of(m_entries.begin(), m_entries.end(), [&](const heldInode& other) {
                return &other != &entry && !other.removed && other.parent == entry.number;
            });
        };
        auto next = std::find_if_not(m_entries.begin(), m_entries.end(), isParentOfAnother);
        heldInode& held = next != m_entries.end() ? *next : m_entries.front();
        const closeResult result = CloseHeld(held);
        if (result == closeResult::notWritten) Drop(held);
        written = written && result == closeResult::closed;
        Forget(held);
    }
    return written;
}

void inodeTable::Drop(heldInode& held) noexcept {
    if (ntfs_inode* directory = HeldDirectory(held.parent, held.number)) {
        RemoveEntriesOfUnwritten(held.inode, directory);
    } else {
        inodeUse parent = Use(held.parent, held.parent);
        if (parent) RemoveEntriesOfUnwritten(held.inode, parent.Get());
    }
    DiscardInode(held.inode);
    held.inode = nullptr;
}

ntfs_inode* inodeTable::Take(inodeUse& use) {
    ntfs_inode* inode = use.m_inode;
    if (use.m_held != nullptr) {
        CloseData(*use.m_held);
        use.m_held->inode = nullptr;
    }
    use.m_inode = nullptr;
    use.m_held = nullptr;
    return inode;
}

void inodeTable::Restore(heldInode& held, bool removed) {
    if (removed) {
        held.removed = true;
        if (Find(held.number) == &held) m_byNumber.erase(held.number);
        return;
    }
    held.inode = ntfs_inode_open(m_volume, held.number);
}

}  // namespace volcore::fsfamily
