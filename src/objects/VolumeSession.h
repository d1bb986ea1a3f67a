#pragma once
// What one session may do to a volume, and the mark it leaves while it
// changes it: the flags word of $Volume (whose dirty bit tells every checker,
// and Windows at its next mount, that a session did not finish), and the two
// states Windows leaves behind in which nobody else may write: a hibernated
// system and a $LogFile with changes still to replay.
#include <cstdint>
#include <string>

#include "disk/VolumeServices.h"

namespace volcore {

class CVolume;

// The flags word of $VOLUME_INFORMATION in record 3.
uint16_t ReadVolumeFlags(IVolumeServices& volume);
// Changes that word in place, in the record and its mirror copy; nothing else
// of the record is rewritten.
void WriteVolumeFlags(IVolumeServices& volume, uint16_t flags);
// Sets the bits of `set` and clears those of `clear` the same way.
void ChangeVolumeFlags(IVolumeServices& volume, uint16_t set, uint16_t clear);

// Why the volume must be left as it is (hibernated, or a journal still to
// replay), or empty when it may be written. Needs the root directory.
std::string ReasonToStayReadOnly(CVolume& volume);

}  // namespace volcore
