#pragma once
// The one image fixture of the engine's tests: an NTFS image held in memory,
// made fresh or read from a file, and opened by the engine. Close writes the
// image back to its file so that independent tools can check what the engine
// wrote.
#include <memory>
#include <string>
#include <vector>

#include "entries/FileEntry.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "volume/ClusterAllocator.h"
#include "objects/Volume.h"

namespace volcore::test {

// How far a test volume loads. Full is what the exported open does; the
// shallower depths let tests build the upper layers by hand.
enum class ELoadDepth { BootSector, Mft, Allocator, Full };

class CTestVolume final : public CVolume {
public:
    CTestVolume(std::shared_ptr<IIoDevice> device, ELoadDepth depth);
    // Replaces the cluster allocator with a double, which the volume owns.
    void UseClusterAllocator(std::unique_ptr<IClusterAllocator> allocator) {
        ReplaceClusterAllocator(std::move(allocator));
    }
};

class EngineVolume {
public:
    // A fresh image made with `options`, in a temporary directory of its own.
    explicit EngineVolume(const ImageOptions& options = {}, ELoadDepth depth = ELoadDepth::Allocator);
    // Loads the volume to `depth`; at Mft and Allocator the upcase table is loaded here.
    explicit EngineVolume(const std::string& imagePath, ELoadDepth depth = ELoadDepth::Allocator);
    EngineVolume(const EngineVolume&) = delete;
    EngineVolume& operator=(const EngineVolume&) = delete;

    CTestVolume& Volume() { return *m_volume; }
    MemoryDevice& Device() { return m_device; }
    std::vector<uint8_t>& Bytes() { return m_device.Bytes(); }
    const std::string& Path() const { return m_path; }
    // Flushes the volume, releases it, and writes the image back to its file.
    void Close();
    // Releases the volume and loads it again from the same bytes; a failed
    // load leaves no volume open.
    void Reopen() { Reopen(m_depth); }
    void Reopen(ELoadDepth depth);
    // Releases the volume and loads the image file again, after an outside
    // tool changed it.
    void Reload();

    // Where record `number` is stored: a fresh volume keeps its first records
    // together at the MFT's cluster.
    uint64_t RecordOffset(uint64_t number, bool mirror = false) const;

    // ntfsfix in no-action mode and ntfsinfo both accept the closed image;
    // where they are missing (Windows), the library's own check finds no damage.
    void ExpectCheckersAccept();

private:
    void Open();

    std::unique_ptr<TempDir> m_dir;  // only for an image of its own
    std::string m_path;
    ELoadDepth m_depth;
    MemoryDevice m_device;
    std::unique_ptr<CTestVolume> m_volume;
};

// Hands out clusters from `next` upwards as one run per call and records what
// was asked.
class TestAllocator final : public IClusterAllocator {
public:
    // Installs a new one in `volume`, which owns it from then on.
    static TestAllocator* Install(CTestVolume& volume, uint64_t next);

    void Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) override;
    void Free(uint64_t, uint64_t) override {}
    void Flush() override {}

    std::vector<EAllocationZone> zones;

private:
    explicit TestAllocator(uint64_t next) : m_next(next) {}
    uint64_t m_next;
};

// A new entry as the engine makes them, linked nowhere: a 72-byte
// $STANDARD_INFORMATION and the $FILE_NAME `name` under `parent`; a directory
// also gets an empty $I30 root.
FileEntryPtr NewEntry(CVolume& volume, const std::u16string& name, bool directory = false,
                      FileReference parent = MakeReference(kRootRecord, kRootRecord));

// Replaces the whole value of an attribute.
void SetValue(CAttribute& attribute, const std::vector<uint8_t>& value);

}  // namespace volcore::test
