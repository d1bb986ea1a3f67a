#include "objects/PathCache.h"

#include <bit>

#include "objects/ObjectCache.h"

namespace volcore {

namespace {

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kLowKey = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kHighKey = 0x165667B19E3779F9ull;

// The two halves of a full 64 x 64 bit product folded together.
uint64_t FoldedProduct(uint64_t a, uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

uint64_t Word(const unsigned char* bytes) noexcept {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

}  // namespace

size_t CPathCache::HashUnits(std::u16string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size() * sizeof(char16_t);
    uint64_t hash = length * kMultiplier;
    // Sixteen bytes a step, multiplied off the chain, in two chains: a step
    // waits only for the rotation and addition before it in its chain, so a
    // deep path of a few hundred units takes about a third less time than
    // with a multiplication on the chain. The rotation keeps the order of the
    // steps in the hash.
    auto step = [bytes](uint64_t& lane, size_t at) {
        lane = std::rotl(lane, 29) + FoldedProduct(Word(bytes + at) ^ kLowKey, Word(bytes + at + 8) ^ kHighKey);
    };
    size_t position = 0;
    if (length >= 32) {
        uint64_t other = 0;
        for (; position + 32 <= length; position += 32) {
            step(hash, position);
            step(other, position + 16);
        }
        hash += std::rotl(other, 17) * kMultiplier;
    }
    for (; position + 16 <= length; position += 16) step(hash, position);
    if (position < length) {
        unsigned char tail[16] = {};
        std::memcpy(tail, bytes + position, length - position);
        hash = std::rotl(hash, 29) + FoldedProduct(Word(tail) ^ kLowKey, Word(tail + 8) ^ kHighKey);
    }
    hash ^= hash >> 32;
    hash *= kMultiplier;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash);
}

size_t CPathCache::SKeyHash::operator()(const SKeyView& key) const noexcept {
    return HashUnits(key.name) ^ (key.directory * kMultiplier);
}

std::optional<FileReference> CPathCache::Find(uint64_t directory, std::u16string_view name, uint64_t version) const {
    auto found = m_answers.find(SKeyView{directory, name});
    if (found == m_answers.end() || found->second.version != version) return std::nullopt;
    return found->second.child;
}

void CPathCache::Remember(uint64_t directory, std::u16string_view name, uint64_t version, FileReference child) {
    if (auto found = m_answers.find(SKeyView{directory, name}); found != m_answers.end()) {
        found->second = SAnswer{version, child};
        return;
    }
    auto node = MakeRoom(m_answers, m_answerCursor);
    if (node.empty()) {
        // A first walk remembers a name per directory: its table is sized
        // once for a deep path rather than grown and rehashed step by step.
        if (m_answers.empty()) m_answers.reserve(kFirstWalk);
        m_answers.emplace(SKey{directory, std::u16string(name)}, SAnswer{version, child});
        return;
    }
    node.key().directory = directory;
    node.key().name.assign(name);
    node.mapped() = SAnswer{version, child};
    m_answers.insert(std::move(node));
}

void CPathCache::RememberWhenAskedAgain(uint64_t directory, std::u16string_view name, uint64_t version,
                                        FileReference child) {
    if (m_askedNames.SeenBefore(SKeyHash{}(SKeyView{directory, name}))) Remember(directory, name, version, child);
}

std::optional<FileReference> CPathCache::FindPath(std::u16string_view path, uint64_t edits) const {
    auto found = m_paths.find(path);
    if (found == m_paths.end() || found->second.version != edits) return std::nullopt;
    return found->second.child;
}

void CPathCache::RememberPath(std::u16string_view path, uint64_t edits, FileReference target) {
    if (auto found = m_paths.find(path); found != m_paths.end()) {
        found->second = SAnswer{edits, target};
        return;
    }
    auto node = MakeRoom(m_paths, m_pathCursor);
    if (node.empty()) {
        m_paths.emplace(std::u16string(path), SAnswer{edits, target});
        return;
    }
    node.key().assign(path);
    node.mapped() = SAnswer{edits, target};
    m_paths.insert(std::move(node));
}

std::optional<uint64_t> CPathCache::FindDirectoryVersion(FileReference reference) const {
    auto found = m_leftDirectories.find(RecordNumber(reference));
    if (found == m_leftDirectories.end() || !NamesObject(reference, found->second.reference)) return std::nullopt;
    return found->second.version;
}

void CPathCache::RememberDirectoryVersion(FileReference directory, uint64_t version) {
    // Past the limit an arbitrary one goes: its directory is only read again.
    if (m_leftDirectories.size() >= kLimit && !m_leftDirectories.contains(RecordNumber(directory)))
        m_leftDirectories.erase(m_leftDirectories.begin());
    if (m_leftDirectories.empty()) m_leftDirectories.reserve(kFirstWalk);
    m_leftDirectories.insert_or_assign(RecordNumber(directory), SLeftDirectory{directory, version});
}

std::optional<uint64_t> CPathCache::TakeDirectoryVersion(FileReference directory) {
    if (m_leftDirectories.empty()) return std::nullopt;
    auto found = m_leftDirectories.find(RecordNumber(directory));
    if (found == m_leftDirectories.end()) return std::nullopt;
    const SLeftDirectory left = found->second;
    m_leftDirectories.erase(found);
    if (left.reference != directory) return std::nullopt;
    return left.version;
}

}  // namespace volcore
