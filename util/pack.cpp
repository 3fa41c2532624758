// Byte-order swaps and big-endian (network order) packing of the wire formats.
#include <cstring>

#include "util/util.h"

void utilSwap16(uint16_t* array, long count) {
    if (array == nullptr) return;
    for (long i = 0; i < count; ++i) array[i] = uint16_t((array[i] >> 8) | (array[i] << 8));
}

void utilSwap32(uint32_t* array, long count) {
    if (array == nullptr) return;
    for (long i = 0; i < count; ++i) array[i] = __builtin_bswap32(array[i]);
}

void utilSwap64(uint64_t* array, long count) {
    if (array == nullptr) return;
    for (long i = 0; i < count; ++i) array[i] = __builtin_bswap64(array[i]);
}

int utilPackUINT16(uint8_t* out, uint16_t value) {
    out[0] = uint8_t(value >> 8);
    out[1] = uint8_t(value);
    return 2;
}

int utilPackUINT32(uint8_t* out, uint32_t value) {
    out[0] = uint8_t(value >> 24);
    out[1] = uint8_t(value >> 16);
    out[2] = uint8_t(value >> 8);
    out[3] = uint8_t(value);
    return 4;
}

int utilPackINT16(uint8_t* out, int16_t value) {
    return utilPackUINT16(out, uint16_t(value));
}

int utilPackINT32(uint8_t* out, int32_t value) {
    return utilPackUINT32(out, uint32_t(value));
}

int utilPackUINT64(uint8_t* out, uint64_t value) {
    utilPackUINT32(out, uint32_t(value >> 32));
    utilPackUINT32(out + 4, uint32_t(value));
    return 8;
}

// Reals travel as their IEEE bits, most significant byte first.
int utilPackREAL32(uint8_t* out, REAL32 value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return utilPackUINT32(out, bits);
}

int utilPackREAL64(uint8_t* out, REAL64 value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return utilPackUINT64(out, bits);
}

int utilPackBytes(uint8_t* out, const uint8_t* in, int len) {
    if (len <= 0) return 0;
    std::memcpy(out, in, size_t(len));
    return len;
}

int utilUnpackUINT16(const uint8_t* in, uint16_t* value) {
    *value = uint16_t((in[0] << 8) | in[1]);
    return 2;
}

int utilUnpackUINT32(const uint8_t* in, uint32_t* value) {
    *value = (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) |
             uint32_t(in[3]);
    return 4;
}

int utilUnpackINT16(const uint8_t* in, int16_t* value) {
    uint16_t u = 0;
    utilUnpackUINT16(in, &u);
    *value = int16_t(u);
    return 2;
}

int utilUnpackINT32(const uint8_t* in, int32_t* value) {
    uint32_t u = 0;
    utilUnpackUINT32(in, &u);
    *value = int32_t(u);
    return 4;
}

int utilUnpackUINT64(const uint8_t* in, uint64_t* value) {
    uint32_t hi = 0;
    uint32_t lo = 0;
    utilUnpackUINT32(in, &hi);
    utilUnpackUINT32(in + 4, &lo);
    *value = (uint64_t(hi) << 32) | lo;
    return 8;
}

int utilUnpackREAL32(const uint8_t* in, REAL32* value) {
    uint32_t bits = 0;
    utilUnpackUINT32(in, &bits);
    std::memcpy(value, &bits, sizeof bits);
    return 4;
}

int utilUnpackREAL64(const uint8_t* in, REAL64* value) {
    uint64_t bits = 0;
    utilUnpackUINT64(in, &bits);
    std::memcpy(value, &bits, sizeof bits);
    return 8;
}

int utilUnpackBytes(const uint8_t* in, uint8_t* out, int len) {
    if (len <= 0) return 0;
    std::memcpy(out, in, size_t(len));
    return len;
}
