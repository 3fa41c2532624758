// A reference encoder of the ISI difference compression for tests and benchmarks: written
// straight from the code layout, byte by byte, so that it checks the decoder rather than
// mirroring it.
#pragma once

#include <cstdint>
#include <vector>

namespace isitest {

// Appends the code of one signed value (magnitude up to 34 bits).
inline void appendIdacmpValue(int64_t value, std::vector<uint8_t>* out) {
    uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
    uint8_t first = static_cast<uint8_t>((value < 0 ? 1 : 0) | ((magnitude & 0x3F) << 1));
    magnitude >>= 6;
    if (magnitude != 0) first |= 0x80;
    out->push_back(first);
    while (magnitude != 0) {
        uint8_t next = static_cast<uint8_t>(magnitude & 0x7F);
        magnitude >>= 7;
        if (magnitude != 0) next |= 0x80;
        out->push_back(next);
    }
}

// The first sample as itself, every later one as the full (64-bit) difference.
inline std::vector<uint8_t> encodeIdacmp(const std::vector<int32_t>& samples) {
    std::vector<uint8_t> out;
    int64_t previous = 0;
    for (int32_t sample : samples) {
        appendIdacmpValue(static_cast<int64_t>(sample) - previous, &out);
        previous = sample;
    }
    return out;
}

}  // namespace isitest
