#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace volcore {

struct CMftRecBuffer;
using MftRecBufferPtr = std::shared_ptr<CMftRecBuffer>;

// One MFT record in memory (exactly the volume's record size), shared between
// the MFT and file entries. No dirty flag and no record number: writing is an
// explicit call with the reference. The buffer, its bytes and the pointer's
// count are one allocation: every record a visit reads makes one.
struct CMftRecBuffer {
    std::span<uint8_t> bytes;

    // Every byte zero: a record is built in it.
    static MftRecBufferPtr Zeroed(size_t size) { return Make(size, true); }
    // The bytes left as the allocator gave them: for a caller that fills
    // every one of them before anything reads it (a record read whole).
    static MftRecBufferPtr ForFilling(size_t size) { return Make(size, false); }

private:
    static MftRecBufferPtr Make(size_t size, bool zeroed) {
        using Word = uint64_t;
        constexpr size_t kHeadWords = (sizeof(CMftRecBuffer) + sizeof(Word) - 1) / sizeof(Word);
        const size_t words = kHeadWords + (size + sizeof(Word) - 1) / sizeof(Word);
        std::shared_ptr<Word[]> block =
            zeroed ? std::make_shared<Word[]>(words) : std::make_shared_for_overwrite<Word[]>(words);
        auto* storage = reinterpret_cast<uint8_t*>(block.get());
        // A span alone: nothing to destroy when the words go.
        auto* buffer = ::new (storage) CMftRecBuffer{{storage + kHeadWords * sizeof(Word), size}};
        return MftRecBufferPtr(std::move(block), buffer);
    }
};

}  // namespace volcore
