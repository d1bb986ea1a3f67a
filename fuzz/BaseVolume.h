#pragma once
// Fresh volumes for the targets that change one part of a known volume, and
// the handle-family steps the seed generator shares with them.
#include <cstdint>
#include <string>
#include <vector>

#include "ImageParts.h"
#include "volkit/api.h"

namespace volcore::fuzz {

// Formats `image` (its size is the volume's) through the handle family.
bool FormatImage(Bytes& image, uint32_t clusterSize);

// Creates a file of `size` bytes, each its offset's low byte.
bool PutFile(volkit::api::NtfsVolumeHandle volume, const std::wstring& path, size_t size);

// Resizes a file from `from` to `to` bytes, writing PutFile's bytes into the
// part that grew.
bool ResizeFile(volkit::api::NtfsVolumeHandle volume, const std::wstring& path, size_t from, size_t to);

// A name for the n-th entry of a directory, long enough that a few dozen
// entries need several index blocks.
std::wstring EntryName(int n);

// A fresh 1 MiB volume with a file "item" (non-resident data), whose record
// and the free records behind it the record target replaces, and a directory "dir" whose index needs several
// blocks, which the index target replaces.
struct SBaseVolume {
    Bytes image;
    SImageParts parts;
    uint64_t itemRecord = 0;
    uint16_t itemSequence = 0;
    std::vector<uint64_t> itemOffsets;  // where the item's record and the free ones behind it lie
    std::vector<uint64_t> dirBlocks;    // byte offsets
};
inline constexpr int kBaseDirEntries = 24;
// The item's base record and the extension records behind it.
inline constexpr size_t kItemRecords = 6;
const SBaseVolume& BaseVolume();

}  // namespace volcore::fuzz
