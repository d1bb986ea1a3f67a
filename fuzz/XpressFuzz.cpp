// The input is a chunk size and a XPRESS stream (at most 64 KiB): it decodes to
// exactly that many bytes or is refused as corrupt, within its buffers.
#include "CodecInput.h"
#include "base/Exception.h"
#include "codec/Xpress.h"

using namespace volcore;
using namespace volcore::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SCodecInput input;
    if (!SplitCodecInput(data, size, input)) return 0;
    std::vector<uint8_t> out(input.outputSize);
    try {
        XpressHuffmanDecompress(input.stream, out);
    } catch (const CException&) {
    }
    return 0;
}
