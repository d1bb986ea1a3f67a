#pragma once
// Inputs for the codec tests: the kinds of data compressed files hold.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/Images.h"

namespace volcore::test {

// Text of repeated words and counters: compresses well, with matches at every distance.
inline std::vector<uint8_t> TextSample(size_t size, uint32_t seed) {
    static const char* const words[] = {"volume ", "cluster ", "record ", "index ", "stream ",
                                        "the ", "of ", "and ", "\n", "compression unit "};
    std::vector<uint8_t> bytes;
    uint32_t state = seed * 2654435761u + 7;
    while (bytes.size() < size) {
        state = state * 1103515245u + 12345u;
        std::string piece = words[(state >> 16) % 10];
        if ((state >> 8) % 7 == 0) piece += std::to_string(state % 100000) + ' ';
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    }
    bytes.resize(size);
    return bytes;
}

// Machine code, full of 0xE8 call instructions: the bytes of this test program.
inline std::vector<uint8_t> CodeSample(size_t size, size_t skip = 4096) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < skip + size) bytes = TextSample(skip + size, 99);  // no /proc: still a sample
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(skip), bytes.begin() + static_cast<long>(skip + size));
}

struct Sample {
    const char* name;
    std::vector<uint8_t> bytes;
};

// Compressible, incompressible, uniform and mixed data of `size` bytes.
inline std::vector<Sample> Samples(size_t size) {
    std::vector<uint8_t> mixed = TextSample(size, 3);
    const std::vector<uint8_t> noise = Pattern(size / 3, 11);
    std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(size / 3));
    return {{"text", TextSample(size, 1)},
            {"random", Pattern(size, 2)},
            {"zeros", std::vector<uint8_t>(size, 0)},
            {"code", CodeSample(size)},
            {"mixed", mixed}};
}

}  // namespace volcore::test
