#pragma once
// The inodes that open file handles hold. libntfs-3g gives every open of a
// record its own in-memory copy and writes that copy back when it is closed,
// so two copies of one record lose whatever the copy closed first changed.
// Each volume therefore keeps one copy per record while handles hold it, and
// every call that reaches the record by path works on that copy.
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "entries/SystemCompressed.h"
#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {

class CInodeTable;

// A named $DATA (alternate data stream) of a held object that handles hold.
struct SHeldStream {
    std::vector<ntfschar> name;  // as stored, little-endian units
    ntfs_attr* data = nullptr;   // opened on first use, closed with the inode
    unsigned handles = 0;
    bool removed = false;        // the stream was deleted; its handles only close
};

struct SHeldInode {
    CInodeTable* table = nullptr;
    uint64_t number = 0;          // MFT record number
    uint64_t parent = 0;          // the directory it was reached through
    ntfs_inode* inode = nullptr;  // null once the object is gone
    ntfs_attr* data = nullptr;    // unnamed $DATA, opened on first use
    // The reader of a system-compressed file's data, opened with `data`.
    std::unique_ptr<CSystemCompressedData> wof;
    std::list<SHeldStream> streams;  // named streams open through handles
    unsigned handles = 0;         // counting those on its streams
    bool system = false;          // metadata: read through handles, never changed
    bool removed = false;
};

// How closing an inode went. Whether libntfs-3g frees an inode whose
// write-back failed depends on a second attempt it makes itself, so the
// family writes the inode first, where a failure leaves it open, and frees it
// only then.
enum class ECloseResult {
    Closed,
    NotWritten,  // the inode could not be written and is still open
    Incomplete,  // the inode is gone, but the directory entries' copies of its
                 // sizes and times may be behind
};

// Writes `inode` back and frees it. `directory` is the copy of its parent the
// family holds, which takes the entry update (null: libntfs-3g opens the
// parent).
ECloseResult CloseInode(ntfs_inode* inode, ntfs_inode* directory) noexcept;

// Drops an inode whose changes cannot be written: clears its dirty state,
// frees it and forgets any cached copy of it.
void DiscardInode(ntfs_inode* inode) noexcept;

// An inode for the length of one call: the held copy when handles hold the
// record, otherwise a copy opened for the call and closed at its end.
class CInodeUse {
public:
    CInodeUse() = default;
    CInodeUse(CInodeUse&& other) noexcept;
    CInodeUse& operator=(CInodeUse&& other) noexcept;
    ~CInodeUse() { Drop(); }

    explicit operator bool() const { return m_inode != nullptr; }
    ntfs_inode* Get() const { return m_inode; }
    SHeldInode* Held() const { return m_held; }
    uint64_t Number() const { return m_inode->mft_no; }

    // Writes a copy opened for the call back now. Fails with `message` when
    // that is impossible; the copy is dropped all the same.
    void Close(const char* message);

private:
    friend class CInodeTable;
    CInodeUse(ntfs_inode* inode, SHeldInode* held, CInodeTable* table, uint64_t parent)
        : m_inode(inode), m_held(held), m_table(table), m_parent(parent) {}
    ECloseResult CloseOwned() noexcept;
    void Drop() noexcept;

    ntfs_inode* m_inode = nullptr;
    SHeldInode* m_held = nullptr;
    CInodeTable* m_table = nullptr;
    uint64_t m_parent = 0;  // the directory it was reached through
};

class CInodeTable {
public:
    explicit CInodeTable(ntfs_volume* volume) : m_volume(volume) {}
    CInodeTable(const CInodeTable&) = delete;
    CInodeTable& operator=(const CInodeTable&) = delete;

    ntfs_volume* Volume() const { return m_volume; }

    // Takes charge of an inode libntfs-3g just created in `parent`.
    CInodeUse Adopt(ntfs_inode* inode, uint64_t parent) { return CInodeUse(inode, nullptr, this, parent); }

    // The record an entry of directory `parent` references (its sequence
    // number checked when it has one); empty when it cannot be opened.
    CInodeUse Use(uint64_t reference, uint64_t parent);

    // The held object with this record number, if handles hold one.
    SHeldInode* Find(uint64_t number);

    // The held copy of directory `number` for closing its child `child`, or
    // null.
    ntfs_inode* HeldDirectory(uint64_t number, uint64_t child);

    // One more handle on the object `use` reached.
    SHeldInode& Hold(CInodeUse use, uint64_t parent, bool system);

    // One handle fewer; the last one writes the inode back and forgets it.
    // Fails with "failed to close inode", the handle kept, when the record
    // cannot be written; false when only the directory entries could not be
    // brought up to date (the inode is gone all the same).
    bool Release(SHeldInode& held);

    // Writes back and forgets every held inode, children before their
    // directories; false when one could not be written (it is dropped).
    bool CloseAll() noexcept;

    // libntfs-3g's delete closes the inodes it is given, held or not. Take
    // hands one over; Restore opens a held one again afterwards, or marks it
    // removed when its object is gone.
    ntfs_inode* Take(CInodeUse& use);
    void Restore(SHeldInode& held, bool removed);

private:
    ECloseResult CloseHeld(SHeldInode& held);
    // Gives up a held inode that cannot be written, leaving no entry behind
    // that points at a record never written.
    void Drop(SHeldInode& held) noexcept;
    void Forget(SHeldInode& held);

    ntfs_volume* m_volume;
    std::list<SHeldInode> m_entries;
    std::unordered_map<uint64_t, SHeldInode*> m_byNumber;  // entries not removed
};

}  // namespace volcore::fsfamily
