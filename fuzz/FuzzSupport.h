#pragma once
// What the fuzz targets and their seed generator share: packed volume images,
// a copy-on-write device, and the way a target reports a broken promise.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "volkit/api.h"

namespace volcore::fuzz {

// Volume images travel packed, so that a 1 MiB volume that is mostly zeros
// (and a journal of 0xFF) makes an input of a few hundred KiB whose every
// byte matters. The packed form is a sequence of chunks, each a tag byte:
// tag < 0x80 is followed by tag + 1 bytes copied as they are; tag >= 0x80 by
// one byte value repeated ((tag & 0x7F) + 1) x 512 times. Unpacking stops at
// a truncated chunk and at kMaxImageSize.
inline constexpr size_t kMaxImageSize = 16u << 20;
std::vector<uint8_t> UnpackImage(std::span<const uint8_t> packed);
std::vector<uint8_t> PackImage(std::span<const uint8_t> image);

// An in-memory device over bytes it does not own: reads come from `base`
// until a write copies the page concerned. Transfers beyond the end fail.
class CowDevice {
public:
    explicit CowDevice(std::span<const uint8_t> base);
    volkit::api::NtfsIoDevice Api() { return {this, &Read, &Write, &Size}; }
    uint64_t WriteCount() const { return m_writes; }
    // The device's current bytes.
    std::vector<uint8_t> Bytes() const;

private:
    static constexpr size_t kPageSize = 4096;
    static bool Read(uint64_t offset, void* buffer, uint32_t length, void* context);
    static bool Write(uint64_t offset, const void* buffer, uint32_t length, void* context);
    static bool Size(uint64_t* size, void* context);
    bool InRange(uint64_t offset, uint32_t length) const;
    uint8_t* Page(size_t index);
    // Calls move(page index, offset in the page, bytes done, piece length) per page touched.
    template <typename Move>
    void ForEachPage(uint64_t offset, uint32_t length, Move move);

    std::span<const uint8_t> m_base;
    std::vector<std::unique_ptr<uint8_t[]>> m_pages;
    uint64_t m_writes = 0;
};

// Drops the handle family's log lines (a fuzz run makes millions of them),
// unless VOLKIT_FUZZ_LOG is set: then they go to stderr.
void SilenceLog();

// Ends the run as a finding: a call broke a promise the library makes.
[[noreturn]] void Finding(const char* what);

}  // namespace volcore::fuzz
