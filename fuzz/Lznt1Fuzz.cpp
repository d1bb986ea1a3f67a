// The input is a bound and an LZNT1 stream. Whatever decodes within the bound
// must compress and decode to the same bytes again.
#include "CodecInput.h"
#include "FuzzSupport.h"
#include "base/Exception.h"
#include "codec/Lznt1.h"

using namespace volcore;
using namespace volcore::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SCodecInput input;
    if (!SplitCodecInput(data, size, input)) return 0;
    std::vector<uint8_t> out(input.outputSize);
    try {
        out.resize(Lznt1Decompress(input.stream, out));
    } catch (const CException&) {
        return 0;
    }
    const std::vector<uint8_t> stream = Lznt1Compress(out);
    std::vector<uint8_t> again(out.size());
    try {
        again.resize(Lznt1Decompress(stream, again));
    } catch (const CException&) {
        Finding("our own LZNT1 stream is refused");
    }
    if (again != out) Finding("our own LZNT1 stream decodes to other bytes");
    return 0;
}
