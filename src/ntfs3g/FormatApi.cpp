// The filesystem family's format: the engine's formatter over the family's
// device record, reported the family's way.
#include "base/Exception.h"
#include "base/IoDevice.h"
#include "format/Formatter.h"
#include "ntfs3g/FamilyLog.h"

namespace volkit {
namespace {

constexpr const char* kFormatFailure = "failed to create NTFS";

class CFamilyFormatDevice final : public volcore::IIoDevice {
public:
    explicit CFamilyFormatDevice(const filesystem::device& device) : m_device(device) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override {
        if (!m_device.read || !m_device.read(offset, buffer, length, m_device.context))
            throw volcore::CException(volcore::EErrorKind::Io, "Device read failed (offset %1, length %2)", offset,
                                      length);
    }
    void Write(uint64_t offset, const void* buffer, uint32_t length) override {
        if (!m_device.write || !m_device.write(offset, buffer, length, m_device.context))
            throw volcore::CException(volcore::EErrorKind::Io, "Device write failed (offset %1, length %2)", offset,
                                      length);
    }
    uint64_t GetSize() override {
        uint64_t size = 0;
        if (!m_device.getSize || !m_device.getSize(&size, m_device.context))
            throw volcore::CException(volcore::EErrorKind::Io, "Device size query failed");
        return size;
    }

private:
    filesystem::device m_device;
};

}  // namespace

bool filesystem::format(bool quick, unsigned int clusterSize, device& dev) {
    return volcore::fsfamily::RunReported("Failed to create NTFS filesystem", [&] {
        volcore::format::SFormatOptions options;
        options.quick = quick;
        options.clusterSize = clusterSize;
        CFamilyFormatDevice target(dev);
        try {
            volcore::format::FormatVolume(options, target);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            // The family tells only that no volume was made.
            volcore::fsfamily::Fail(kFormatFailure);
        }
    });
}

}  // namespace volkit
