#include "check/IndexWalk.h"

#include <algorithm>
#include <optional>
#include <span>
#include <set>

#include "check/IndexNode.h"
#include "check/MftAccess.h"
#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"

namespace volcore::check {
namespace {

constexpr uint32_t kSmallestBlock = 512;
constexpr uint32_t kLargestBlock = 64 * 1024;
// A bitmap may be kept in 8-byte steps and a little ahead of the allocation.
constexpr uint64_t kBitmapSlack = 4096;

std::string Quoted(const std::u16string& name) { return "'" + Utf16ToUtf8(name) + "'"; }

class CDirectoryWalk {
public:
    CDirectoryWalk(const CVolumeReader& reader, const SGeometry& geometry, SVolumeModel& model,
                   const UpCaseTable* upcase, CReport& report, uint64_t number, uint64_t& bytesLeft)
        : m_reader(reader), m_geometry(geometry), m_model(model), m_upcase(upcase), m_report(report),
          m_bytesLeft(bytesLeft),
          m_number(number), m_source(*model.files.at(number).index),
          m_reference(MakeReference(number, model.files.at(number).sequence)) {}

    std::vector<uint64_t> Run(uint64_t& entries) {
        CByteReader root(m_source.root);
        if (CheckRoot(root)) {
            PrepareBlocks();
            Traverse(ParseNode(root.Sub(IndexRoot::Header, root.Size() - IndexRoot::Header), false), "root");
            CompareBitmap();
        }
        entries += m_entries;
        return std::move(m_targets);
    }

private:
    template <typename... Args>
    void Problem(ECode code, std::string_view format, const Args&... args) {
        Problem(SFix{}, code, format, args...);
    }
    template <typename... Args>
    void Problem(SFix fix, ECode code, std::string_view format, const Args&... args) {
        m_report.Add(std::move(fix), code, m_number,
                     "Directory " + std::to_string(m_number) + ": " + FormatText(format, args...));
    }

    // An entry that names no record holding its name is what a writer cut
    // between the entry and the record leaves; the name, if its record has
    // it, is entered again once the entry is gone.
    static SFix Drop(const SNodeEntry& entry) { return SFix{EFix::DropEntry, entry.reference, 0, entry.name}; }
    // Nodes out of order or out of shape below an intact root: the records
    // that name the directory give its entries again.
    static SFix Rebuild() { return SFix{EFix::RebuildIndex}; }

    bool CheckRoot(const CByteReader& root) {
        if (root.Size() < IndexRoot::HeaderSize) {
            Problem(ECode::Index, "$INDEX_ROOT of %1 bytes is too short", root.Size());
            return false;
        }
        uint32_t type = root.U32(IndexRoot::IndexedType), rule = root.U32(IndexRoot::CollationRule);
        if (type != AttrType::FileName || rule != IndexRoot::FileNameCollation) {
            Problem(ECode::Index, "$INDEX_ROOT indexes type %1 with collation rule %2", Hex(type), rule);
            return false;
        }
        m_blockSize = root.U32(IndexRoot::BlockSize);
        uint32_t clusterSize = m_geometry.boot.clusterSize;
        m_unit = m_blockSize >= clusterSize ? clusterSize : 512;
        bool powerOfTwo = (m_blockSize & (m_blockSize - 1)) == 0;
        if (m_blockSize < kSmallestBlock || m_blockSize > kLargestBlock || !powerOfTwo ||
            m_blockSize != m_geometry.boot.indxRecordSize) {
            Problem(ECode::Index, "index block size %1, the volume's is %2", m_blockSize,
                    m_geometry.boot.indxRecordSize);
            m_blockSize = 0;
        } else if (root.U8(IndexRoot::ClustersPerBlock) != m_blockSize / m_unit) {
            Problem(ECode::Index, "%1 clusters per index block, %2 expected", root.U8(IndexRoot::ClustersPerBlock),
                    m_blockSize / m_unit);
        }
        return true;
    }

    void PrepareBlocks() {
        if (m_blockSize == 0 || !m_source.allocation) return;
        if (m_source.allocation->resident) return Problem(ECode::Index, "$INDEX_ALLOCATION is resident");
        m_blockCount = m_source.allocation->dataSize / m_blockSize;
        if (m_source.allocation->dataSize % m_blockSize != 0)
            Problem(ECode::Index, "$INDEX_ALLOCATION of %1 bytes holds no whole number of blocks",
                    m_source.allocation->dataSize);
        if (!m_source.bitmap) return;
        try {
            m_bitmap = ReadStreamBytes(*m_source.bitmap, m_reader, (m_blockCount + 7) / 8 + kBitmapSlack);
            m_bitmapKnown = true;
        } catch (const CException& e) {
            Problem(ECode::Index, "its bitmap cannot be read: %1", e.what());
        }
    }

    bool Marked(uint64_t block) const {
        return block / 8 < m_bitmap.size() && (m_bitmap[block / 8] >> (block % 8)) & 1;
    }

    struct SFrame {
        SNode node;
        uint32_t depth = 0;
        size_t next = 0;
        bool descended = false;
    };

    // In-order, so that every entry is compared with the one before it in the
    // whole tree; an explicit stack, so that a deep chain of blocks cannot
    // exhaust the call stack.
    void Traverse(SNode root, const std::string& label) {
        if (!root.error.empty()) Problem(ECode::Index, "index root: %1", root.error);
        CheckShape(root, 0, label);
        std::vector<SFrame> stack;
        stack.push_back(SFrame{std::move(root)});
        while (!stack.empty()) {
            SFrame& frame = stack.back();
            if (frame.next >= frame.node.entries.size()) {
                stack.pop_back();
                continue;
            }
            const SNodeEntry& entry = frame.node.entries[frame.next];
            if (entry.hasChild && !frame.descended) {
                frame.descended = true;
                uint32_t depth = frame.depth + 1;
                if (auto child = LoadBlock(entry.childVcn)) {
                    CheckShape(*child, depth, "at VCN " + std::to_string(entry.childVcn));
                    stack.push_back(SFrame{std::move(*child), depth});
                }
                continue;
            }
            frame.descended = false;
            ++frame.next;
            if (!entry.isEnd) Visit(entry);
        }
    }

    void CheckShape(const SNode& node, uint32_t depth, const std::string& label) {
        if (m_balanceReported) return;
        if (node.IsMixed()) {
            m_balanceReported = true;
            return Problem(Rebuild(), ECode::IndexBalance, "index node %1 mixes entries with and without children",
                           label);
        }
        if (node.HasChildren()) return;
        if (m_leafDepth && *m_leafDepth != depth) {
            m_balanceReported = true;
            return Problem(Rebuild(), ECode::IndexBalance, "index leaves lie at depths %1 and %2", *m_leafDepth,
                           depth);
        }
        m_leafDepth = depth;
    }

    std::optional<SNode> LoadBlock(uint64_t vcn) {
        if (m_blockSize == 0) return std::nullopt;  // reported with the root
        if (!m_source.allocation || m_source.allocation->resident) {
            if (!m_source.allocation)
                Problem(ECode::Index, "entries point to index blocks, but there is no $INDEX_ALLOCATION");
            m_blockSize = 0;
            return std::nullopt;
        }
        uint64_t perBlock = m_blockSize / m_unit, block = vcn / perBlock;
        if (vcn % perBlock != 0 || block >= m_blockCount) {
            Problem(Rebuild(), ECode::Index, "child VCN %1 is no block of the allocation (%2 blocks)", vcn,
                    m_blockCount);
            return std::nullopt;
        }
        if (!m_visited.insert(block).second) {
            Problem(Rebuild(), ECode::Index, "index block at VCN %1 is reached twice", vcn);
            return std::nullopt;
        }
        if (m_bitmapKnown && !Marked(block))
            Problem(SFix{EFix::MarkIndexBlock, block}, ECode::IndexBitmap,
                    "index block at VCN %1 is in use but free in the index bitmap", vcn);
        if (m_bytesLeft < m_blockSize) {
            Problem(ECode::Index, "index block at VCN %1 left unread, the indexes read so far fill the volume", vcn);
            m_blockSize = 0;
            return std::nullopt;
        }
        m_bytesLeft -= m_blockSize;
        return ReadBlock(block, vcn);
    }

    std::optional<SNode> ReadBlock(uint64_t block, uint64_t vcn) {
        std::vector<uint8_t> bytes(m_blockSize);
        try {
            ReadStreamAt(*m_source.allocation, m_reader, block * m_blockSize, bytes);
        } catch (const CException& e) {
            Problem(ECode::Index, "index block at VCN %1 cannot be read: %2", vcn, e.what());
            return std::nullopt;
        }
        CByteReader reader(bytes);
        bool isBlock = reader.U32(IndexBlock::Signature) == IndexBlock::SignatureValue;
        std::string error = isBlock ? Unprotect(bytes) : "no INDX signature";
        if (error.empty() && reader.U64(IndexBlock::Vcn) != vcn)
            error = FormatText("it says VCN %1", reader.U64(IndexBlock::Vcn));
        if (!error.empty()) {
            Problem(Rebuild(), ECode::Index, "index block at VCN %1: %2", vcn, error);
            return std::nullopt;
        }
        SNode node = ParseNode(reader.Sub(IndexBlock::Header, m_blockSize - IndexBlock::Header), true);
        if (!node.error.empty()) Problem(Rebuild(), ECode::Index, "index block at VCN %1: %2", vcn, node.error);
        return node;
    }

    void CompareBitmap() {
        if (!m_bitmapKnown) return;
        uint64_t perBlock = m_blockSize ? m_blockSize / m_unit : 1;
        for (uint64_t block = 0; block < m_bitmap.size() * 8; ++block) {
            if (!Marked(block) || m_visited.count(block)) continue;
            if (block < m_blockCount)
                Problem(SFix{EFix::FreeIndexBlock, block}, ECode::IndexBlockLeaked, "index block at VCN %1 is marked in the bitmap but unreachable",
                        block * perBlock);
            else
                Problem(SFix{EFix::FreeIndexBlock, block}, ECode::IndexBitmap, "index bitmap marks block %1 beyond the %2 blocks allocated", block,
                        m_blockCount);
        }
    }

    void Visit(const SNodeEntry& entry) {
        ++m_entries;
        CheckOrder(entry.name);
        if (entry.parent != m_reference)
            Problem(Drop(entry), ECode::IndexEntry, "entry %1 names parent %2", Quoted(entry.name), Hex(entry.parent));
        uint64_t target = RecordNumber(entry.reference);
        auto found = m_model.files.find(target);
        if (found == m_model.files.end())
            return Problem(Drop(entry), ECode::IndexEntry,
                           "entry %1 points to record %2, which is no base record in use", Quoted(entry.name), target);
        SFileState& state = found->second;
        ++state.references;
        m_targets.push_back(target);
        if (state.damaged) return;
        if (state.sequence != SequenceNumber(entry.reference))
            return Problem(Drop(entry), ECode::IndexEntry,
                           "entry %1 points to record %2 with sequence %3, the record has %4", Quoted(entry.name),
                           target, SequenceNumber(entry.reference), state.sequence);
        MatchName(entry, target, state);
        bool entrySaysDirectory = (entry.fileAttributes & kFileAttributeDirectoryIndex) != 0;
        if (entrySaysDirectory != state.directory)
            Problem(ECode::IndexEntry, "entry %1 %2 a directory, record %3 %4", Quoted(entry.name),
                    entrySaysDirectory ? "says it is" : "does not say it is", target,
                    state.directory ? "is one" : "is not");
        CompareSizes(entry, target, state);
    }

    // Copies that lag behind the record are what an interrupted session
    // leaves: harmless, but other checkers hold them against the volume.
    void CompareSizes(const SNodeEntry& entry, uint64_t target, const SFileState& state) {
        if (!state.sizes || InSystemDirectory()) return;
        const bool allocated = entry.allocatedSize == state.sizes->first || entry.allocatedSize == state.compressedSize;
        if (allocated && entry.dataSize == state.sizes->second) return;
        Problem(SFix{EFix::RefreshEntry, target, 0, entry.name}, ECode::IndexEntryStale,
                "entry %1 gives sizes %2 and %3, record %4 has %5 and %6", Quoted(entry.name), entry.allocatedSize,
                entry.dataSize, target, state.sizes->first, state.sizes->second);
    }

    // Under $Extend, where Windows keeps files whose copies it never updates.
    bool InSystemDirectory() const {
        constexpr int kDeepestPath = 64;
        uint64_t number = m_number;
        for (int depth = 0; depth < kDeepestPath && number != kRootRecord; ++depth) {
            if (number == kExtendRecord) return true;
            auto found = m_model.files.find(number);
            if (found == m_model.files.end() || found->second.names.empty()) return false;
            number = RecordNumber(found->second.names.front().parent);
        }
        return false;
    }

    void MatchName(const SNodeEntry& entry, uint64_t target, SFileState& state) {
        auto [first, last] = std::equal_range(state.names.begin(), state.names.end(),
                                              SNameOrder::Key{m_number, entry.name}, SNameOrder{});
        for (SName& name : std::span(first, last)) {
            if (name.indexed) continue;
            name.indexed = true;
            if (name.parent != m_reference)
                m_report.Add(ECode::FileName, target, "Record %1: name %2 gives its parent as %3, not %4", target,
                             Quoted(name.name), Hex(name.parent), Hex(m_reference));
            if (name.nameSpace != entry.nameSpace)
                Problem(ECode::IndexEntry, "entry %1 has namespace %2, record %3's name has %4", Quoted(entry.name),
                        entry.nameSpace, target, name.nameSpace);
            return;
        }
        Problem(Drop(entry), ECode::IndexEntry, "entry %1 points to record %2, which has no such name here",
                Quoted(entry.name), target);
    }

    void CheckOrder(const std::u16string& name) {
        if (m_upcase && m_previous && !m_orderReported) {
            ECollation order = CompareIgnoreCase(*m_previous, name, *m_upcase);
            if (order == ECollation::Greater || (order == ECollation::Equal && *m_previous == name)) {
                m_orderReported = true;
                Problem(Rebuild(), ECode::IndexOrder, "entry %1 follows %2", Quoted(name), Quoted(*m_previous));
            }
        }
        m_previous = name;
    }

    const CVolumeReader& m_reader;
    const SGeometry& m_geometry;
    SVolumeModel& m_model;
    const UpCaseTable* m_upcase;
    CReport& m_report;
    uint64_t& m_bytesLeft;
    const uint64_t m_number;
    const SIndexSource& m_source;
    const FileReference m_reference;
    uint32_t m_blockSize = 0;  // 0 when blocks cannot be read
    uint32_t m_unit = 512;
    uint64_t m_blockCount = 0;
    std::vector<uint8_t> m_bitmap;
    bool m_bitmapKnown = false;
    std::set<uint64_t> m_visited;
    std::optional<uint32_t> m_leafDepth;
    bool m_balanceReported = false;
    std::optional<std::u16string> m_previous;
    bool m_orderReported = false;
    uint64_t m_entries = 0;
    std::vector<uint64_t> m_targets;
};

}  // namespace

std::vector<uint64_t> CIndexWalk::Walk(uint64_t directory) {
    try {
        return CDirectoryWalk(m_reader, m_geometry, m_model, m_upcase, m_report, directory, m_bytesLeft)
            .Run(m_entries);
    } catch (const CException& e) {
        m_report.Add(ECode::Index, directory, "Directory %1: %2", directory, e.what());
        return {};
    }
}

}  // namespace volcore::check
