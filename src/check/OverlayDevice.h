#pragma once
// A device that keeps every write in memory over one that is only read, and
// remembers the writes in order: a repair runs on it first, and reaches the
// real device only when the whole of it worked, write for write as it ran.
#include <cstdint>
#include <map>
#include <vector>

#include "base/IoDevice.h"

namespace volcore::check {

class COverlayDevice final : public IIoDevice {
public:
    explicit COverlayDevice(IIoDevice& base) : m_base(base) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override;
    void Write(uint64_t offset, const void* buffer, uint32_t length) override;
    uint64_t GetSize() override { return m_base.GetSize(); }

    bool Changed() const { return !m_journal.empty(); }
    // Makes every write again on `target`, in the order they were made.
    void Replay(IIoDevice& target) const;

private:
    static constexpr uint64_t kPage = 4096;
    std::vector<uint8_t>& Page(uint64_t index);

    struct SWrite {
        uint64_t offset;
        std::vector<uint8_t> bytes;
    };

    IIoDevice& m_base;
    std::map<uint64_t, std::vector<uint8_t>> m_pages;
    std::vector<SWrite> m_journal;
};

}  // namespace volcore::check
