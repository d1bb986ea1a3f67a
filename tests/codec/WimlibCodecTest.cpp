// XPRESS and LZX streams written by wimlib's compressors, decoded by the engine.
#include <gtest/gtest.h>

#include "codec/Lzx.h"
#include "codec/Samples.h"
#include "codec/Xpress.h"
#include "support/WimCompressor.h"

using namespace volcore;
using namespace volcore::test;

namespace {

void Decompress(WimCodec codec, std::span<const uint8_t> stream, std::span<uint8_t> out) {
    if (codec == WimCodec::Xpress) XpressHuffmanDecompress(stream, out);
    else LzxDecompress(stream, out);
}

struct CodecCase {
    WimCodec codec;
    size_t chunk;
    const char* name;
};

const CodecCase kCodecs[] = {{WimCodec::Xpress, 4096, "XPRESS 4K"},
                             {WimCodec::Xpress, 8192, "XPRESS 8K"},
                             {WimCodec::Xpress, 16384, "XPRESS 16K"},
                             {WimCodec::Lzx, 32768, "LZX"}};

}  // namespace

TEST(WimlibCodecs, DecodeWhatWimlibCompressed) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    for (const CodecCase& codec : kCodecs) {
        const WimCompressor compressor(codec.codec, codec.chunk);
        // Whole chunks, and the short last chunk a file's end leaves.
        for (size_t size : {codec.chunk, codec.chunk - 1, codec.chunk / 2 + 3, size_t{300}}) {
            size_t compressed = 0;
            for (const Sample& sample : Samples(size)) {
                const auto stream = compressor.Compress(sample.bytes);
                if (!stream) continue;  // stored as it is in a file
                ++compressed;
                std::vector<uint8_t> out(size, 0xCC);
                ASSERT_NO_THROW(Decompress(codec.codec, *stream, out)) << codec.name << " " << sample.name << " " << size;
                EXPECT_EQ(out, sample.bytes) << codec.name << " " << sample.name << " " << size;
            }
            EXPECT_GE(compressed, size > 300 ? 3u : 1u) << codec.name << " " << size;
        }
    }
}

// Damaged streams are refused or decode to wrong bytes, never read or write
// outside their buffers (the sanitizer build and the fuzz targets check that).
TEST(WimlibCodecs, RefuseCutAndDamagedStreams) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    for (const CodecCase& codec : kCodecs) {
        const WimCompressor compressor(codec.codec, codec.chunk);
        const std::vector<uint8_t> text = TextSample(codec.chunk, 8);
        const std::vector<uint8_t> stream = *compressor.Compress(text);
        std::vector<uint8_t> out(text.size());
        for (size_t cut : {size_t{0}, size_t{1}, size_t{100}, stream.size() / 2}) {
            EXPECT_THROW(Decompress(codec.codec, std::span(stream).first(cut), out), CException) << codec.name << " " << cut;
        }
        size_t refused = 0;
        for (size_t at = 0; at < stream.size(); at += 7) {
            std::vector<uint8_t> damaged = stream;
            damaged[at] ^= 0x5A;
            try {
                Decompress(codec.codec, damaged, out);
            } catch (const CException& failure) {
                EXPECT_EQ(failure.Kind(), EErrorKind::Corrupt);
                ++refused;
            }
        }
        EXPECT_GT(refused, 0u) << codec.name;
    }
}
