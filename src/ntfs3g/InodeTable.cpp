#include "ntfs3g/InodeTable.h"

#include <algorithm>

#include "ntfs3g/FamilyLog.h"

namespace volkit::fsfamily {
namespace {

void CloseData(heldInode& held) {
    if (held.data == nullptr) return;
    ntfs_attr_close(held.data);
    held.data = nullptr;
}

}  // namespace

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

inodeUse::inodeUse(inodeUse&& other) noexcept : m_inode(other.m_inode), m_held(other.m_held) {
    other.m_inode = nullptr;
    other.m_held = nullptr;
}

inodeUse& inodeUse::operator=(inodeUse&& other) noexcept {
    if (this != &other) {
        Drop();
        std::swap(m_inode, other.m_inode);
        std::swap(m_held, other.m_held);
    }
    return *this;
}

void inodeUse::Drop() noexcept {
    if (m_inode != nullptr && m_held == nullptr && ntfs_inode_close(m_inode) != 0) DiscardInode(m_inode);
    m_inode = nullptr;
    m_held = nullptr;
}

void inodeUse::Close(const char* message) {
    ntfs_inode* inode = m_held == nullptr ? m_inode : nullptr;
    m_inode = nullptr;
    m_held = nullptr;
    if (inode == nullptr || ntfs_inode_close(inode) == 0) return;
    DiscardInode(inode);
    Fail(message);
}

heldInode* inodeTable::Find(uint64_t number) {
    const auto found = m_byNumber.find(number);
    return found == m_byNumber.end() ? nullptr : found->second;
}

inodeUse inodeTable::Use(uint64_t reference) {
    heldInode* held = Find(MREF(reference));
    if (held != nullptr && held->inode != nullptr) return inodeUse(held->inode, held);
    return inodeUse(ntfs_inode_open(m_volume, reference), nullptr);
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

void inodeTable::CloseHeld(heldInode& held) {
    CloseData(held);
    if (held.inode == nullptr) return;
    // The directory's held copy takes the index entry update; a second copy
    // opened for it would later be overwritten by the held one.
    const heldInode* parent = Find(held.parent);
    ntfs_inode* directory = parent != nullptr && parent != &held ? parent->inode : nullptr;
    const int closed = directory != nullptr ? ntfs_inode_close_in_dir(held.inode, directory)
                                            : ntfs_inode_close(held.inode);
    if (closed != 0) Fail("failed to close inode");
    held.inode = nullptr;
    // Never changed through us, so possibly older than what libntfs-3g wrote
    // meanwhile: it must not stay cached.
    if (held.system) ntfs_inode_invalidate(m_volume, held.number);
}

void inodeTable::Forget(heldInode& held) {
    if (Find(held.number) == &held) m_byNumber.erase(held.number);
    m_entries.remove_if([&](const heldInode& entry) { return &entry == &held; });
}

void inodeTable::Release(heldInode& held) {
    if (held.handles > 1) {
        --held.handles;
        return;
    }
    CloseHeld(held);
    Forget(held);
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
        try {
            CloseHeld(held);
        } catch (...) {
            written = false;
            if (held.inode != nullptr) DiscardInode(held.inode);
        }
        Forget(held);
    }
    return written;
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

}  // namespace volkit::fsfamily
