#include "objects/PathCache.h"

#include <bit>


namespace volcore {

size_t CPathCache::HashUnits(std::u16string_view text) noexcept {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size() * sizeof(char16_t);
    uint64_t hash = length * kMultiplier;
    // A rotation, an XOR and a multiplication per word: every bit of a word
    // reaches the high half of the hash, which the final mix folds down.
    auto mix = [](uint64_t& lane, uint64_t word) { lane = (std::rotl(lane, 23) ^ word) * kMultiplier; };
    // Two lanes over 16 bytes at a time: each step waits for the multiplication
    // before it, so two independent chains take half the time on a long path.
    uint64_t other = 0;
    size_t position = 0;
    for (; position + 2 * sizeof(uint64_t) <= length; position += 2 * sizeof(uint64_t)) {
        uint64_t words[2];
        std::memcpy(words, bytes + position, sizeof words);
        mix(hash, words[0]);
        mix(other, words[1]);
    }
    if (position != 0) mix(hash, other);
    for (; position + sizeof(uint64_t) <= length; position += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bytes + position, sizeof word);
        mix(hash, word);
    }
    if (position < length) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + position, length - position);
        mix(hash, word);
    }
    hash ^= hash >> 32;
    hash *= kMultiplier;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash);
}

size_t CPathCache::SKeyHash::operator()(const SKeyView& key) const noexcept {
    return HashUnits(key.name) ^ (key.directory * 0x9E3779B97F4A7C15ull);
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
        m_answers.emplace(SKey{directory, std::u16string(name)}, SAnswer{version, child});
        return;
    }
    node.key().directory = directory;
    node.key().name.assign(name);
    node.mapped() = SAnswer{version, child};
    m_answers.insert(std::move(node));
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

}  // namespace volcore
