#pragma once
// Files Windows compressed with its system compression ("Compact OS", the WOF
// file provider): the unnamed $DATA only carries the size, a reparse point
// names the algorithm, and the named stream WofCompressedData holds a table
// of chunk end offsets followed by the chunks, each compressed alone (XPRESS
// with Huffman coding or LZX) or stored as it is.
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/RecordFormat.h"
#include "entries/Attribute.h"

namespace volcore {

class CFileEntry;

// The reparse point's data: the WOF header, then the file provider's part.
namespace WofReparse {
inline constexpr uint32_t Tag = 0x80000017;
inline constexpr size_t Version = 0;
inline constexpr size_t Provider = 4;
inline constexpr size_t ProviderVersion = 8;
inline constexpr size_t Algorithm = 12;
inline constexpr size_t Size = 20;
inline constexpr uint32_t ProviderWim = 1;
inline constexpr uint32_t ProviderFile = 2;
}  // namespace WofReparse

inline constexpr char16_t kWofStreamName[] = u"WofCompressedData";

// The WofCompressedData stream, read through whichever layer holds the file.
class IWofStream {
public:
    virtual ~IWofStream() = default;
    virtual uint64_t Size() const = 0;
    // Reads [offset, offset + size) of the stream; raises when it cannot.
    virtual void Read(uint64_t offset, uint8_t* out, uint32_t size) const = 0;
};

class CSystemCompressedData {
public:
    // How much of the reparse point's value the reader looks at.
    static constexpr size_t kReparseBytes = ReparseValue::Data + WofReparse::Size;

    // Null unless the entry carries the WOF reparse tag. Nothing else is
    // checked here: an entry that cannot be read still opens, and its reads fail.
    static std::unique_ptr<CSystemCompressedData> Recognise(const CFileEntry& entry, AttributePtr data);
    // The file of record `record`, `size` bytes uncompressed, whose reparse
    // point's value begins with `reparse` (kReparseBytes of it suffice);
    // `stream` is null when the file has no WofCompressedData. Checked at the
    // first read.
    CSystemCompressedData(uint64_t record, std::vector<uint8_t> reparse, uint64_t size, std::unique_ptr<IWofStream> stream);

    // Reads [offset, offset + size), which lies inside the data size.
    void Read(uint64_t offset, uint8_t* out, uint32_t size) const;

private:
    enum class EAlgorithm : uint32_t { Xpress4K = 0, Lzx = 1, Xpress8K = 2, Xpress16K = 3 };

    // Checks the reparse data and finds the stream, once.
    void Prepare() const;
    const std::vector<uint8_t>& Chunk(uint64_t index) const;
    uint64_t TableEntry(uint64_t index) const;

    uint64_t m_record;
    std::vector<uint8_t> m_reparse;
    uint64_t m_size;
    std::unique_ptr<IWofStream> m_stream;  // null when the file has none
    mutable bool m_prepared = false;
    mutable EAlgorithm m_algorithm = EAlgorithm::Xpress4K;
    mutable uint32_t m_chunkSize = 0;
    mutable uint64_t m_chunkCount = 0;
    mutable uint32_t m_entryWidth = 4;
    mutable uint64_t m_tableBytes = 0;
    // The last chunk read, decompressed.
    mutable uint64_t m_cachedChunk = ~uint64_t{0};
    mutable std::vector<uint8_t> m_chunkCache;
};

}  // namespace volcore
