#pragma once
// Re-stamping a file or a directory with the caller's attributes and times.
#include <cstdint>

#include "objects/File.h"
#include "volkit/api.h"

namespace volcore {

// The attributes a caller may set; every other bit is the engine's to manage.
inline constexpr uint32_t kSettableFileAttributes = 0x31A7;
// Bits that say how the data is stored (sparse, reparse point, compressed,
// encrypted): a stamp keeps them as they are, as Windows does.
inline constexpr uint32_t kStorageFileAttributes = 0x4E00;

// Replaces the three times and the attributes (masked, plus `addedAttributes`
// and the storage bits it had) in the object's $STANDARD_INFORMATION; the
// rest of the value stays.
void StampObject(CFsObject& object, const volkit::api::NtfsAttributesAndTime& values, uint32_t addedAttributes);

}  // namespace volcore
