#pragma once
// What one session may do to a volume, and the mark it leaves while it
// changes it: a device that runs a hook before every write, the flags word of
// $Volume (whose dirty bit tells every checker, and Windows at its next mount,
// that a session did not finish), and the two states Windows leaves behind
// in which nobody else may write: a hibernated system and a $LogFile with
// changes still to replay.
#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>

#include "base/IoDevice.h"

namespace volcore {

class CVolume;

// Runs `beforeWrite` ahead of every write, not again for the writes that the
// hook itself makes; a hook that raises refuses the write.
class CGuardedDevice final : public IIoDevice {
public:
    CGuardedDevice(std::shared_ptr<IIoDevice> inner, std::function<void()> beforeWrite)
        : m_inner(std::move(inner)), m_beforeWrite(std::move(beforeWrite)) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override { m_inner->Read(offset, buffer, length); }
    void Write(uint64_t offset, const void* buffer, uint32_t length) override;
    // The volume's extent is fixed for the session: the device is asked once,
    // not on every transfer that checks a run against it.
    uint64_t GetSize() override {
        if (!m_size) m_size = m_inner->GetSize();
        return *m_size;
    }

private:
    std::shared_ptr<IIoDevice> m_inner;
    std::optional<uint64_t> m_size;
    std::function<void()> m_beforeWrite;
    bool m_inHook = false;
};

// The flags word of $VOLUME_INFORMATION in record 3.
uint16_t ReadVolumeFlags(CVolume& volume);
// Changes that word in place, in the record and its mirror copy; nothing else
// of the record is rewritten.
void WriteVolumeFlags(CVolume& volume, uint16_t flags);

// Why the volume must be left as it is (hibernated, or a journal still to
// replay), or empty when it may be written. Needs the root directory.
std::string ReasonToStayReadOnly(CVolume& volume);

}  // namespace volcore
