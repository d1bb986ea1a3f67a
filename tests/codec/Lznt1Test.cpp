#include <gtest/gtest.h>

#include "codec/Lznt1.h"
#include "codec/Samples.h"
#include "support/Images.h"

using namespace volcore;
using namespace volcore::test;

namespace {

std::vector<uint8_t> Decode(const std::vector<uint8_t>& stream, size_t room) {
    std::vector<uint8_t> out(room, 0xCC);
    out.resize(Lznt1Decompress(stream, out));
    return out;
}

// A compressed chunk with `body` after its header.
std::vector<uint8_t> Chunk(const std::vector<uint8_t>& body) {
    const uint16_t header = static_cast<uint16_t>(0xB000 | (body.size() + 2 - 3));
    std::vector<uint8_t> chunk = {static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8)};
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

// `count` literals from 'a' on, in groups behind all-literal flag bytes, then a
// group whose first item is `token`.
std::vector<uint8_t> LiteralsThenToken(size_t count, uint16_t token) {
    std::vector<uint8_t> body;
    for (size_t i = 0; i < count; ++i) {
        if (i % 8 == 0) body.push_back(0x00);
        body.push_back(static_cast<uint8_t>('a' + i));
    }
    if (count % 8 != 0) throw std::logic_error("whole groups only");
    body.push_back(0x01);
    body.push_back(static_cast<uint8_t>(token));
    body.push_back(static_cast<uint8_t>(token >> 8));
    return Chunk(body);
}

}  // namespace

TEST(Lznt1, RoundTripsEveryKindOfDataAndSize) {
    for (size_t size : {size_t{1}, size_t{3}, size_t{17}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{40000}, size_t{65536}}) {
        for (const Sample& sample : Samples(size)) {
            const std::vector<uint8_t> stream = Lznt1Compress(sample.bytes);
            EXPECT_EQ(Decode(stream, 65536), sample.bytes) << sample.name << " " << size;
            const size_t chunks = (size + Lznt1ChunkSize - 1) / Lznt1ChunkSize;
            if (std::string(sample.name) == "random") {
                EXPECT_EQ(stream.size(), size + 2 * chunks) << "incompressible chunks are stored as they are";
            } else if (std::string(sample.name) != "mixed" && size >= 4096) {
                EXPECT_LT(stream.size(), size / 2) << sample.name;
            }
        }
    }
}

// The copy token gives its displacement 4 bits up to 16 bytes into the chunk,
// then one bit more each time the bytes produced pass a power of two.
TEST(Lznt1, SplitsCopyTokensByThePositionInTheChunk) {
    struct Case {
        size_t literals;
        unsigned displacementBits;
    } cases[] = {{8, 4}, {16, 4}, {24, 5}, {32, 5}, {40, 6}, {64, 6}, {72, 7}, {2048, 11}, {2056, 12}};
    for (const Case& c : cases) {
        const size_t displacement = c.literals - 5, length = 4;
        const auto token = static_cast<uint16_t>(((displacement - 1) << (16 - c.displacementBits)) | (length - 3));
        const std::vector<uint8_t> out = Decode(LiteralsThenToken(c.literals, token), 4096);
        ASSERT_EQ(out.size(), c.literals + length) << c.literals;
        for (size_t i = 0; i < length; ++i) EXPECT_EQ(out[c.literals + i], out[5 + i]) << c.literals;
    }
}

TEST(Lznt1, OverlappingCopiesRepeatTheirSource) {
    const std::vector<uint8_t> out = Decode(LiteralsThenToken(8, static_cast<uint16_t>((0 << 12) | 9)), 4096);
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcdefghhhhhhhhhhhhh");
}

TEST(Lznt1, EndsAtAZeroHeaderAndKeepsStoredChunks) {
    std::vector<uint8_t> stored = {0xFF, 0x3F};
    const std::vector<uint8_t> raw = Pattern(4096, 5);
    stored.insert(stored.end(), raw.begin(), raw.end());
    std::vector<uint8_t> stream = stored;
    stream.insert(stream.end(), {0x00, 0x00, 0xB0, 0x00});  // a zero header, then anything
    EXPECT_EQ(Decode(stream, 65536), raw);
}

TEST(Lznt1, RefusesDamagedStreams) {
    const std::vector<uint8_t> text = Lznt1Compress(TextSample(8192, 4));
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        size_t room;
    } cases[] = {
        {"token at the chunk start", Chunk({0x01, 0x00, 0x00}), 4096},
        {"token before the chunk start", LiteralsThenToken(8, static_cast<uint16_t>(8 << 12)), 4096},
        {"token past 4096 bytes", LiteralsThenToken(8, 0x0FFF), 4096},
        {"token cut off", Chunk({0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x01, 0x05}), 4096},
        {"chunk past the input", std::vector<uint8_t>(text.begin(), text.begin() + 100), 65536},
        {"output too small", text, 5000},
        {"stored chunk too large", {0x01, 0x30, 1, 2}, 1},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out(c.room);
        try {
            Lznt1Decompress(c.stream, out);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const CException& failure) {
            EXPECT_EQ(failure.Kind(), EErrorKind::Corrupt) << c.what;
            EXPECT_NE(std::string(failure.what()).find("Corrupt LZNT1 data"), std::string::npos) << failure.what();
        }
    }
}
