#pragma once
// What the interoperability tests share: a tree of paths and contents, and the
// three readers that must agree on it (the handle family, libntfs-3g and The
// Sleuth Kit).
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/Images.h"
#include "support/Oracles.h"
#include "volkit/api.h"

namespace volcore::test {

using Bytes = std::vector<uint8_t>;
// Canonical path (components joined by backslashes) to contents; a directory
// has none.
using Tree = std::map<std::u16string, std::optional<Bytes>>;

std::u16string Child(const std::u16string& directory, const std::u16string& name);
std::u16string U16(const std::string& ascii);
std::string Utf8(const std::u16string& text);

// Names of the direct children of `directory` ("" is the root).
std::set<std::u16string> ChildrenOf(const Tree& tree, const std::u16string& directory);

// Through the exported functions (and, for what they do not offer, the
// engine objects behind the handles).
Bytes ReadThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path);
void WriteThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path, const Bytes& contents);
// Names in a directory's index as the engine sees them: long and POSIX names,
// no DOS aliases, no ".", with their record numbers.
std::map<std::u16string, uint64_t> ListThroughEngine(volkit::api::NtfsVolumeHandle volume, const std::u16string& path);


}  // namespace volcore::test
