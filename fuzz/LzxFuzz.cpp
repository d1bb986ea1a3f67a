// The input is a chunk size and an LZX stream (bounds above 32 KiB are refused): it decodes to
// exactly that many bytes or is refused as corrupt, within its buffers.
#include "CodecInput.h"
#include "base/Exception.h"
#include "codec/Lzx.h"

using namespace volcore;
using namespace volcore::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SCodecInput input;
    if (!SplitCodecInput(data, size, input)) return 0;
    std::vector<uint8_t> out(input.outputSize);
    try {
        LzxDecompress(input.stream, out);
    } catch (const CException&) {
    }
    return 0;
}
