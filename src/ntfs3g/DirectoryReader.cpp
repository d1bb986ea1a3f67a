#include "ntfs3g/DirectoryReader.h"

#include <memory>

#include "api/Bytes.h"
#include "ntfs3g/InodeFields.h"

namespace volkit::fsfamily {
namespace {

using volcore::CByteReader;

// Offsets inside the $I30 index structures.
constexpr size_t kRootHeaderOffset = 16;      // INDEX_HEADER inside $INDEX_ROOT
constexpr size_t kRootBlockSizeOffset = 8;
constexpr size_t kBlockHeaderOffset = 24;     // INDEX_HEADER inside an INDX block
constexpr size_t kEntryHeaderSize = 16;
constexpr size_t kFileNameHeaderSize = 66;    // $FILE_NAME up to the name
constexpr uint16_t kEntryIsLast = 0x2;
constexpr uint32_t kIndxMagic = 0x58444e49;   // "INDX"
constexpr uint32_t kMinIndexBlockSize = 512;
constexpr uint32_t kMaxIndexBlockSize = 65536;
constexpr uint32_t kHasDirectoryIndex = 0x10000000;
constexpr uint32_t kHiddenAttribute = 0x2;
constexpr size_t kBitmapChunk = 4096;

// Raised for a damaged index; becomes EIO.
struct damagedIndex {};

void Require(bool condition) {
    if (!condition) throw damagedIndex{};
}

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

struct AttrCloser {
    void operator()(ntfs_attr* attribute) const { ntfs_attr_close(attribute); }
};
using AttrRef = std::unique_ptr<ntfs_attr, AttrCloser>;

uint64_t UnnamedDataSize(ntfs_volume* volume, uint64_t reference) {
    ntfs_inode* inode = ntfs_inode_open(volume, MREF(reference));
    if (inode == nullptr) return 0;
    uint64_t size = 0;
    // libntfs-3g hands out a named stream when no unnamed one exists.
    if (ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0)) {
        if (data->name_len == 0 && data->data_size > 0) size = static_cast<uint64_t>(data->data_size);
        ntfs_attr_close(data);
    }
    ntfs_inode_close(inode);
    // Closing parks a clean copy in libntfs-3g's inode cache; if the caller
    // holds the same inode open and changes it, a later open would get that
    // stale copy back instead of what the caller wrote.
    ntfs_inode_invalidate(volume, MREF(reference));
    return size;
}

class extendedWalk {
public:
    extendedWalk(ntfs_inode* directory, s64* position, void* context, extendedFiller filler)
        : m_directory(directory), m_position(position), m_context(context), m_filler(filler) {}

    // 0 when every entry was reported, -1 when the filler stopped the walk.
    int Run() {
        m_skip = *m_position;
        if (!WalkRoot()) return -1;
        return WalkAllocation() ? 0 : -1;
    }

private:
    bool WalkRoot() {
        s64 length = 0;
        std::unique_ptr<void, FreeDeleter> root(
            ntfs_attr_readall(m_directory, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &length));
        Require(root != nullptr && length > 0);
        const CByteReader reader(static_cast<const uint8_t*>(root.get()), static_cast<size_t>(length));
        m_blockSize = reader.U32(kRootBlockSizeOffset);
        return WalkEntries(reader, kRootHeaderOffset);
    }

    bool WalkAllocation() {
        AttrRef allocation(ntfs_attr_open(m_directory, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4));
        if (!allocation) {
            Require(errno == ENOENT);
            return true;
        }
        Require(m_blockSize >= kMinIndexBlockSize && m_blockSize <= kMaxIndexBlockSize &&
                (m_blockSize & (m_blockSize - 1)) == 0);
        AttrRef bitmap(ntfs_attr_open(m_directory, AT_BITMAP, NTFS_INDEX_I30, 4));
        Require(bitmap != nullptr);
        std::vector<uint8_t> block(m_blockSize);
        const s64 blockCount = BlockCount(*allocation, *bitmap);
        for (s64 index = 0; index < blockCount; ++index) {
            if (!IsBlockInUse(*bitmap, index)) continue;
            const s64 read = ntfs_attr_mst_pread(allocation.get(), index * m_blockSize, 1, m_blockSize, block.data());
            Require(read == 1);
            const CByteReader reader(block);
            Require(reader.U32(0) == kIndxMagic);
            if (!WalkEntries(reader, kBlockHeaderOffset)) return false;
        }
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

    // The bitmap is read a chunk at a time, so its on-disk length never sizes
    // an allocation.
    bool IsBlockInUse(ntfs_attr& bitmap, s64 index) {
        const s64 byte = index / 8;
        const s64 chunkStart = byte - byte % static_cast<s64>(kBitmapChunk);
        if (m_bitmapChunk.empty() || chunkStart != m_bitmapChunkStart) {
            m_bitmapChunk.assign(kBitmapChunk, 0);
            const s64 read = ntfs_attr_pread(&bitmap, chunkStart, kBitmapChunk, m_bitmapChunk.data());
            Require(read >= 0);
            m_bitmapChunkStart = chunkStart;
        }
        return (m_bitmapChunk[static_cast<size_t>(byte - chunkStart)] >> (index % 8)) & 1;
    }

    bool WalkEntries(const CByteReader& node, size_t headerOffset) {
        const uint64_t first = headerOffset + uint64_t{node.U32(headerOffset)};
        const uint64_t end = headerOffset + uint64_t{node.U32(headerOffset + 4)};
        Require(end <= node.Size() && first <= end);
        for (uint64_t offset = first; offset < end;) {
            const CByteReader entry = node.Sub(offset, std::min<uint64_t>(end - offset, 0xFFFF));
            const uint16_t length = entry.U16(8);
            if (entry.U16(12) & kEntryIsLast) return true;
            Require(length >= kEntryHeaderSize && length <= entry.Size());
            if (!VisitEntry(entry.Sub(0, length))) return false;
            offset += length;
        }
        // An index node always ends with a last-entry marker.
        throw damagedIndex{};
    }

    bool VisitEntry(const CByteReader& entry) {
        const uint64_t reference = entry.U64(0);
        const CByteReader key = entry.Sub(kEntryHeaderSize, entry.U16(10));
        Require(key.Size() >= kFileNameHeaderSize);
        if (m_ordinal++ < m_skip) return true;
        *m_position = m_ordinal;
        if (!IsShown(reference, key.U32(56))) return true;
        const dirEntryEx record = RecordFromKey(reference, key);
        return m_filler(m_context, record) == 0;
    }

    bool IsShown(uint64_t reference, uint32_t attributes) const {
        ntfs_volume* volume = m_directory->vol;
        // The root lists itself under "."; that is never an entry here.
        if (MREF(reference) == m_directory->mft_no) return false;
        if (!NVolShowSysFiles(volume) && MREF(reference) < FILE_first_user) return false;
        if (!NVolShowHidFiles(volume) && (attributes & kHiddenAttribute)) return false;
        return true;
    }

    dirEntryEx RecordFromKey(uint64_t reference, const CByteReader& key) const {
        dirEntryEx record;
        record.creationTime = key.U64(8);
        record.lastWriteTime = key.U64(16);
        record.lastAccessTime = key.U64(32);
        record.fileAttributes = key.U32(56);
        const std::u16string name = key.Utf16(kFileNameHeaderSize, key.U8(64));
        std::copy(name.begin(), name.end(), record.name);  // at most 255 units
        if (!(record.fileAttributes & kHasDirectoryIndex)) record.size = UnnamedDataSize(m_directory->vol, reference);
        return record;
    }

    ntfs_inode* m_directory;
    s64* m_position;
    void* m_context;
    extendedFiller m_filler;
    uint32_t m_blockSize = 0;
    s64 m_ordinal = 0;
    s64 m_skip = 0;
    std::vector<uint8_t> m_bitmapChunk;
    s64 m_bitmapChunkStart = 0;
};

int ReadExtended(ntfs_inode* directory, s64* position, void* context, extendedFiller filler) {
    try {
        return extendedWalk(directory, position, context, filler).Run();
    } catch (const damagedIndex&) {
        errno = EIO;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return -1;
}

}  // namespace

int readDirectoryEx(ntfs_inode* directory, s64* position, void* context, const dirFiller* filler) {
    if (directory == nullptr || position == nullptr || filler == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const bool plain = filler->mode == static_cast<int>(fillerMode::plain) && filler->plain != nullptr;
    const bool extended = filler->mode == static_cast<int>(fillerMode::extended) && filler->extended != nullptr;
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

}  // namespace volkit::fsfamily
