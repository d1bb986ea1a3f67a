#pragma once
// Re-stamping a file or a directory with the caller's attributes and times.
#include <cstdint>

#include "entries/File.h"
#include "volkit/api.h"

namespace volcore {

// The attributes a caller may set; every other bit is the engine's to manage.
inline constexpr uint32_t kSettableFileAttributes = 0x31A7;

// Replaces the three times and the attributes (masked, plus `addedAttributes`)
// in the object's $STANDARD_INFORMATION; the rest of the value stays.
void StampObject(CFsObject& object, const volkit::api::NtfsAttributesAndTime& values, uint32_t addedAttributes);

}  // namespace volcore
