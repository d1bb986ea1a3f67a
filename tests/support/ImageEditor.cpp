#include "support/ImageEditor.h"

#include "base/Bytes.h"
#include "base/Exception.h"
#include "disk/Fixups.h"

namespace volcore::test {

ImageEditor::ImageEditor(std::span<uint8_t> bytes) : m_bytes(bytes) {
    try {
        MstUnprotect(m_bytes, 1, static_cast<uint32_t>(m_bytes.size()));
        m_open = true;
    } catch (const CException&) {
        // Not a protected structure, or one already damaged: edited as stored.
    }
}

void ImageEditor::SetField(size_t offset, size_t width, uint64_t value) {
    CByteWriter(m_bytes.data(), m_bytes.size()).PutLe(offset, value, width);
}

uint64_t ImageEditor::Field(size_t offset, size_t width) const {
    return CByteReader(m_bytes.data(), m_bytes.size()).Le(offset, width);
}

void ImageEditor::Refixup() {
    if (m_open) MstProtect(m_bytes, 1, static_cast<uint32_t>(m_bytes.size()));
    m_open = false;
}

}  // namespace volcore::test
