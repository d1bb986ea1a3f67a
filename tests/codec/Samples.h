#pragma once
// Inputs for the codec tests: the kinds of data compressed files hold.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/Images.h"

namespace volcore::test {

// Words and counters: compresses well, with matches at every distance.
inline std::vector<uint8_t> TextSample(size_t size, uint32_t seed) {
    static const char* const words[] = {"volume ", "cluster ", "record ", "index ", "the ", "of ", "\n"};
    std::string text;
    for (uint32_t state = seed * 2654435761u + 7; text.size() < size;) {
        state = state * 1103515245u + 12345u;
        text += words[(state >> 16) % 7];
        if ((state >> 8) % 7 == 0) text += std::to_string(state % 100000) + ' ';
    }
    return std::vector<uint8_t>(text.begin(), text.begin() + static_cast<long>(size));
}

// Machine code full of 0xE8 calls: this test program's own bytes (text where there is no /proc).
inline std::vector<uint8_t> CodeSample(size_t size) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < 4096 + size) return TextSample(size, 99);
    return std::vector<uint8_t>(bytes.begin() + 4096, bytes.begin() + 4096 + static_cast<long>(size));
}

// Compressible, incompressible, uniform, code, and text with noise in its middle third.
inline std::vector<std::vector<uint8_t>> Samples(size_t size) {
    std::vector<uint8_t> mixed = TextSample(size, 3), noise = Pattern(size / 3, 11);
    std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(size / 3));
    return {TextSample(size, 1), Pattern(size, 2), std::vector<uint8_t>(size, 0), CodeSample(size), mixed};
}

}  // namespace volcore::test
