#pragma once
// The inodes that open file handles hold. libntfs-3g gives every open of a
// record its own in-memory copy and writes that copy back when it is closed,
// so two copies of one record lose whatever the copy closed first changed.
// Each volume therefore keeps one copy per record while handles hold it, and
// every call that reaches the record by path works on that copy.
#include <cstdint>
#include <list>
#include <unordered_map>

#include "ntfs3g/Ntfs3g.h"

namespace volkit::fsfamily {

class inodeTable;

struct heldInode {
    inodeTable* table = nullptr;
    uint64_t number = 0;          // MFT record number
    uint64_t parent = 0;          // the directory it was reached through
    ntfs_inode* inode = nullptr;  // null once the object is gone
    ntfs_attr* data = nullptr;    // unnamed $DATA, opened on first use
    unsigned handles = 0;
    bool system = false;          // metadata: read through handles, never changed
    bool removed = false;
};

// An inode for the length of one call: the held copy when handles hold the
// record, otherwise a copy opened for the call and closed at its end.
class inodeUse {
public:
    inodeUse() = default;
    inodeUse(inodeUse&& other) noexcept;
    inodeUse& operator=(inodeUse&& other) noexcept;
    ~inodeUse() { Drop(); }

    explicit operator bool() const { return m_inode != nullptr; }
    ntfs_inode* Get() const { return m_inode; }
    heldInode* Held() const { return m_held; }
    uint64_t Number() const { return m_inode->mft_no; }

    // Writes a copy opened for the call back now. Fails with `message` when
    // that is impossible; the copy is dropped all the same.
    void Close(const char* message);

private:
    friend class inodeTable;
    inodeUse(ntfs_inode* inode, heldInode* held) : m_inode(inode), m_held(held) {}
    void Drop() noexcept;

    ntfs_inode* m_inode = nullptr;
    heldInode* m_held = nullptr;
};

class inodeTable {
public:
    explicit inodeTable(ntfs_volume* volume) : m_volume(volume) {}
    inodeTable(const inodeTable&) = delete;
    inodeTable& operator=(const inodeTable&) = delete;

    ntfs_volume* Volume() const { return m_volume; }

    // Takes charge of an inode libntfs-3g just opened or created.
    static inodeUse Adopt(ntfs_inode* inode) { return inodeUse(inode, nullptr); }

    // The record a directory entry references (its sequence number checked
    // when it has one); empty when it cannot be opened.
    inodeUse Use(uint64_t reference);

    // One more handle on the object `use` reached.
    heldInode& Hold(inodeUse use, uint64_t parent, bool system);

    // One handle fewer; the last one writes the inode back and forgets it.
    // Fails with "failed to close inode", the handle kept, when the inode
    // cannot be written.
    void Release(heldInode& held);

    // Writes back and forgets every held inode, children before their
    // directories; false when one could not be written (it is dropped).
    bool CloseAll() noexcept;

    // libntfs-3g's delete closes the inodes it is given, held or not. Take
    // hands one over; Restore opens a held one again afterwards, or marks it
    // removed when its object is gone.
    ntfs_inode* Take(inodeUse& use);
    void Restore(heldInode& held, bool removed);

    // The held object with this record number, if handles hold one.
    heldInode* Find(uint64_t number);

private:
    void CloseHeld(heldInode& held);
    void Forget(heldInode& held);

    ntfs_volume* m_volume;
    std::list<heldInode> m_entries;
    std::unordered_map<uint64_t, heldInode*> m_byNumber;  // entries not removed
};

// Drops an inode whose changes cannot be written: clears its dirty state,
// frees it and forgets any cached copy of it.
void DiscardInode(ntfs_inode* inode) noexcept;

}  // namespace volkit::fsfamily
