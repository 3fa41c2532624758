// The synthetic samples of the stand-in server: a fixed function of the stream name and the
// absolute sample index, so any client can recompute every sample it receives.
//
//   h      = FNV-1a 64-bit hash of the 12-byte wire stream name (station 7, channel 3,
//            location 2, each NUL-padded; a stream without location has "  ")
//   r      = splitmix64(h XOR k)                 (k: absolute index, two's complement 64 bits)
//   b      = 5 if top byte of r < 128, 12 if < 192, 19 if < 232, 26 if < 250, else 31
//   sample = (r AND (2^b - 1)) - 2^(b-1)
//
// splitmix64(x): z = x + 0x9E3779B97F4A7C15; z = (z XOR z>>30) * 0xBF58476D1CE4E5B9;
//                z = (z XOR z>>27) * 0x94D049BB133111EB; return z XOR z>>31.
//
// Samples thus lie in [-2^30, 2^30), so every difference fits 32 bits, and the mix of widths
// (half small, now and then a jump of 2^30) makes every length of difference code, from one byte
// to five, turn up in any packet of a few dozen samples.
#pragma once

#include <cstdint>

#include "isi/isi.h"

namespace isisim {

uint64_t simStreamHash(const ISI_STREAM_ID& name);
// The hash of a stream named by its codes as text: station, channel and location ("", blanks or
// "??" for none). Codes longer than the wire allows are cut, as a request would cut them.
uint64_t simStreamHashOf(const char* station, const char* channel, const char* location);
int32_t simSyntheticSample(uint64_t streamHash, int64_t k);
// Samples k .. k+count-1 into out.
void simSyntheticSamples(uint64_t streamHash, int64_t k, int count, int32_t* out);

}  // namespace isisim
