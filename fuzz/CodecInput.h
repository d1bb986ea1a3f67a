#pragma once
// The input of the codec targets: two bytes giving the size the stream must
// decode to, minus one (little-endian), then the compressed stream.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace volcore::fuzz {

struct SCodecInput {
    size_t outputSize = 0;
    std::span<const uint8_t> stream;
};

inline bool SplitCodecInput(const uint8_t* data, size_t size, SCodecInput& input) {
    if (size < 2) return false;
    input.outputSize = size_t{data[0]} + (size_t{data[1]} << 8) + 1;
    input.stream = std::span<const uint8_t>(data + 2, size - 2);
    return true;
}

inline std::vector<uint8_t> JoinCodecInput(size_t outputSize, std::span<const uint8_t> stream) {
    std::vector<uint8_t> input = {static_cast<uint8_t>(outputSize - 1), static_cast<uint8_t>((outputSize - 1) >> 8)};
    input.insert(input.end(), stream.begin(), stream.end());
    return input;
}

}  // namespace volcore::fuzz
