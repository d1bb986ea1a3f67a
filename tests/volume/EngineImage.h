#pragma once
// An mkntfs image held in memory and opened by the engine, with a device that
// records where the engine writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/IoDevice.h"
#include "entries/RecordFormat.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/VolumeCheck.h"
#include "volume/Fixups.h"
#include "volume/Mft.h"
#include "volume/Volume.h"

namespace volcore::test {

// Forwards to the in-memory device and keeps the offset of every write.
class RecordingDevice final : public volcore::IIoDevice {
public:
    explicit RecordingDevice(std::shared_ptr<volcore::IIoDevice> inner) : m_inner(std::move(inner)) {}
    void Read(uint64_t offset, void* buffer, uint32_t length) override {
        reads.push_back(offset);
        m_inner->Read(offset, buffer, length);
    }
    void Write(uint64_t offset, const void* buffer, uint32_t length) override {
        writes.push_back(offset);
        m_inner->Write(offset, buffer, length);
    }
    uint64_t GetSize() override { return m_inner->GetSize(); }
    bool Wrote(uint64_t offset) const {
        for (uint64_t w : writes)
            if (w == offset) return true;
        return false;
    }
    std::vector<uint64_t> reads;
    std::vector<uint64_t> writes;

private:
    std::shared_ptr<volcore::IIoDevice> m_inner;
};

class EngineImage {
public:
    explicit EngineImage(uint32_t clusterSize = 4096, uint64_t size = 16ull << 20) {
        ImageOptions options;
        options.clusterSize = clusterSize;
        options.size = size;
        MakeNtfsImage(Path(), options);
        Reload();
    }

    std::string Path() const { return m_dir.File("ntfs.img"); }

    // Takes the image file's current bytes (after an outside tool changed it).
    void Reload() {
        m_memory = MemoryDevice::FromFile(Path());
        m_recorder = std::make_shared<RecordingDevice>(std::make_shared<volcore::CIoDeviceImpl>(m_memory.Api()));
    }
    // Puts the in-memory bytes back into the file, for the checker tools.
    void Store() const { m_memory.SaveToFile(Path()); }

    std::unique_ptr<volcore::CVolume> Open(volcore::ELoadDepth depth = volcore::ELoadDepth::Allocator) {
        return std::make_unique<volcore::CVolume>(m_recorder, depth);
    }

    std::vector<uint8_t>& Bytes() { return m_memory.Bytes(); }
    RecordingDevice& Device() { return *m_recorder; }

    // ntfsfix in no-action mode and ntfsinfo both accept the stored image;
    // where they are missing (Windows), the library's own check finds no damage.
    void ExpectCheckersAccept() {
        if (!HaveProgram("ntfsfix")) {
            CheckOutcome outcome = CheckVolume(m_memory.Api());
            EXPECT_TRUE(outcome.ran && outcome.damage.empty()) << outcome.Describe();
            return;
        }
        Store();
        CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(Path()));
        EXPECT_EQ(fix.exitCode, 0) << fix.output;
        CommandResult info = RunCommand("ntfsinfo -m " + ShellQuote(Path()));
        EXPECT_EQ(info.exitCode, 0) << info.output;
    }

private:
    TempDir m_dir;
    MemoryDevice m_memory;
    std::shared_ptr<RecordingDevice> m_recorder;
};

// Reads, changes and writes back one MFT record the way the engine stores it.
template <typename Change>
void PatchRecord(volcore::CVolume& volume, uint64_t recordNumber, Change change) {
    volcore::MftRecBufferPtr record = volume.ReadMftRecord(recordNumber);
    change(volcore::CByteWriter(record->bytes));
    volume.WriteMftRecord(recordNumber, record);
}


}  // namespace volcore::test
