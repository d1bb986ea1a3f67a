#pragma once
// What the record scan learns about the volume and the later stages use:
// every base record in use, its names and its directory index.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check/FileModel.h"

namespace volcore::check {

struct SName {
    FileReference parent = 0;
    std::u16string name;
    uint8_t nameSpace = 0;
    bool indexed = false;  // an entry of the parent's index matches it
};

// Names kept in this order are found by parent record and name at once.
struct SNameOrder {
    using is_transparent = void;
    using Key = std::pair<uint64_t, std::u16string_view>;
    static Key KeyOf(const SName& name) { return {RecordNumber(name.parent), name.name}; }
    static Key KeyOf(const Key& key) { return key; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const { return KeyOf(a) < KeyOf(b); }
};

// What walking a directory's $I30 index needs.
struct SIndexSource {
    std::vector<uint8_t> root;  // the $INDEX_ROOT value
    std::optional<SStream> allocation;
    std::optional<SStream> bitmap;
};

struct SFileState {
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    bool directory = false;
    bool damaged = false;  // unreadable: entries pointing at it are not judged
    std::vector<SName> names;  // in SNameOrder
    std::optional<SIndexSource> index;
    // What its index entries must copy of its $DATA (allocated, data size);
    // none when the entries' sizes are not compared. Compressed and sparse
    // data may give their compressed size instead of the allocated one:
    // writers differ there.
    std::optional<std::pair<uint64_t, uint64_t>> sizes;
    std::optional<uint64_t> compressedSize;
    uint32_t references = 0;  // index entries pointing at it
};

struct SExtension {
    FileReference base = 0;
    std::vector<RunMap> runs;  // of its non-resident attributes
};

struct SVolumeModel {
    std::map<uint64_t, SFileState> files;         // base records in use
    std::map<uint64_t, SExtension> extensions;    // extension records in use
    std::set<std::pair<uint64_t, uint64_t>> listed;  // (extension, base) pairs the bases' lists name
    std::optional<SStream> clusterBitmap;
    std::optional<SStream> upcase;
    uint64_t recordsInUse = 0;
};

}  // namespace volcore::check
