#include "codec/Lznt1.h"

#include <algorithm>
#include <array>

#include "codec/CodecError.h"

namespace volcore {
namespace {

constexpr const char* Codec = "LZNT1";
constexpr uint16_t HeaderCompressed = 0x8000;
constexpr uint16_t HeaderSignature = 0x3000;
constexpr uint16_t HeaderSizeMask = 0x0FFF;
constexpr uint32_t MinMatch = 3;

// Bits of a copy token's displacement once `produced` bytes of the chunk exist.
unsigned DisplacementBits(size_t produced) {
    unsigned bits = 4;
    while ((size_t{1} << bits) < produced) ++bits;
    return bits;
}

// Decodes one compressed chunk body into `output`; returns the bytes produced.
size_t DecodeChunk(std::span<const uint8_t> body, std::span<uint8_t> output) {
    const size_t limit = std::min<size_t>(output.size(), Lznt1ChunkSize);
    size_t in = 0, out = 0;
    while (in < body.size()) {
        uint8_t flags = body[in++];
        for (int item = 0; item < 8 && in < body.size(); ++item, flags >>= 1) {
            if ((flags & 1) == 0) {
                if (out >= limit) ThrowCorruptStream(Codec, "chunk longer than %1 bytes", limit);
                output[out++] = body[in++];
                continue;
            }
            if (in + 2 > body.size()) ThrowCorruptStream(Codec, "copy token cut off at chunk end");
            const uint16_t token = static_cast<uint16_t>(body[in] | (body[in + 1] << 8));
            in += 2;
            if (out == 0) ThrowCorruptStream(Codec, "copy token at the start of a chunk");
            const unsigned bits = DisplacementBits(out);
            const size_t displacement = (token >> (16 - bits)) + size_t{1};
            const size_t length = (token & ((1u << (16 - bits)) - 1)) + size_t{MinMatch};
            if (displacement > out) ThrowCorruptStream(Codec, "copy token reaches %1 bytes before the chunk", displacement - out);
            if (length > limit - out) ThrowCorruptStream(Codec, "copy token runs past the chunk");
            for (size_t i = 0; i < length; ++i, ++out) output[out] = output[out - displacement];
        }
    }
    return out;
}

}  // namespace

size_t Lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output) {
    size_t in = 0, out = 0;
    while (in + 2 <= input.size()) {
        const uint16_t header = static_cast<uint16_t>(input[in] | (input[in + 1] << 8));
        if (header == 0) break;
        const size_t stored = (header & HeaderSizeMask) + size_t{3};
        if (stored > input.size() - in) ThrowCorruptStream(Codec, "chunk of %1 bytes runs past the unit", stored);
        const auto body = input.subspan(in + 2, stored - 2);
        const auto room = output.subspan(out);
        if (header & HeaderCompressed) {
            out += DecodeChunk(body, room);
        } else {
            if (body.size() > std::min<size_t>(room.size(), Lznt1ChunkSize))
                ThrowCorruptStream(Codec, "stored chunk of %1 bytes does not fit", body.size());
            std::copy(body.begin(), body.end(), room.begin());
            out += body.size();
        }
        in += stored;
    }
    return out;
}

namespace {

// Greedy LZ77 over one chunk with hash chains of bounded depth.
class CChunkEncoder {
public:
    explicit CChunkEncoder(std::span<const uint8_t> chunk) : m_chunk(chunk) { m_head.fill(-1); }

    std::vector<uint8_t> Encode() {
        std::vector<uint8_t> body;
        size_t pos = 0;
        while (pos < m_chunk.size()) {
            const size_t flagAt = body.size();
            body.push_back(0);
            for (int item = 0; item < 8 && pos < m_chunk.size(); ++item) {
                size_t displacement = 0;
                const size_t length = LongestMatch(pos, displacement);
                if (length >= MinMatch) {
                    const unsigned bits = DisplacementBits(pos);
                    const uint16_t token = static_cast<uint16_t>(((displacement - 1) << (16 - bits)) | (length - MinMatch));
                    body[flagAt] |= static_cast<uint8_t>(1u << item);
                    body.push_back(static_cast<uint8_t>(token));
                    body.push_back(static_cast<uint8_t>(token >> 8));
                    for (size_t i = 0; i < length; ++i) Insert(pos + i);
                    pos += length;
                } else {
                    body.push_back(m_chunk[pos]);
                    Insert(pos++);
                }
            }
        }
        return body;
    }

private:
    static constexpr int ChainDepth = 64;

    size_t Hash(size_t pos) const {
        return ((m_chunk[pos] << 8) ^ (m_chunk[pos + 1] << 4) ^ m_chunk[pos + 2]) & (m_head.size() - 1);
    }
    void Insert(size_t pos) {
        if (pos + MinMatch > m_chunk.size()) return;
        const size_t hash = Hash(pos);
        m_previous[pos] = m_head[hash];
        m_head[hash] = static_cast<int16_t>(pos);
    }
    size_t LongestMatch(size_t pos, size_t& displacement) const {
        if (pos == 0 || pos + MinMatch > m_chunk.size()) return 0;
        const unsigned bits = DisplacementBits(pos);
        const size_t maxLength = std::min<size_t>((size_t{1} << (16 - bits)) - 1 + MinMatch, m_chunk.size() - pos);
        size_t best = 0;
        int candidate = m_head[Hash(pos)];
        for (int depth = 0; candidate >= 0 && depth < ChainDepth; ++depth, candidate = m_previous[candidate]) {
            size_t length = 0;
            while (length < maxLength && m_chunk[candidate + length] == m_chunk[pos + length]) ++length;
            if (length > best) {
                best = length;
                displacement = pos - static_cast<size_t>(candidate);
                if (length == maxLength) break;
            }
        }
        return best;
    }

    std::span<const uint8_t> m_chunk;
    std::array<int16_t, 4096> m_head;
    std::array<int16_t, Lznt1ChunkSize> m_previous{};
};

}  // namespace

std::vector<uint8_t> Lznt1Compress(std::span<const uint8_t> input) {
    std::vector<uint8_t> stream;
    for (size_t start = 0; start < input.size(); start += Lznt1ChunkSize) {
        const auto chunk = input.subspan(start, std::min<size_t>(Lznt1ChunkSize, input.size() - start));
        std::vector<uint8_t> body = CChunkEncoder(chunk).Encode();
        uint16_t header = HeaderSignature;
        if (body.size() < chunk.size()) {
            header |= HeaderCompressed;
        } else {
            body.assign(chunk.begin(), chunk.end());
        }
        header |= static_cast<uint16_t>(body.size() + 2 - 3);
        stream.push_back(static_cast<uint8_t>(header));
        stream.push_back(static_cast<uint8_t>(header >> 8));
        stream.insert(stream.end(), body.begin(), body.end());
    }
    return stream;
}

}  // namespace volcore
