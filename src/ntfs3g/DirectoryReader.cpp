#include "ntfs3g/DirectoryReader.h"

#include <memory>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"
#include "ntfs3g/InodeFields.h"

namespace volcore::fsfamily {
namespace {

constexpr uint32_t kMinIndexBlockSize = 512;
constexpr uint32_t kMaxIndexBlockSize = 65536;

// Raised for a damaged index; becomes EIO.
struct SDamagedIndex {};

void Require(bool condition) {
    if (!condition) throw SDamagedIndex{};
}

struct SFreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

struct SAttrCloser {
    void operator()(ntfs_attr* attribute) const { ntfs_attr_close(attribute); }
};
using AttrRef = std::unique_ptr<ntfs_attr, SAttrCloser>;

// One entry read from an index node, with its place in the walk.
struct SWalkedEntry {
    s64 ordinal = 0;
    uint64_t reference = 0;
    SDirEntryEx record;
};
using NodeEntryList = std::vector<SWalkedEntry>;

// Reads one index node at a time and hands its entries to the filler only
// once nothing of the directory is open any more: the filler may change the
// directory, even have its inode closed and opened again (`m_directory` is a
// reference to where the current inode is kept, read again for each node).
class CExtendedWalk {
public:
    CExtendedWalk(ntfs_inode* const& directory, s64* position, void* context, ExtendedFiller filler)
        : m_directory(directory), m_position(position), m_context(context), m_filler(filler) {}

    // 0 when every entry was reported, -1 when the filler stopped the walk.
    int Run() {
        m_skip = *m_position;
        if (!Deliver(RootEntries())) return -1;
        for (s64 index = 0;; ++index) {
            NodeEntryList entries;
            if (!BlockEntries(index, entries)) return 0;
            if (!Deliver(entries)) return -1;
        }
    }

private:
    ntfs_inode* Directory() const {
        Require(m_directory != nullptr);
        return m_directory;
    }

    bool Deliver(const NodeEntryList& entries) {
        for (const SWalkedEntry& entry : entries) {
            *m_position = entry.ordinal;
            if (m_filler(m_context, entry.reference, entry.record) != 0) return false;
        }
        return true;
    }

    NodeEntryList RootEntries() {
        s64 length = 0;
        std::unique_ptr<void, SFreeDeleter> root(
            ntfs_attr_readall(Directory(), AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &length));
        Require(root != nullptr && length > 0);
        const CByteReader reader(static_cast<const uint8_t*>(root.get()), static_cast<size_t>(length));
        m_blockSize = reader.U32(IndexRoot::BlockSize);
        NodeEntryList entries;
        CollectEntries(reader, IndexRoot::Header, entries);
        return entries;
    }

    // The entries of block `index` when it is in use; false past the last
    // block.
    bool BlockEntries(s64 index, NodeEntryList& entries) {
        AttrRef allocation(ntfs_attr_open(Directory(), AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4));
        if (!allocation) {
            Require(errno == ENOENT);
            return false;
        }
        Require(m_blockSize >= kMinIndexBlockSize && m_blockSize <= kMaxIndexBlockSize &&
                (m_blockSize & (m_blockSize - 1)) == 0);
        AttrRef bitmap(ntfs_attr_open(Directory(), AT_BITMAP, NTFS_INDEX_I30, 4));
        Require(bitmap != nullptr);
        if (index >= BlockCount(*allocation, *bitmap)) return false;
        if (!IsBlockInUse(*bitmap, index)) return true;
        m_block.resize(m_blockSize);
        const s64 read = ntfs_attr_mst_pread(allocation.get(), index * m_blockSize, 1, m_blockSize, m_block.data());
        Require(read == 1);
        const CByteReader reader(m_block);
        Require(reader.U32(IndexBlock::Signature) == IndexBlock::SignatureValue);
        CollectEntries(reader, IndexBlock::Header, entries);
        return true;
    }

    // Blocks past the bitmap or the volume cannot be in use; this bounds the
    // walk whatever sizes a damaged index claims.
    s64 BlockCount(const ntfs_attr& allocation, const ntfs_attr& bitmap) const {
        const ntfs_volume* volume = m_directory->vol;
        const s64 volumeBytes = volume->nr_clusters << volume->cluster_size_bits;
        const s64 bitmapBits = bitmap.data_size > volumeBytes ? volumeBytes : bitmap.data_size * 8;
        s64 count = std::min(allocation.data_size, volumeBytes) / m_blockSize;
        return std::max<s64>(0, std::min(count, bitmapBits));
    }

    static bool IsBlockInUse(ntfs_attr& bitmap, s64 index) {
        uint8_t bits = 0;
        Require(ntfs_attr_pread(&bitmap, index / 8, 1, &bits) == 1);
        return (bits >> (index % 8)) & 1;
    }

    void CollectEntries(const CByteReader& node, size_t headerOffset, NodeEntryList& entries) {
        const CByteReader header = node.Sub(headerOffset, IndexHeader::Flags);
        const uint64_t first = headerOffset + uint64_t{header.U32(IndexHeader::FirstEntry)};
        const uint64_t end = headerOffset + uint64_t{header.U32(IndexHeader::BytesInUse)};
        Require(end <= node.Size() && first <= end);
        // Entries may not run past the bytes in use; the checks raise, which
        // turns into EIO like any other damage.
        const CByteReader area = node.Sub(0, end);
        for (uint64_t offset = first; offset < end;) {
            const uint32_t length = CheckIndexEntry(area, offset);
            SIndexEntryValue value;
            SReadIndexEntry entry = ReadIndexEntry(area, offset, value);
            if (entry.isEnd) return;
            CollectEntry(value, entry.name, entries);
            offset += length;
        }
        // An index node always ends with a last-entry marker.
        throw SDamagedIndex{};
    }

    void CollectEntry(const SIndexEntryValue& value, const std::u16string& name, NodeEntryList& entries) {
        if (m_ordinal++ < m_skip) return;
        if (!IsShown(value.fileReference, value.fileAttributes)) return;
        entries.push_back({m_ordinal, value.fileReference, RecordFromValue(value, name)});
    }

    bool IsShown(uint64_t reference, uint32_t attributes) const {
        ntfs_volume* volume = m_directory->vol;
        // The root lists itself under "."; that is never an entry here.
        if (MREF(reference) == m_directory->mft_no) return false;
        if (!NVolShowSysFiles(volume) && MREF(reference) < FILE_first_user) return false;
        if (!NVolShowHidFiles(volume) && (attributes & kFileAttributeHidden)) return false;
        return true;
    }

    static SDirEntryEx RecordFromValue(const SIndexEntryValue& value, const std::u16string& name) {
        SDirEntryEx record;
        record.creationTime = value.creationTime;
        record.lastWriteTime = value.modificationTime;
        record.lastAccessTime = value.accessTime;
        record.fileAttributes = value.fileAttributes;
        std::copy(name.begin(), name.end(), record.name);  // at most 255 units
        record.nameSpace = value.nameSpace;
        // The directory's copy of the length, brought up to date whenever
        // the file is closed here; a directory has none of its own.
        if (!(record.fileAttributes & kFileAttributeDirectoryIndex)) record.size = value.dataSize;
        return record;
    }

    ntfs_inode* const& m_directory;
    s64* m_position;
    void* m_context;
    ExtendedFiller m_filler;
    uint32_t m_blockSize = 0;
    s64 m_ordinal = 0;
    s64 m_skip = 0;
    std::vector<uint8_t> m_block;
};

int ReadExtended(ntfs_inode* const& directory, s64* position, void* context, ExtendedFiller filler) {
    try {
        return CExtendedWalk(directory, position, context, filler).Run();
    } catch (const SDamagedIndex&) {
        errno = EIO;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return -1;
}

}  // namespace

int ReadDirectoryEx(ntfs_inode* directory, s64* position, void* context, const SDirFiller* filler) {
    if (directory == nullptr || position == nullptr || filler == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const bool plain = filler->mode == static_cast<int>(EFillerMode::Plain) && filler->plain != nullptr;
    const bool extended = filler->mode == static_cast<int>(EFillerMode::Extended) && filler->extended != nullptr;
    if (!plain && !extended) {
        errno = EINVAL;
        return -1;
    }
    if (!IsDirectoryRecord(directory)) {
        errno = ENOTDIR;
        return -1;
    }
    if (plain) return ntfs_readdir(directory, position, context, filler->plain);
    return ReadExtended(directory, position, context, filler->extended);
}

}  // namespace volcore::fsfamily

namespace volcore::fsfamily {

int ReadHeldDirectory(ntfs_inode* const& directory, s64* position, void* context, ExtendedFiller filler) {
    if (directory == nullptr || position == nullptr || filler == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!IsDirectoryRecord(directory)) {
        errno = ENOTDIR;
        return -1;
    }
    return ReadExtended(directory, position, context, filler);
}

}  // namespace volcore::fsfamily
