#pragma once
// What Windows leaves on a volume it has not finished with: a hibernation
// file holding a suspended system, and a $LogFile whose restart area says a
// client still has changes to replay. Told from the bytes alone, so that the
// engine and the tool, which reads them through the exported functions, judge
// them alike.
#include <cstdint>
#include <functional>

namespace volcore {

// $LogFile restart page header.
namespace RestartPage {
inline constexpr size_t Magic = 0x00;
inline constexpr size_t SystemPageSize = 0x10;
inline constexpr size_t RestartAreaOffset = 0x18;
inline constexpr size_t HeaderSize = 0x1E;
}  // namespace RestartPage

// The restart area that a restart page points at.
namespace RestartArea {
inline constexpr size_t ClientInUseList = 0x0C;
inline constexpr size_t Flags = 0x0E;
inline constexpr size_t HeaderSize = 0x10;
inline constexpr uint16_t NoClient = 0xFFFF;
inline constexpr uint16_t FlagVolumeIsClean = 0x0002;
}  // namespace RestartArea

// The first four bytes of hiberfil.sys: "hibr", "HIBR", "wake" or "WAKE"
// while a hibernated system waits in it.
bool IsHibernationSignature(const uint8_t* bytes);

// Reads `length` bytes of the $LogFile data at `offset`; raises on failure.
using LogFileReader = std::function<void(uint64_t offset, uint8_t* buffer, uint32_t length)>;

// A journal that others emptied (its first page all 0xFF bytes) or whose
// restart area says no client has work left is clean. `size` is the data
// size of $LogFile. Raises when a read fails; a journal that cannot be read
// must be taken as unclean.
bool LogFileIsClean(uint64_t size, const LogFileReader& read);

}  // namespace volcore
