// The encoder of the ISI difference compression ("idacmp"), the exact inverse of the client's
// isiDecodeIdacmp.
//
// Each value is coded in 1 to 5 bytes: the first byte holds the sign in bit 0, the six lowest
// magnitude bits in bits 1..6 and "more follows" in bit 7; each further byte seven more magnitude
// bits (bits 0..6) and "more follows" (bit 7). The first value of a packet is its first sample,
// each later value the 32-bit wrap-around difference from the sample before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace isisim {

// Worst case: five bytes a sample.
inline constexpr size_t kIdacmpMaxBytesPerSample = 5;

// Encodes count samples into out, which holds at least count * 5 bytes. Returns the bytes used.
size_t simEncodeIdacmp(const int32_t* samples, size_t count, uint8_t* out);

}  // namespace isisim
