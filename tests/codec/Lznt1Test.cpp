#include <gtest/gtest.h>

#include "codec/Lznt1.h"
#include "codec/Samples.h"

using namespace volcore;
using namespace volcore::test;

namespace {

std::vector<uint8_t> Decode(const std::vector<uint8_t>& stream, size_t room) {
    std::vector<uint8_t> out(room);
    out.resize(Lznt1Decompress(stream, out));
    return out;
}

// A compressed chunk: `literals` bytes 'a', 'b', ... in all-literal groups, then a group with `token`.
std::vector<uint8_t> LiteralsThenToken(size_t literals, uint16_t token) {
    std::vector<uint8_t> chunk = {0, 0};
    for (size_t i = 0; i < literals; ++i) {
        if (i % 8 == 0) chunk.push_back(0x00);
        chunk.push_back(static_cast<uint8_t>('a' + i % 26));
    }
    chunk.insert(chunk.end(), {0x01, static_cast<uint8_t>(token), static_cast<uint8_t>(token >> 8)});
    const auto header = static_cast<uint16_t>(0xB000 | (chunk.size() - 3));
    chunk[0] = static_cast<uint8_t>(header);
    chunk[1] = static_cast<uint8_t>(header >> 8);
    return chunk;
}

}  // namespace

TEST(Lznt1, RoundTripsEveryKindOfDataAndSize) {
    for (size_t size : {size_t{1}, size_t{17}, size_t{4096}, size_t{4097}, size_t{65536}}) {
        const auto samples = Samples(size);
        for (size_t kind = 0; kind < samples.size(); ++kind) {
            const std::vector<uint8_t> stream = Lznt1Compress(samples[kind]);
            EXPECT_EQ(Decode(stream, 65536), samples[kind]) << kind << " " << size;
            EXPECT_TRUE(kind != 1 || stream.size() == size + 2 * ((size + 4095) / 4096)) << "noise is stored as it is";
            EXPECT_TRUE(kind != 0 || size < 65536 || stream.size() < size / 2) << "text shrinks";
        }
    }
}

// The displacement takes 4 bits up to 16 bytes into the chunk, one more each
// time the bytes produced pass a power of two; copies may overlap their source.
TEST(Lznt1, SplitsCopyTokensByThePositionInTheChunk) {
    const std::pair<size_t, unsigned> cases[] = {{8, 4}, {16, 4}, {24, 5}, {32, 5}, {40, 6}, {72, 7}, {2048, 11}, {2056, 12}};
    for (const auto& [literals, bits] : cases) {
        const size_t displacement = literals - 5, length = 9;
        const auto token = static_cast<uint16_t>(((displacement - 1) << (16 - bits)) | (length - 3));
        const std::vector<uint8_t> out = Decode(LiteralsThenToken(literals, token), 4096);
        ASSERT_EQ(out.size(), literals + length) << literals;
        for (size_t i = 0; i < length; ++i) EXPECT_EQ(out[literals + i], out[5 + i]) << literals;
    }
    const std::vector<uint8_t> run = Decode(LiteralsThenToken(8, 9), 4096);
    EXPECT_EQ(std::string(run.begin(), run.end()), "abcdefghhhhhhhhhhhhh");
}

TEST(Lznt1, RefusesDamagedStreams) {
    const std::vector<uint8_t> text = Lznt1Compress(TextSample(8192, 4));
    const std::pair<std::vector<uint8_t>, size_t> cases[] = {
        {LiteralsThenToken(0, 0), 4096},                                      // a token at the chunk start
        {LiteralsThenToken(8, static_cast<uint16_t>(8 << 12)), 4096},        // before the chunk start
        {LiteralsThenToken(8, 0x0FFF), 4096},                                // past 4096 bytes
        {std::vector<uint8_t>(text.begin(), text.begin() + 100), 65536},     // chunk past the input
        {text, 5000},                                                        // output too small
        {{0x01, 0x30, 1, 2}, 1},                                             // stored chunk too large
    };
    for (const auto& [stream, room] : cases) {
        std::vector<uint8_t> out(room);
        EXPECT_THROW(Lznt1Decompress(stream, out), CException) << stream.size() << " into " << room;
    }
}
