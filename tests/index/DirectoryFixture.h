#pragma once
// An mkntfs volume in memory, opened with the engine directly, for the tests
// of directories, paths and the directory cache.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/IoDevice.h"
#include "index/Directory.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "volume/Volume.h"

namespace volcore::test {

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override { m_device.Bytes() = PristineImage(); }

    // Opens the volume (again), flushing and dropping an earlier one.
    volcore::CVolume& Open() {
        Close();
        m_volume = std::make_shared<volcore::CVolume>(std::make_shared<volcore::CIoDeviceImpl>(m_device.Api()));
        return *m_volume;
    }
    void Close() {
        if (!m_volume) return;
        m_volume->Flush();
        m_volume.reset();
    }
    void TearDown() override { Close(); }

    volcore::CVolume& Volume() { return *m_volume; }
    MemoryDevice& Device() { return m_device; }

    // Records in use according to the MFT bitmap.
    uint64_t RecordsInUse() const;

private:
    MemoryDevice m_device;
    std::shared_ptr<volcore::CVolume> m_volume;
};

}  // namespace volcore::test
