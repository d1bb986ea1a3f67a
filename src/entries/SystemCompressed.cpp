#include "entries/SystemCompressed.h"

#include <algorithm>
#include <cstring>

#include "base/ContractTexts.h"
#include "base/Exception.h"
#include "codec/Lzx.h"
#include "codec/Xpress.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"

namespace volcore {
namespace {

constexpr uint64_t kWideTableFrom = 1ull << 32;  // files this large use 8-byte table entries

uint32_t ChunkSizeOf(uint32_t algorithm) {
    switch (algorithm) {
        case 0: return 4096;
        case 1: return 32768;
        case 2: return 8192;
        case 3: return 16384;
        default: return 0;
    }
}

class CAttributeStream final : public IWofStream {
public:
    explicit CAttributeStream(AttributePtr attribute) : m_attribute(std::move(attribute)) {}
    uint64_t Size() const override { return m_attribute->GetSize(); }
    void Read(uint64_t offset, uint8_t* out, uint32_t size) const override { m_attribute->ReadData(offset, out, size); }

private:
    AttributePtr m_attribute;
};

}  // namespace

std::unique_ptr<CSystemCompressedData> CSystemCompressedData::Recognise(const CFileEntry& entry, AttributePtr data) {
    AttributePtr reparse = entry.FindAttribute(AttrType::ReparsePoint);
    if (!reparse || !data || reparse->GetSize() < ReparseValue::DataLength) return nullptr;
    std::vector<uint8_t> value(std::min<uint64_t>(reparse->GetSize(), kReparseBytes));
    reparse->ReadData(ReparseValue::Tag, value.data(), static_cast<uint32_t>(value.size()));
    if (CByteReader(value).U32(ReparseValue::Tag) != WofReparse::Tag) return nullptr;
    AttributePtr stream = entry.FindAttribute(AttrType::Data, kWofStreamName);
    return std::make_unique<CSystemCompressedData>(RecordNumber(entry.GetReference()), std::move(value), data->GetSize(),
                                                   stream ? std::make_unique<CAttributeStream>(std::move(stream)) : nullptr);
}

CSystemCompressedData::CSystemCompressedData(uint64_t record, std::vector<uint8_t> reparse, uint64_t size,
                                             std::unique_ptr<IWofStream> stream)
    : m_record(record), m_reparse(std::move(reparse)), m_size(size), m_stream(std::move(stream)) {}

void CSystemCompressedData::Prepare() const {
    if (m_prepared) return;
    const uint64_t record = m_record;
    if (m_reparse.size() < kReparseBytes)
        throw CException(EErrorKind::Corrupt, "System-compressed file %1: its reparse point is too short", record);
    const CByteReader wof(m_reparse.data() + ReparseValue::Data, WofReparse::Size);
    const uint32_t provider = wof.U32(WofReparse::Provider);
    if (provider == WofReparse::ProviderWim)
        throw CException(EErrorKind::Unsupported,
                         "File %1 is backed by a WIM file (WIMBoot): its data lies outside the volume", record);
    if (wof.U32(WofReparse::Version) != 1 || provider != WofReparse::ProviderFile || wof.U32(WofReparse::ProviderVersion) != 1)
        throw CException(EErrorKind::Unsupported, "File %1 uses WOF version %2, provider %3 (version %4), which cannot be read",
                         record, wof.U32(WofReparse::Version), provider, wof.U32(WofReparse::ProviderVersion));
    const uint32_t algorithm = wof.U32(WofReparse::Algorithm);
    m_chunkSize = ChunkSizeOf(algorithm);
    if (m_chunkSize == 0)
        throw CException(EErrorKind::Unsupported, "System-compressed file %1 uses algorithm %2, which cannot be read", record,
                         algorithm);
    m_algorithm = static_cast<EAlgorithm>(algorithm);
    if (!m_stream)
        throw CException(EErrorKind::Corrupt, "System-compressed file %1 has no WofCompressedData stream", record);
    const uint64_t size = m_size;
    m_chunkCount = size / m_chunkSize + (size % m_chunkSize != 0);
    m_entryWidth = size >= kWideTableFrom ? 8 : 4;
    m_tableBytes = m_chunkCount == 0 ? 0 : (m_chunkCount - 1) * m_entryWidth;
    if (m_tableBytes > m_stream->Size())
        throw CException(EErrorKind::Corrupt, "System-compressed file %1: its chunk table runs past the stream", record);
    m_prepared = true;
}

// Where chunk `index` ends, counted from the end of the table.
uint64_t CSystemCompressedData::TableEntry(uint64_t index) const {
    if (index + 1 == m_chunkCount) return m_stream->Size() - m_tableBytes;
    uint8_t entry[8] = {};
    m_stream->Read(index * m_entryWidth, entry, m_entryWidth);
    return CByteReader(entry, sizeof(entry)).Le(0, m_entryWidth);
}

const std::vector<uint8_t>& CSystemCompressedData::Chunk(uint64_t index) const {
    if (index == m_cachedChunk) return m_chunkCache;
    m_cachedChunk = ~uint64_t{0};
    const uint64_t record = m_record;
    const uint64_t size = m_size;
    const uint64_t start = index == 0 ? 0 : TableEntry(index - 1);
    const uint64_t end = TableEntry(index);
    const uint64_t length = std::min<uint64_t>(m_chunkSize, size - index * m_chunkSize);
    if (start >= end || end > m_stream->Size() - m_tableBytes || end - start > length)
        throw CException(EErrorKind::Corrupt, "System-compressed file %1: chunk %2 lies at %3..%4 of its stream", record,
                         index, start, end);
    std::vector<uint8_t> stored(end - start);
    m_stream->Read(m_tableBytes + start, stored.data(), static_cast<uint32_t>(stored.size()));
    m_chunkCache.assign(length, 0);
    if (stored.size() == length) {
        m_chunkCache = std::move(stored);  // stored as it is
    } else {
        try {
            if (m_algorithm == EAlgorithm::Lzx) LzxDecompress(stored, m_chunkCache);
            else XpressHuffmanDecompress(stored, m_chunkCache);
        } catch (const CException& failure) {
            throw CException(EErrorKind::Corrupt, "System-compressed file %1, chunk %2: %3", record, index, failure.what());
        }
    }
    m_cachedChunk = index;
    return m_chunkCache;
}

void CSystemCompressedData::Read(uint64_t offset, uint8_t* out, uint32_t size) const {
    if (size == 0)
        throw CException(EErrorKind::Argument, ContractText::AttributeRange, "ReadData", offset, size, m_size);
    Prepare();
    for (uint64_t done = 0; done < size;) {
        const uint64_t position = offset + done;
        const std::vector<uint8_t>& chunk = Chunk(position / m_chunkSize);
        const uint64_t skip = position % m_chunkSize;
        const uint64_t piece = std::min<uint64_t>(chunk.size() - skip, size - done);
        std::memcpy(out + done, chunk.data() + skip, piece);
        done += piece;
    }
}

}  // namespace volcore
