#pragma once
// Recent name lookups, so that opening the same deep path again does not
// search every index on it. A name in a directory, (directory record, name as
// asked) → child reference, carries the version its directory's index had
// then; any change to that index gives it a new version, which no earlier
// answer carries. A whole path carries the count of edits made to any index
// of the volume then, and holds only while none of them has changed since.
// A directory a walk passed through and let go unchanged leaves its index
// version here: its answers keep holding without the directory in memory,
// and the next object of that directory takes the version over (and with it
// the duty to move on at a change).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "disk/Types.h"
#include "objects/SeenKeys.h"

namespace volcore {

class CPathCache {
public:
    CPathCache() = default;
    // m_lastPath points into this object's own table.
    CPathCache(const CPathCache&) = delete;
    CPathCache& operator=(const CPathCache&) = delete;

    // Answers kept of each kind; past it, each new answer takes an old one's place.
    static constexpr size_t kLimit = 4096;
    // Answers a table makes room for at its first: a deep path's worth.
    static constexpr size_t kFirstWalk = 48;

    std::optional<FileReference> Find(uint64_t directory, std::u16string_view name, uint64_t version) const;
    void Remember(uint64_t directory, std::u16string_view name, uint64_t version, FileReference child);
    // Remember from the second time the name is asked on: a run of opens of
    // distinct names in a directory held in memory would otherwise keep an
    // answer (a fresh block) per open that is seldom asked again.
    void RememberWhenAskedAgain(uint64_t directory, std::u16string_view name, uint64_t version, FileReference child);
    std::optional<FileReference> FindPath(std::u16string_view path, uint64_t edits) const;
    void RememberPath(std::u16string_view path, uint64_t edits, FileReference target);
    // The version left by the directory `reference` names (see NamesObject).
    std::optional<uint64_t> FindDirectoryVersion(FileReference reference) const;
    void RememberDirectoryVersion(FileReference directory, uint64_t version);
    // Removes what a directory of the record left, and hands its version over
    // only to an object of that same directory (same sequence number): every
    // new directory object calls it.
    std::optional<uint64_t> TakeDirectoryVersion(FileReference directory);

    // The hash of names and paths. Public for the check that the AVX2 steps
    // and the plain ones agree: a table fed by both must see one value.
    static size_t HashUnits(std::u16string_view text) noexcept;
    static size_t HashUnitsWithoutAvx2(std::u16string_view text) noexcept;
    // From this length on, a path is hashed in four lanes (see PathCache.cpp).
    static constexpr size_t kLaneHashBytes = 64;

private:
    struct SKey {
        uint64_t directory;
        std::u16string name;
    };
    // Looks an answer up without copying the name.
    struct SKeyView {
        uint64_t directory;
        std::u16string_view name;
    };
    struct SKeyHash {
        using is_transparent = void;
        size_t operator()(const SKeyView& key) const noexcept;
        size_t operator()(const SKey& key) const noexcept { return (*this)(SKeyView{key.directory, key.name}); }
    };
    struct SPathHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view path) const noexcept { return HashUnits(path); }
    };
    // The standard comparison of 16-bit strings goes unit by unit; a path of
    // a few hundred units is compared as bytes instead.
    static bool SameUnits(std::u16string_view a, std::u16string_view b) noexcept {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
    }
    struct SPathEqual {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return SameUnits(a, b); }
    };
    struct SKeyEqual {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const noexcept {
            return a.directory == b.directory && SameUnits(a.name, b.name);
        }
    };
    struct SAnswer {
        uint64_t version = 0;
        FileReference child = 0;
    };

    // At the limit, takes out the first answer found from `cursor`, which
    // moves round the buckets, and hands back its node: the new answer reuses
    // it and its name's storage instead of allocating both. Empty below the limit.
    template <typename Map>
    static typename Map::node_type MakeRoom(Map& map, size_t& cursor) {
        if (map.size() < kLimit) return {};
        const size_t buckets = map.bucket_count();
        for (size_t tried = 0; tried < buckets; ++tried) {
            const size_t bucket = cursor++ % buckets;
            if (map.begin(bucket) != map.end(bucket)) return map.extract(map.begin(bucket)->first);
        }
        return {};
    }

    std::unordered_map<SKey, SAnswer, SKeyHash, SKeyEqual> m_answers;
    using PathMap = std::unordered_map<std::u16string, SAnswer, SPathHash, SPathEqual>;
    PathMap m_paths;
    // The path found last, compared before any hashing: a program opening
    // one path again and again (to ask about it, then to read it) sends the
    // same units each time, and a deep path's hash costs more than the
    // comparison. It names a node of m_paths, which leaves the table only in
    // MakeRoom, and is cleared there.
    mutable const PathMap::value_type* m_lastPath = nullptr;
    struct SLeftDirectory {
        FileReference reference = 0;
        uint64_t version = 0;
    };
    // By record number.
    std::unordered_map<uint64_t, SLeftDirectory> m_leftDirectories;
    CSeenKeys<1024> m_askedNames;
    size_t m_answerCursor = 0;
    size_t m_pathCursor = 0;
};

}  // namespace volcore
