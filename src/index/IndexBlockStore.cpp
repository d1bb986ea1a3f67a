#include "index/IndexBlockStore.h"

#include <algorithm>
#include <iterator>
#include <cstring>

#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "disk/Fixups.h"
#include "disk/VolumeServices.h"

namespace volcore {

namespace {

// Parsed leaves kept for lookups; a 4 KiB block costs about as much again.
// Few: random lookups in a large index seldom end in the same leaf twice
// (every kept leaf is fresh memory), and names looked up or added in order
// go through one leaf after another.
constexpr size_t kCachedBlocks = 8;
// Parsed blocks of the levels above the leaves, by their memory: a directory
// of 100,000 entries needs about 0.5 MiB for all of them, one of 1,000,000
// about ten times that, and keeps the levels nearest the root.
constexpr uint64_t kUpperLevelBytes = 4ull << 20;
// Upper blocks written and not asked for since: the path that names added in
// order go down, and what they left behind.
constexpr uint64_t kWrittenBytes = 256ull << 10;
// Changed blocks are written back early only when the cache holds more than
// this many leaves it cannot drop (or twice the bounds above), so that a big
// batch of changes does not hold the whole index in memory.
constexpr size_t kDirtyBlocks = 64;
// A cached node's memory beyond its entries: the node, its shared pointer's
// block, its offsets' vector, the list and map nodes.
constexpr uint32_t kNodeOverhead = 192;

// What the entries' buffer holds, not what it uses: a node that grew by
// inserts may hold half as much again.
uint32_t Footprint(const CIndexNode& node) {
    return static_cast<uint32_t>(node.Capacity()) + static_cast<uint32_t>(node.Count() + 1) * 4 +
           kNodeOverhead;
}
// Index bitmaps grow in whole 64-bit words, as other implementations keep them.
constexpr uint64_t kBitmapGrain = 8;

}  // namespace

CIndexBlockStore::CIndexBlockStore(std::shared_ptr<CFileEntry> entry, std::u16string name, uint32_t blockSize)
    : m_entry(std::move(entry)), m_name(std::move(name)), m_blockSize(blockSize) {
    // Child pointers count clusters, or 512-byte units when a block is
    // smaller than a cluster.
    uint32_t clusterSize = m_entry->GetVolume().GetClusterSize();
    m_vcnsPerBlock = m_blockSize / (m_blockSize >= clusterSize ? clusterSize : 512);
}

// Raises as often as it is called when what it finds is damaged.
void CIndexBlockStore::AttachAttributes() {
    AttributePtr allocation = m_entry->FindAttribute(AttrType::IndexAllocation, m_name);
    AttributePtr bitmap = m_entry->FindAttribute(AttrType::Bitmap, m_name);
    if (allocation && bitmap) TakeOver(std::move(allocation), std::move(bitmap));
    m_attached = true;
}

uint64_t CIndexBlockStore::OwnerRecord() const { return RecordNumber(m_entry->GetReference()); }

void CIndexBlockStore::ThrowCorruptBlock() const {
    throw CException(EErrorKind::Corrupt, "Corrupt index allocation block %1, file entry %2", m_name, OwnerRecord());
}

void CIndexBlockStore::TakeOver(AttributePtr allocation, AttributePtr bitmap) {
    // The bitmap is read whole: it cannot need more bits than the device has blocks.
    uint64_t blocksOnDevice = m_entry->GetVolume().GetDevice().GetSize() / m_blockSize;
    if (bitmap->GetSize() > blocksOnDevice / 8 + kBitmapGrain)
        throw CException(EErrorKind::Corrupt, "Corrupt index bitmap %1, file entry %2", m_name, OwnerRecord());
    m_bits = bitmap->ReadAll();
    m_committed = m_bits;
    m_bitsChanged = false;
    m_freeHint = 0;
    m_allocation = std::move(allocation);
    m_bitmap = std::move(bitmap);
}

void CIndexBlockStore::CreateAllocation() {
    // One of the two may be left over by another implementation; it is taken
    // over, not duplicated.
    AttributePtr allocation = m_entry->FindAttribute(AttrType::IndexAllocation, m_name);
    if (!allocation) allocation = m_entry->CreateAttribute(AttrType::IndexAllocation, m_name, false);
    AttributePtr bitmap = m_entry->FindAttribute(AttrType::Bitmap, m_name);
    if (!bitmap) bitmap = m_entry->CreateAttribute(AttrType::Bitmap, m_name, true);
    TakeOver(std::move(allocation), std::move(bitmap));
}

CIndexBlockStore::ScratchBytes& CIndexBlockStore::Scratch() {
    m_scratch.resize(m_blockSize);
    m_scratchZeroFrom = m_blockSize;  // whatever comes in next
    return m_scratch;
}

uint32_t CIndexBlockStore::Capacity() const {
    return m_blockSize - IndexBlock::EntriesOffset(IndexBlock::UsaCountFor(m_blockSize));
}

uint64_t CIndexBlockStore::Blocks() const { return m_allocation ? m_allocation->GetSize() / m_blockSize : 0; }

uint64_t CIndexBlockStore::BlocksInUse() {
    Attach();
    uint64_t count = 0;
    for (uint64_t block = 0; block < Blocks(); ++block) count += IsInUse(block);
    return count;
}

uint64_t CIndexBlockStore::Vcn(uint64_t block) const { return block * m_vcnsPerBlock; }

bool CIndexBlockStore::IsInUse(uint64_t block) const {
    return block / 8 < m_bits.size() && ((m_bits[block / 8] >> (block % 8)) & 1);
}

bool CIndexBlockStore::IsCommitted(uint64_t block) const {
    return block / 8 < m_committed.size() && ((m_committed[block / 8] >> (block % 8)) & 1);
}

void CIndexBlockStore::MarkInUse(uint64_t block, bool inUse) {
    uint8_t mask = static_cast<uint8_t>(1u << (block % 8));
    uint8_t& byte = m_bits.at(block / 8);
    if (!inUse) m_freeHint = std::min(m_freeHint, block / 8);
    byte = static_cast<uint8_t>(inUse ? byte | mask : byte & ~mask);
    m_bitsChanged = true;
}

uint64_t CIndexBlockStore::BlockOf(uint64_t vcn) const {
    if (!m_allocation || vcn % m_vcnsPerBlock != 0 || vcn / m_vcnsPerBlock >= Blocks()) ThrowCorruptBlock();
    uint64_t block = vcn / m_vcnsPerBlock;
    // A pointer to a block the bitmap calls free would let that block be
    // handed out twice.
    if (!IsInUse(block))
        throw CException(EErrorKind::Corrupt, "Corrupt index bitmap %1, file entry %2", m_name, OwnerRecord());
    return block;
}

IndexNodePtr CIndexBlockStore::TakeCached(uint64_t block, EUse use) {
    auto cached = m_cache.find(block);
    if (cached == m_cache.end()) return nullptr;
    if ((*cached->second.at)->IsReduced()) {
        // A walk reads the block whole and leaves the reduced copy for the
        // lookups to come; a change replaces it.
        if (use != EUse::Lookup) {
            if (use == EUse::Change) Forget(block);
            return nullptr;
        }
        // Never changed, so never among the blocks a save looks at.
        Recency& list = m_recent[cached->second.level];
        list.splice(list.begin(), list, cached->second.at);
        return *cached->second.at;
    }
    // Measured again: a node grows and shrinks with its entries after it
    // was cached (an allocated one starts empty).
    Measure(cached->second);
    if (cached->second.level == Written) MoveTo(cached->second, Upper);
    Recency& list = m_recent[cached->second.level];
    list.splice(list.begin(), list, cached->second.at);
    HandOut(block);
    return *cached->second.at;
}

IndexNodePtr CIndexBlockStore::Load(uint64_t vcn) {
    Attach();
    const uint64_t block = BlockOf(vcn);
    if (IndexNodePtr node = TakeCached(block, EUse::Change)) return node;
    IndexNodePtr node = TakeOldestLeaf();
    if (!node) node = std::make_shared<CIndexNode>();
    // Already out of the cache: should the block prove damaged, the node
    // just goes.
    ReadInto(*node, block, vcn);
    return Remember(std::move(node));
}

// Random lookups in a large index pass most blocks of a wide level once
// (1000 of them in an index of a million names see some 800 of the 2,500
// blocks just above the leaves): caching each would take fresh memory and
// its reduction and save nothing. Such a block is cached from its second
// pass on. The blocks of a narrower level are passed again within a few
// hundred lookups, and reading each twice would cost more than keeping it.
// The leaves of a wide level go the same way: cached, each would be read
// into the least recently used leaf's buffer, long out of the processor's
// cache, while a spare was read into by the lookup before. Names looked up
// in order still end in a cached leaf from its second lookup on.
IndexNodePtr CIndexBlockStore::LoadForLookup(uint64_t vcn, uint64_t levelBlocks) {
    constexpr uint64_t kNarrowLevel = 1024;
    Attach();
    const uint64_t block = BlockOf(vcn);
    if (IndexNodePtr node = TakeCached(block, EUse::Lookup)) return node;
    IndexNodePtr node = TakeSpare();
    if (!node) node = TakeOldestLeaf();
    if (!node) node = std::make_shared<CIndexNode>();
    ReadInto(*node, block, vcn);
    if (levelBlocks <= kNarrowLevel || PassedBefore(block) || !KeepSpare(node))
        return Remember(std::move(node), true);
    return node;
}

IndexNodePtr CIndexBlockStore::TakeSpare() {
    if (!m_passing) return nullptr;
    for (IndexNodePtr& spare : m_passing->spares)
        if (spare && spare.use_count() == 1) return std::move(spare);
    return nullptr;
}

// With both spares held (a search keeps the node of a match ignoring case
// while it descends further), the block is cached instead: every node a
// lookup hands out is either cached or a spare, which is how Whole tells.
bool CIndexBlockStore::KeepSpare(const IndexNodePtr& node) {
    for (IndexNodePtr& spare : m_passing->spares) {
        if (spare) continue;
        spare = node;
        return true;
    }
    return false;
}

bool CIndexBlockStore::PassedBefore(uint64_t block) {
    if (!m_passing) m_passing = std::make_unique<SPassing>();
    uint32_t& seen = m_passing->seen[block % m_passing->seen.size()];
    const uint32_t mark = static_cast<uint32_t>(block) + 1;
    if (seen == mark) return true;
    seen = mark;
    return false;
}

// A spare handed out as a lookup's result joins the cache, as a block Load
// read would: the caller may change it, and a save must find the change.
void CIndexBlockStore::Adopt(const IndexNodePtr& node) {
    for (IndexNodePtr& spare : m_passing->spares) {
        if (spare != node) continue;
        spare.reset();
        Remember(node);
        return;
    }
}

// With the leaves at their bound, the next block read would push the least
// recently used one out: when that leaf is unchanged and held by the cache
// alone, its node (and the memory of its entries) takes the new block
// instead of being freed while another is allocated. Nobody can see the
// change: no one else holds the node.
IndexNodePtr CIndexBlockStore::TakeOldestLeaf() {
    Recency& leaves = m_recent[Leaves];
    if (leaves.size() < kCachedBlocks) return nullptr;
    const IndexNodePtr& oldest = leaves.back();
    if (oldest->IsDirty() || oldest.use_count() > 1) return nullptr;
    IndexNodePtr node = oldest;
    Forget(node->Block());
    return node;
}

// A node read here is never changed: the walk only reads it, and an edit
// loads the block again through the cache.
IndexNodePtr CIndexBlockStore::LoadForWalk(uint64_t vcn, IndexNodePtr& spare) {
    Attach();
    const uint64_t block = BlockOf(vcn);
    if (IndexNodePtr node = TakeCached(block, EUse::Walk)) return node;
    IndexNodePtr node = spare.use_count() == 1 ? std::move(spare) : std::make_shared<CIndexNode>();
    ReadInto(*node, block, vcn);
    return node;
}

// The block goes straight into the node's buffer, where its fixups are
// undone and its header checked; the node's entries stay where they lie.
void CIndexBlockStore::ReadInto(CIndexNode& node, uint64_t block, uint64_t vcn) {
    const std::span<uint8_t> buffer = node.BlockBuffer(m_blockSize);
    m_allocation->ReadData(block * m_blockSize, buffer.data(), m_blockSize);
    MstUnprotect(buffer, 1, m_blockSize);
    CByteReader reader(buffer);
    CByteReader header = reader.Sub(IndexBlock::Header, IndexHeader::Size);
    uint64_t first = IndexBlock::Header + uint64_t{header.U32(IndexHeader::FirstEntry)};
    uint64_t end = IndexBlock::Header + uint64_t{header.U32(IndexHeader::BytesInUse)};
    uint64_t usaEnd = reader.U16(IndexBlock::UsaOffset) + 2ull * reader.U16(IndexBlock::UsaCount);
    bool valid = std::memcmp(buffer.data() + IndexBlock::Signature, "INDX", 4) == 0 &&
                 reader.U64(IndexBlock::Vcn) == vcn && first >= usaEnd && first < end && end <= m_blockSize;
    if (!valid) ThrowCorruptBlock();
    node.TakeBlock(block, static_cast<uint32_t>(first), static_cast<uint32_t>(end));
}

// A node stays in the list it joined: should its level change while cached
// (a leaf given children), only the bound that applies to it is off.
IndexNodePtr CIndexBlockStore::Remember(IndexNodePtr node, bool forLookup) {
    Forget(node->Block());
    const ELevel level = node->IsLeaf() ? Leaves : Upper;
    // Upper blocks stay long and are read seldom: they keep only their
    // entries, or only what lookups need when a lookup read them.
    if (level == Upper && !(forLookup && node->Reduce())) node->Compact();
    const uint32_t bytes = Footprint(*node);
    m_recent[level].push_front(node);
    m_cache.emplace(node->Block(), SPlace{m_recent[level].begin(), level, bytes});
    if (level != Leaves) m_bytes[level] += bytes;
    if (!node->IsReduced()) HandOut(node->Block());
    // A long walk within one operation (an enumeration) keeps the cache
    // bounded too; unchanged blocks nobody holds can go at any time.
    if (OverBounds()) EvictClean();
    return node;
}

bool CIndexBlockStore::OverBounds() const {
    return m_recent[Leaves].size() > kCachedBlocks || m_bytes[Upper] > kUpperLevelBytes ||
           m_bytes[Written] > kWrittenBytes;
}

void CIndexBlockStore::Measure(SPlace& place) {
    const uint32_t bytes = Footprint(**place.at);
    if (place.level != Leaves) m_bytes[place.level] = m_bytes[place.level] - place.bytes + bytes;
    place.bytes = bytes;
}

void CIndexBlockStore::MoveTo(SPlace& place, ELevel level) {
    if (place.level != Leaves) m_bytes[place.level] -= place.bytes;
    if (level != Leaves) m_bytes[level] += place.bytes;
    m_recent[level].splice(m_recent[level].begin(), m_recent[place.level], place.at);
    place.level = level;
}

void CIndexBlockStore::Forget(uint64_t block) {
    auto cached = m_cache.find(block);
    if (cached == m_cache.end()) return;
    if (cached->second.level != Leaves) m_bytes[cached->second.level] -= cached->second.bytes;
    m_recent[cached->second.level].erase(cached->second.at);
    m_cache.erase(cached);
}

void CIndexBlockStore::ForgetAll() {
    m_cache.clear();
    for (Recency& list : m_recent) list.clear();
    m_bytes[Upper] = m_bytes[Written] = 0;
    m_handedOut.clear();
    m_settled = 0;
}

void CIndexBlockStore::HandOut(uint64_t block) {
    // Lookups alone never save: the list is settled as it grows, and its
    // bound doubles with what stays, so the work stays constant per block.
    // Settled first: the block handed out now is not held by its taker yet.
    if (m_handedOut.size() >= m_handedOutLimit) SettleHandedOut();
    m_handedOut.push_back(block);
}

// A cached block nobody else holds and that is unchanged cannot change until
// it is handed out again.
void CIndexBlockStore::SettleHandedOut() {
    std::sort(m_handedOut.begin(), m_handedOut.end());
    m_handedOut.erase(std::unique(m_handedOut.begin(), m_handedOut.end()), m_handedOut.end());
    std::erase_if(m_handedOut, [this](uint64_t block) {
        auto cached = m_cache.find(block);
        if (cached == m_cache.end()) return true;
        const IndexNodePtr& node = *cached->second.at;
        return !node->IsDirty() && node.use_count() == 1;
    });
    constexpr size_t kLeastLimit = 128;
    m_handedOutLimit = std::max(kLeastLimit, 2 * m_handedOut.size());
    m_settled = m_handedOut.size();
}

// Every cached block that may be changed, once each. A save walks them
// several times in a row: the list is settled again only when blocks were
// handed out since (a block that merely became unchanged costs one look).
// No visit hands out a block, so the list holds still during the walk.
template <typename Visit>
void CIndexBlockStore::ForEachChangeable(Visit visit) {
    if (m_settled != m_handedOut.size()) SettleHandedOut();
    for (size_t i = 0; i < m_handedOut.size(); ++i)
        if (auto cached = m_cache.find(m_handedOut[i]); cached != m_cache.end()) visit(*cached->second.at);
}

// The lowest free block, as a search from the start would find it.
uint64_t CIndexBlockStore::FindFreeBlock() const {
    uint64_t count = Blocks();
    for (uint64_t byte = m_freeHint; byte < m_bits.size() && byte * 8 < count; ++byte) {
        if (m_bits[byte] == 0xFF) continue;
        for (uint64_t block = byte * 8; block < byte * 8 + 8 && block < count; ++block)
            if (!IsInUse(block) && !IsCommitted(block)) return block;
    }
    return count;
}

IndexNodePtr CIndexBlockStore::Allocate(std::optional<uint64_t> endChild) {
    Attach();
    if (!m_allocation) CreateAllocation();
    uint64_t block = FindFreeBlock();
    m_freeHint = block / 8;
    if (block == Blocks()) m_allocation->SetSize((block + 1) * m_blockSize);
    if (block / 8 >= m_bits.size()) {
        uint64_t bytes = RoundUp(block / 8 + 1, kBitmapGrain);
        m_bitmap->SetSize(bytes);
        m_bits.resize(NumericCast<size_t>(bytes), 0);
    }
    MarkInUse(block, true);
    auto node = std::make_shared<CIndexNode>(block, endChild);
    return Remember(node);
}

// A free block is written once more, empty: readers that go through every
// block of the allocation, whatever the bitmap says, must not find its old
// entries there.
void CIndexBlockStore::Free(uint64_t block) {
    MarkInUse(block, false);
    Remember(std::make_shared<CIndexNode>(block, std::nullopt));
}

void CIndexBlockStore::FreeAll() {
    Attach();
    ForgetAll();
    for (uint64_t block = 0; block < Blocks(); ++block)
        if (IsInUse(block)) Free(block);
}

// When the last use of the scratch buffer was a block written, its bytes
// past that block's entries are still zero: the space after the entries is
// cleared only where the previous block reached further.
void CIndexBlockStore::WriteBlock(CIndexNode& node) {
    Attach();
    if (node.IsReduced()) ThrowCorruptBlock();
    const uint32_t zeroFrom = m_scratch.size() == m_blockSize ? m_scratchZeroFrom : m_blockSize;
    ScratchBytes& buffer = Scratch();
    CByteWriter block(buffer.data(), buffer.size());
    uint16_t usaCount = static_cast<uint16_t>(IndexBlock::UsaCountFor(m_blockSize));
    uint32_t first = IndexBlock::EntriesOffset(usaCount);
    const uint32_t end = first + node.Size();
    block.Fill(0, 0, first);
    block.CopyFrom(first, node.Bytes().data(), node.Size());
    if (zeroFrom > end) block.Fill(end, 0, zeroFrom - end);
    WriteBlockHeader(block, usaCount, Vcn(node.Block()), m_blockSize);
    CByteWriter header = block.Sub(IndexBlock::Header, IndexHeader::Size);
    header.U32(IndexHeader::BytesInUse, first - IndexBlock::Header + node.Size());
    header.U8(IndexHeader::Flags, node.IsLeaf() ? 0 : IndexHeader::FlagLarge);
    // The protection stamps the end of every sector; until it is undone
    // again nothing past the entries is known to be zero.
    MstProtect(buffer, 1, m_blockSize);
    m_allocation->WriteData(node.Block() * m_blockSize, buffer.data(), m_blockSize);
    MstUnprotect(buffer, 1, m_blockSize);
    m_scratchZeroFrom = end;
    node.ClearDirty();
    auto cached = m_cache.find(node.Block());
    if (cached == m_cache.end() || cached->second.at->get() != &node) return;
    Measure(cached->second);
    if (cached->second.level == Upper) MoveTo(cached->second, Written);
}

std::vector<IndexNodePtr> CIndexBlockStore::ChangedCommittedBlocks() {
    Attach();
    std::vector<IndexNodePtr> changed;
    ForEachChangeable([&](const IndexNodePtr& node) {
        if (node->IsDirty() && IsInUse(node->Block()) && IsCommitted(node->Block())) changed.push_back(node);
    });
    return changed;
}

IndexNodePtr CIndexBlockStore::Relocate(const IndexNodePtr& node) {
    Attach();
    const uint64_t block = Allocate(std::nullopt)->Block();
    auto moved = std::make_shared<CIndexNode>(block, CByteReader(node->Bytes()));
    moved->MarkDirty();
    Free(node->Block());
    return Remember(moved);
}

void CIndexBlockStore::WriteFreshBlocks() {
    Attach();
    ForEachChangeable([&](const IndexNodePtr& node) {
        if (node->IsDirty() && IsInUse(node->Block()) && !IsCommitted(node->Block())) WriteBlock(*node);
    });
}

// What the bitmap on disk says is taken as in use from then on: a block it
// marks may be reached by the tree on disk.
// Only the bytes that differ from the disk's are written: the bitmap of a
// large index changes in a byte or two per save.
void CIndexBlockStore::WriteBits(const std::vector<uint8_t>& bits) {
    if (&bits == &m_bits) m_bitsChanged = false;
    if (bits == m_committed) return;
    size_t first = 0;
    size_t last = bits.size();
    if (bits.size() == m_committed.size()) {
        while (bits[first] == m_committed[first]) ++first;
        while (bits[last - 1] == m_committed[last - 1]) --last;
        // Blocks the disk no longer reaches are free from now on.
        for (size_t i = first; i < last; ++i)
            if ((m_committed[i] & ~bits[i]) != 0) m_freeHint = std::min<uint64_t>(m_freeHint, i);
    } else {
        m_freeHint = 0;
    }
    if (first < last) m_bitmap->WriteData(first, bits.data() + first, NumericCast<uint32_t>(last - first));
    m_committed = bits;
}

// With no bit changed since the last save there is nothing to commit, and
// no copy of the bitmap (thousands of bytes in a large index) to make.
void CIndexBlockStore::WriteBitsForCommit() {
    Attach();
    if (!m_bitsChanged) return;
    std::vector<uint8_t> bits = m_bits;
    for (size_t i = 0; i < bits.size() && i < m_committed.size(); ++i) bits[i] |= m_committed[i];
    WriteBits(bits);
}

void CIndexBlockStore::WriteDirty() {
    Attach();
    ForEachChangeable([&](const IndexNodePtr& node) {
        if (node->IsDirty()) WriteBlock(*node);
    });
    if (m_bitsChanged) WriteBits(m_bits);
}

void CIndexBlockStore::Trim() {
    if (!OverBounds()) return;
    EvictClean();
    if (m_recent[Leaves].size() <= kDirtyBlocks && m_bytes[Upper] <= 2 * kUpperLevelBytes &&
        m_bytes[Written] <= 2 * kWrittenBytes)
        return;
    WriteFreshBlocks();
    EvictClean();
}

// From the least recently used end: a block that must stay (changed, or held
// by a walk) is passed over and moves to the front, so that the next eviction
// does not look at it again soon. Each block is looked at once per call.
void CIndexBlockStore::EvictClean() {
    for (ELevel level : {Leaves, Upper, Written}) {
        Recency& list = m_recent[level];
        auto over = [&] {
            if (level == Leaves) return list.size() > kCachedBlocks;
            return m_bytes[level] > (level == Upper ? kUpperLevelBytes : kWrittenBytes);
        };
        for (size_t looked = list.size(); looked > 0 && over(); --looked) {
            auto oldest = std::prev(list.end());
            const IndexNodePtr& node = *oldest;
            if (node->IsDirty() || node.use_count() > 1) {
                list.splice(list.begin(), list, oldest);
                continue;
            }
            Forget(node->Block());
        }
    }
}

// Not attached yet: nothing was taken, so nothing goes back. Raises nothing
// then (the index gives changes up where it may not raise).
void CIndexBlockStore::Discard() {
    if (!m_attached) return;
    std::vector<uint64_t> changed;
    ForEachChangeable([&](const IndexNodePtr& node) {
        if (node->IsDirty()) changed.push_back(node->Block());
    });
    for (uint64_t block : changed) Forget(block);
    // Blocks taken since the last save go back; the bitmap keeps its size.
    std::vector<uint8_t> bits = m_committed;
    bits.resize(std::max(bits.size(), m_bits.size()), 0);
    m_bits = std::move(bits);
    m_bitsChanged = true;
    m_freeHint = 0;
}

void CIndexBlockStore::Release() {
    Attach();
    ForgetAll();
    m_bits.clear();
    m_committed.clear();
    m_bitsChanged = false;
    m_freeHint = 0;
    m_allocation.reset();
    m_bitmap.reset();
    m_entry->DeleteAttribute(AttrType::Bitmap, m_name);
    m_entry->DeleteAttribute(AttrType::IndexAllocation, m_name);
}

}  // namespace volcore
