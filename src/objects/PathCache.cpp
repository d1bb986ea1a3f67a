#include "objects/PathCache.h"

#include <bit>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VOLKIT_LANES_AVX2 1
#endif

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


// Four 64-bit lanes over 32 bytes a step, as one AVX2 register holds them:
// each lane adds the product of the two halves of its word (mixed with a key
// that moves on every step, so that equal blocks in other places differ) and
// the neighbouring lane's word as it is. The products do not wait for one
// another: a deep path of a few hundred units costs half the instructions of
// a chain of full products. Every build computes the same value with or
// without AVX2, so a table never mixes two hashes of one key.
struct SLanes {
    uint64_t lane[4];
};

constexpr SLanes kLaneKeys{{0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull}};
constexpr uint64_t kLaneStep = 0x9E3779B97F4A7C15ull;

// The blocks of `length` bytes (at least one block's worth); a last partial
// block is taken as the last 32 bytes, overlapping the one before: the
// length in the starting lanes tells such a path from a longer one.
void LaneBlocks(const unsigned char* bytes, size_t length, SLanes& lanes) noexcept {
    SLanes keys = kLaneKeys;
    auto block = [&](const unsigned char* at) {
        uint64_t words[4];
        for (int i = 0; i < 4; ++i) words[i] = Word(at + 8 * i);
        for (int i = 0; i < 4; ++i) {
            const uint64_t keyed = words[i] ^ keys.lane[i];
            lanes.lane[i] += (keyed & 0xFFFFFFFFull) * (keyed >> 32) + words[i ^ 1];
            keys.lane[i] += kLaneStep;
        }
    };
    size_t position = 0;
    for (; position + 32 <= length; position += 32) block(bytes + position);
    if (position < length) block(bytes + length - 32);
}

#ifdef VOLKIT_LANES_AVX2
struct SLaneRegisters {
    __m256i sums;
    __m256i keys;
    __m256i step;
};

__attribute__((target("avx2"), always_inline)) inline void LaneBlockAvx2(SLaneRegisters& lanes, const unsigned char* at) {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i keyed = _mm256_xor_si256(words, lanes.keys);
    const __m256i product = _mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32));
    // 0x4E swaps the 64-bit halves of each 128-bit lane: words 1, 0, 3, 2.
    const __m256i neighbours = _mm256_shuffle_epi32(words, 0x4E);
    lanes.sums = _mm256_add_epi64(lanes.sums, _mm256_add_epi64(product, neighbours));
    lanes.keys = _mm256_add_epi64(lanes.keys, lanes.step);
}

__attribute__((target("avx2"))) void LaneBlocksAvx2(const unsigned char* bytes, size_t length, SLanes& lanes) noexcept {
    SLaneRegisters registers{_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.lane)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLaneKeys.lane)),
                             _mm256_set1_epi64x(static_cast<long long>(kLaneStep))};
    size_t position = 0;
    for (; position + 64 <= length; position += 64) {
        LaneBlockAvx2(registers, bytes + position);
        LaneBlockAvx2(registers, bytes + position + 32);
    }
    if (position + 32 <= length) {
        LaneBlockAvx2(registers, bytes + position);
        position += 32;
    }
    if (position < length) LaneBlockAvx2(registers, bytes + length - 32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.lane), registers.sums);
}

// Read here rather than trusting the runtime's own constructor to have run
// first; the plain loop gives the same value, so an early call is right too.
const bool g_lanesAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// `length` is at least 32.
size_t HashInLanes(const unsigned char* bytes, size_t length, bool avx2) noexcept {
    SLanes lanes{{length * kMultiplier, length ^ kLowKey, length + kHighKey, ~length}};
#ifdef VOLKIT_LANES_AVX2
    if (avx2 && g_lanesAvx2) LaneBlocksAvx2(bytes, length, lanes);
    else LaneBlocks(bytes, length, lanes);
#else
    (void)avx2;
    LaneBlocks(bytes, length, lanes);
#endif
    uint64_t hash = FoldedProduct(lanes.lane[0] ^ kLowKey, lanes.lane[1] ^ kHighKey) ^
                    FoldedProduct(lanes.lane[2] ^ kHighKey, lanes.lane[3] ^ kLowKey);
    hash ^= hash >> 32;
    hash *= kMultiplier;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash);
}

// One chain of full products, sixteen bytes a step: names are short.
size_t HashInChain(const unsigned char* bytes, size_t length) noexcept {
    uint64_t hash = length * kMultiplier;
    auto step = [&hash](const unsigned char* at) {
        hash = std::rotl(hash, 29) + FoldedProduct(Word(at) ^ kLowKey, Word(at + 8) ^ kHighKey);
    };
    size_t position = 0;
    for (; position + 16 <= length; position += 16) step(bytes + position);
    if (position < length) {
        unsigned char tail[16] = {};
        std::memcpy(tail, bytes + position, length - position);
        step(tail);
    }
    hash ^= hash >> 32;
    hash *= kMultiplier;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash);
}

}  // namespace

size_t CPathCache::HashUnits(std::u16string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size() * sizeof(char16_t);
    return length >= kLaneHashBytes ? HashInLanes(bytes, length, true) : HashInChain(bytes, length);
}

size_t CPathCache::HashUnitsWithoutAvx2(std::u16string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size() * sizeof(char16_t);
    return length >= kLaneHashBytes ? HashInLanes(bytes, length, false) : HashInChain(bytes, length);
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
    if (m_lastPath == nullptr || !SameUnits(m_lastPath->first, path)) {
        auto found = m_paths.find(path);
        if (found == m_paths.end()) return std::nullopt;
        m_lastPath = &*found;
    }
    if (m_lastPath->second.version != edits) return std::nullopt;
    return m_lastPath->second.child;
}

void CPathCache::RememberPath(std::u16string_view path, uint64_t edits, FileReference target) {
    if (auto found = m_paths.find(path); found != m_paths.end()) {
        found->second = SAnswer{edits, target};
        return;
    }
    m_lastPath = nullptr;
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
