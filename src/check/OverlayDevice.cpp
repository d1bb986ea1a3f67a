#include "check/OverlayDevice.h"

#include <algorithm>
#include <cstring>

#include "base/Exception.h"

namespace volcore::check {

std::vector<uint8_t>& COverlayDevice::Page(uint64_t index) {
    auto found = m_pages.find(index);
    if (found != m_pages.end()) return found->second;
    std::vector<uint8_t> page(kPage, 0);
    uint64_t size = m_base.GetSize(), start = index * kPage;
    if (start < size) m_base.Read(start, page.data(), static_cast<uint32_t>(std::min(kPage, size - start)));
    return m_pages.emplace(index, std::move(page)).first->second;
}

void COverlayDevice::Read(uint64_t offset, void* buffer, uint32_t length) {
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < length;) {
        uint64_t position = offset + done, index = position / kPage;
        uint32_t inPage = static_cast<uint32_t>(std::min<uint64_t>(length - done, kPage - position % kPage));
        auto found = m_pages.find(index);
        if (found != m_pages.end()) std::memcpy(out + done, found->second.data() + position % kPage, inPage);
        else m_base.Read(position, out + done, inPage);
        done += inPage;
    }
}

void COverlayDevice::Write(uint64_t offset, const void* buffer, uint32_t length) {
    if (offset > m_base.GetSize() || length > m_base.GetSize() - offset)
        throw CException(EErrorKind::Io, "Write of %1 bytes at %2 lies beyond the device", length, offset);
    const auto* in = static_cast<const uint8_t*>(buffer);
    for (uint32_t done = 0; done < length;) {
        uint64_t position = offset + done;
        uint32_t inPage = static_cast<uint32_t>(std::min<uint64_t>(length - done, kPage - position % kPage));
        std::memcpy(Page(position / kPage).data() + position % kPage, in + done, inPage);
        done += inPage;
    }
    m_journal.push_back(SWrite{offset, std::vector<uint8_t>(in, in + length)});
}

void COverlayDevice::Replay(IIoDevice& target) const {
    for (const SWrite& write : m_journal)
        target.Write(write.offset, write.bytes.data(), static_cast<uint32_t>(write.bytes.size()));
}

}  // namespace volcore::check
