#pragma once
// An engine volume over an image held in memory, for tests of the layers
// above the MFT. The image file is read at construction and written back by
// SaveImage, so that independent tools can check what the engine wrote.
#include <memory>
#include <string>

#include "support/MemoryDevice.h"
#include "volume/Volume.h"

namespace volcore::test {

class EngineVolume {
public:
    // Loads the volume to `depth`; below Full the upcase table is loaded here.
    explicit EngineVolume(const std::string& imagePath, volcore::ELoadDepth depth = volcore::ELoadDepth::Allocator);
    ~EngineVolume();
    EngineVolume(const EngineVolume&) = delete;
    EngineVolume& operator=(const EngineVolume&) = delete;

    volcore::CVolume& Volume() { return *m_volume; }
    MemoryDevice& Device() { return m_device; }
    // Flushes the volume, releases it, and writes the image back to its file.
    void Close();
    // Releases the volume and loads it again from the same bytes.
    void Reopen();

private:
    void Open();

    std::string m_path;
    volcore::ELoadDepth m_depth;
    MemoryDevice m_device;
    std::unique_ptr<volcore::CVolume> m_volume;
};

}  // namespace volcore::test
