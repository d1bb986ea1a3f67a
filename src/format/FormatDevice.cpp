#include "format/FormatDevice.h"

#include <algorithm>
#include <limits>

#include "api/Exception.h"

namespace volcore::format {

bool CFormatDevice::TryWrite(uint64_t offset, std::span<const uint8_t> bytes) {
    try {
        Write(offset, bytes);
        return true;
    } catch (const CException&) {
        return false;
    }
}

void CFormatDevice::Write(uint64_t offset, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        size_t piece = std::min<size_t>(bytes.size(), std::numeric_limits<uint32_t>::max());
        m_device.Write(offset, bytes.data(), static_cast<uint32_t>(piece));
        offset += piece;
        bytes = bytes.subspan(piece);
    }
}

}  // namespace volcore::format
