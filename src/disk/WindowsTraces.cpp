#include "disk/WindowsTraces.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "base/Bytes.h"
#include "disk/Fixups.h"

namespace volcore {

namespace {

constexpr uint32_t kLargestLogPage = 64 * 1024;
constexpr uint32_t kUsualLogPage = 4096;

// The verdict of one restart page at `offset`, or false when there is none.
bool ReadRestartPage(uint64_t size, const LogFileReader& read, uint64_t offset, uint32_t& pageSize, bool& clean) {
    if (size < offset || size - offset < RestartPage::HeaderSize) return false;
    uint8_t header[RestartPage::HeaderSize];
    read(offset, header, RestartPage::HeaderSize);
    CByteReader fields(header, sizeof header);
    if (std::memcmp(header, "RSTR", 4) != 0 && std::memcmp(header, "CHKD", 4) != 0) return false;
    uint32_t page = fields.U32(RestartPage::SystemPageSize);
    if (page < 512 || page > kLargestLogPage || (page & (page - 1)) != 0 || size - offset < page) return false;
    pageSize = page;
    std::vector<uint8_t> bytes(page);
    read(offset, bytes.data(), page);
    try {
        MstUnprotect(bytes, 1, page);
    } catch (const std::exception&) {
        return false;
    }
    CByteReader reader(bytes);
    size_t area = reader.U16(RestartPage::RestartAreaOffset);
    if (area + RestartArea::HeaderSize > page) return false;
    clean = reader.U16(area + RestartArea::ClientInUseList) == RestartArea::NoClient ||
            (reader.U16(area + RestartArea::Flags) & RestartArea::FlagVolumeIsClean) != 0;
    return true;
}

}  // namespace

bool IsHibernationSignature(const uint8_t* bytes) {
    for (const char* signature : {"hibr", "HIBR", "wake", "WAKE"})
        if (std::memcmp(bytes, signature, 4) == 0) return true;
    return false;
}

bool LogFileIsClean(uint64_t size, const LogFileReader& read) {
    if (size == 0) return false;
    std::vector<uint8_t> start(static_cast<size_t>(std::min<uint64_t>(size, kUsualLogPage)));
    read(0, start.data(), static_cast<uint32_t>(start.size()));
    if (std::all_of(start.begin(), start.end(), [](uint8_t byte) { return byte == 0xFF; })) return true;
    uint32_t pageSize = kUsualLogPage;
    bool clean = false;
    if (ReadRestartPage(size, read, 0, pageSize, clean)) return clean;
    return ReadRestartPage(size, read, pageSize, pageSize, clean) && clean;
}

}  // namespace volcore
