#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace volcore {

struct CMftRecBuffer;
using MftRecBufferPtr = std::shared_ptr<CMftRecBuffer>;

// One MFT record in memory (exactly the volume's record size), shared between
// the MFT and file entries. No dirty flag and no record number: writing is an
// explicit call with the reference.
struct CMftRecBuffer {
    std::span<uint8_t> bytes;

    // Every byte zero: a record is built in it.
    static MftRecBufferPtr Zeroed(size_t size) { return Make(size, true); }
    // The bytes left as the allocator gave them: for a caller that fills
    // every one of them before anything reads it (a record read whole).
    static MftRecBufferPtr ForFilling(size_t size) { return Make(size, false); }

private:
    // The bytes are a block of their own: one with the buffer would be just
    // past the size the C library's allocator recycles fastest for a 1 KiB
    // record, which costs a volume that reads record after record more than
    // the block it saves.
    static MftRecBufferPtr Make(size_t size, bool zeroed) {
        auto buffer = std::make_shared<CMftRecBuffer>();
        buffer->m_storage = zeroed ? std::make_unique<uint8_t[]>(size) : std::make_unique_for_overwrite<uint8_t[]>(size);
        buffer->bytes = std::span<uint8_t>(buffer->m_storage.get(), size);
        return buffer;
    }

    std::unique_ptr<uint8_t[]> m_storage;
};

}  // namespace volcore
