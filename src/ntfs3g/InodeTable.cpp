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
void CloseData(SHeldInode& held) {
    held.wof.reset();
    CloseAttribute(held.data);
    for (SHeldStream& stream : held.streams) CloseAttribute(stream.data);
}

}  // namespace

ECloseResult CloseInode(ntfs_inode* inode, ntfs_inode* directory) noexcept {
    const bool entriesDue = NInoFileNameDirty(inode);
    if (!entriesDue && !NInoDirty(inode) && !NInoAttrListDirty(inode))
        return ntfs_inode_close(inode) == 0 ? ECloseResult::Closed : ECloseResult::Incomplete;
    // The entries in a parent the family holds are updated through its copy;
    // any other parent libntfs-3g opens itself as it writes the inode.
    bool entriesUpdated = true;
    if (entriesDue && directory != nullptr) {
        entriesUpdated = UpdateEntries(inode, directory);
        NInoFileNameClearDirty(inode);
    }
    NInoSetDirty(inode);
    if (ntfs_inode_sync(inode) != 0) return ECloseResult::NotWritten;
    // Written, so closed past libntfs-3g's cache of closed inodes, whose
    // admission may write again and then free the inode or not.
    ntfs_volume* volume = inode->vol;
    const uint64_t number = inode->mft_no;
    if (ntfs_inode_real_close(inode) != 0) return ECloseResult::NotWritten;
    // A copy libntfs-3g opened and cached meanwhile is older than this one.
    ntfs_inode_invalidate(volume, number);
    return entriesUpdated ? ECloseResult::Closed : ECloseResult::Incomplete;
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

CInodeUse::CInodeUse(CInodeUse&& other) noexcept
    : m_inode(other.m_inode), m_held(other.m_held), m_table(other.m_table), m_parent(other.m_parent) {
    other.m_inode = nullptr;
    other.m_held = nullptr;
}

CInodeUse& CInodeUse::operator=(CInodeUse&& other) noexcept {
    if (this != &other) {
        Drop();
        std::swap(m_inode, other.m_inode);
        std::swap(m_held, other.m_held);
        m_table = other.m_table;
        m_parent = other.m_parent;
    }
    return *this;
}

ECloseResult CInodeUse::CloseOwned() noexcept {
    ntfs_inode* inode = m_held == nullptr ? m_inode : nullptr;
    m_inode = nullptr;
    m_held = nullptr;
    if (inode == nullptr) return ECloseResult::Closed;
    const ECloseResult result = CloseInode(inode, m_table->HeldDirectory(m_parent, inode->mft_no));
    if (result == ECloseResult::NotWritten) DiscardInode(inode);
    return result;
}

void CInodeUse::Drop() noexcept { CloseOwned(); }

void CInodeUse::Close(const char* message) {
    if (CloseOwned() != ECloseResult::Closed) Fail(message);
}

SHeldInode* CInodeTable::Find(uint64_t number) {
    const auto found = m_byNumber.find(number);
    return found == m_byNumber.end() ? nullptr : found->second;
}

ntfs_inode* CInodeTable::HeldDirectory(uint64_t number, uint64_t child) {
    const SHeldInode* held = number != child ? Find(number) : nullptr;
    return held != nullptr ? held->inode : nullptr;
}

CInodeUse CInodeTable::Use(uint64_t reference, uint64_t parent) {
    SHeldInode* held = Find(MREF(reference));
    if (held != nullptr && held->inode != nullptr) return CInodeUse(held->inode, held, this, parent);
    return CInodeUse(ntfs_inode_open(m_volume, reference), nullptr, this, parent);
}

SHeldInode& CInodeTable::Hold(CInodeUse use, uint64_t parent, bool system) {
    if (use.m_held != nullptr) {
        ++use.m_held->handles;
        return *use.m_held;
    }
    SHeldInode& held = m_entries.emplace_back();
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

ECloseResult CInodeTable::CloseHeld(SHeldInode& held) {
    CloseData(held);
    if (held.inode == nullptr) return ECloseResult::Closed;
    // The directory's held copy takes the entry update: a copy opened for it
    // would later be overwritten by the held one.
    const ECloseResult result = CloseInode(held.inode, HeldDirectory(held.parent, held.number));
    if (result == ECloseResult::NotWritten) return result;
    held.inode = nullptr;
    // Never changed through us, so possibly older than what libntfs-3g wrote
    // meanwhile: it must not stay cached.
    if (held.system) ntfs_inode_invalidate(m_volume, held.number);
    return result;
}

void CInodeTable::Forget(SHeldInode& held) {
    if (Find(held.number) == &held) m_byNumber.erase(held.number);
    m_entries.remove_if([&](const SHeldInode& entry) { return &entry == &held; });
}

bool CInodeTable::Release(SHeldInode& held) {
    if (held.handles > 1) {
        --held.handles;
        return true;
    }
    const ECloseResult result = CloseHeld(held);
    if (result == ECloseResult::NotWritten) Fail("failed to close inode");
    Forget(held);
    return result == ECloseResult::Closed;
}

bool CInodeTable::CloseAll() noexcept {
    bool written = true;
    while (!m_entries.empty()) {
        auto isParentOfAnother = [&](const SHeldInode& entry) {
            return std::any_of(m_entries.begin(), m_entries.end(), [&](const SHeldInode& other) {
                return &other != &entry && !other.removed && other.parent == entry.number;
            });
        };
        auto next = std::find_if_not(m_entries.begin(), m_entries.end(), isParentOfAnother);
        SHeldInode& held = next != m_entries.end() ? *next : m_entries.front();
        const ECloseResult result = CloseHeld(held);
        if (result == ECloseResult::NotWritten) Drop(held);
        written = written && result == ECloseResult::Closed;
        Forget(held);
    }
    return written;
}

void CInodeTable::Drop(SHeldInode& held) noexcept {
    if (ntfs_inode* directory = HeldDirectory(held.parent, held.number)) {
        RemoveEntriesOfUnwritten(held.inode, directory);
    } else {
        CInodeUse parent = Use(held.parent, held.parent);
        if (parent) RemoveEntriesOfUnwritten(held.inode, parent.Get());
    }
    DiscardInode(held.inode);
    held.inode = nullptr;
}

ntfs_inode* CInodeTable::Take(CInodeUse& use) {
    ntfs_inode* inode = use.m_inode;
    if (use.m_held != nullptr) {
        CloseData(*use.m_held);
        use.m_held->inode = nullptr;
    }
    use.m_inode = nullptr;
    use.m_held = nullptr;
    return inode;
}

void CInodeTable::Restore(SHeldInode& held, bool removed) {
    if (removed) {
        held.removed = true;
        if (Find(held.number) == &held) m_byNumber.erase(held.number);
        return;
    }
    held.inode = ntfs_inode_open(m_volume, held.number);
}

}  // namespace volcore::fsfamily
