#pragma once
// What the interoperability tests share: a tree of paths and contents, the
// readers that must agree on it (the handle family, libntfs-3g, The Sleuth
// Kit, ntfsfix and our own check), and one routine that asks all of them.
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

class Ntfs3gTree;

using Bytes = std::vector<uint8_t>;
// Canonical path (components joined by backslashes) to contents; a directory
// has none.
using Tree = std::map<std::u16string, std::optional<Bytes>>;

std::u16string Child(const std::u16string& directory, const std::u16string& name);
std::u16string U16(const std::string& ascii);
std::string Utf8(const std::u16string& text);

// Through the exported functions; in reads of `piece` bytes where given, as a copying program reads.
Bytes ReadThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path, uint32_t piece = 0);
void WriteThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path, const Bytes& contents);
// Names of a directory as the handle family lists them: long and POSIX names,
// no DOS aliases, no ".", with their record numbers.
std::map<std::u16string, uint64_t> ListThroughHandles(volkit::api::NtfsVolumeHandle volume, const std::u16string& path);

// Every directory of the tree lists the same names and records for libntfs-3g
// and for us, and every file reads as `tree` says through both.
void ExpectSameTree(volkit::api::NtfsVolumeHandle volume, Ntfs3gTree& reference, const Tree& tree);

// The outside readers accept the volume: `ntfsck -n` (where ../shared/tools
// has it), `ntfsfix -n`, The Sleuth Kit lists it, and libntfs-3g mounted
// read-write reads every file of `tree` and creates a directory.
void ExpectOutsideReadersAccept(const std::vector<uint8_t>& volume, const Tree& tree, const std::string& where);

// The whole image holds exactly `tree`: our check and `ntfsfix -n` find
// nothing, The Sleuth Kit lists its paths and reads its files that lie in
// clusters, and libntfs-3g and the handle family read it the same.
void ExpectEveryReaderAgrees(const std::string& image, const Tree& tree);

}  // namespace volcore::test
