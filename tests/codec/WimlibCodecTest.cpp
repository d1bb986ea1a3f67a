// XPRESS and LZX streams written by wimlib's compressors, decoded by the engine.
#include <gtest/gtest.h>

#include "codec/Lzx.h"
#include "codec/Samples.h"
#include "codec/Xpress.h"
#include "support/WimCompressor.h"

using namespace volcore;
using namespace volcore::test;

TEST(WimlibCodecs, DecodeWhatWimlibCompressedAndRefuseItCut) {
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    for (size_t chunk : {4096, 8192, 16384, 32768}) {
        const WimCompressor compressor(chunk == 32768 ? WimCodec::Lzx : WimCodec::Xpress, chunk);
        const auto decode = [&](std::span<const uint8_t> stream, std::span<uint8_t> out) {
            chunk == 32768 ? LzxDecompress(stream, out) : XpressHuffmanDecompress(stream, out);
        };
        for (size_t size : {chunk, chunk - 1, chunk / 2 + 3, size_t{300}}) {
            for (const auto& sample : Samples(size)) {
                const auto stream = compressor.Compress(sample);
                if (!stream) continue;  // a file stores such a chunk as it is
                std::vector<uint8_t> out(size);
                ASSERT_NO_THROW(decode(*stream, out)) << chunk << " " << size;
                EXPECT_EQ(out, sample) << chunk << " " << size;
                EXPECT_THROW(decode(std::span(*stream).first(stream->size() / 2), out), CException);
            }
        }
    }
}
