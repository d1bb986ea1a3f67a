#pragma once
// Damages one structure of a stored image the way a faulty disk or driver
// would, field by field through the offsets of the layout headers: the boot
// sector, a FILE record, an index block. A record or block (one that passes
// its update sequence check) is edited with the sequence undone; Refixup, or
// the end of the editor, applies it again, so that a reader meets the damaged
// field rather than a torn write. TearStride makes the torn write.
#include <cstdint>
#include <span>
#include <vector>

namespace volcore::test {

class ImageEditor {
public:
    explicit ImageEditor(std::span<uint8_t> bytes);
    ImageEditor(std::vector<uint8_t>& image, uint64_t offset, size_t size)
        : ImageEditor(std::span<uint8_t>(image).subspan(offset, size)) {}
    ~ImageEditor() { Refixup(); }
    ImageEditor(const ImageEditor&) = delete;
    ImageEditor& operator=(const ImageEditor&) = delete;

    void SetField(size_t offset, size_t width, uint64_t value);
    uint64_t Field(size_t offset, size_t width) const;
    void Refixup();

private:
    std::span<uint8_t> m_bytes;
    bool m_open = false;  // protected, with the update sequence undone
};

}  // namespace volcore::test
