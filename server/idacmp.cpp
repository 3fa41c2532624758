#include "server/idacmp.h"

namespace isisim {

namespace {

constexpr uint8_t kSignBit = 0x01;
constexpr uint8_t kMoreBit = 0x80;
constexpr uint32_t kFirstByteBits = 6;
constexpr uint32_t kNextByteBits = 7;

inline size_t encodeValue(int32_t value, uint8_t* out) {
    // The magnitude of INT32_MIN is 2^31, which still fits the 32-bit unsigned form.
    uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
    uint8_t first = uint8_t(((magnitude & 0x3F) << 1) | (value < 0 ? kSignBit : 0));
    magnitude >>= kFirstByteBits;
    size_t n = 0;
    out[n++] = first;
    while (magnitude != 0) {
        out[n - 1] |= kMoreBit;
        out[n++] = uint8_t(magnitude & 0x7F);
        magnitude >>= kNextByteBits;
    }
    return n;
}

}  // namespace

size_t simEncodeIdacmp(const int32_t* samples, size_t count, uint8_t* out) {
    size_t used = 0;
    int32_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t value = i == 0 ? samples[0] : int32_t(uint32_t(samples[i]) - uint32_t(previous));
        used += encodeValue(value, out + used);
        previous = samples[i];
    }
    return used;
}

}  // namespace isisim
