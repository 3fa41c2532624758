// Sample rates of the stand-in server as exact fractions, and the sample-index arithmetic built
// on them.
//
// A rate is p samples every q seconds (both positive, at most 32767 so that the rate travels
// unchanged in the 16-bit factor and multiplier of a packet header). Sample k of a stream whose
// origin is t0 lies at t0 + k * q / p seconds, with k * q / p computed as one exact integer
// divided once in double precision: for the synthetic streams t0 is 0, so sample k is at k / rate
// seconds since 1970 to the last bit a double can hold.
#pragma once

#include <cstdint>
#include <string>

namespace isisim {

struct SimRate {
    int32_t p = 1;  // samples ...
    int32_t q = 1;  // ... every q seconds
};

inline constexpr int32_t kMaxRateTerm = 32767;

// Parses "20", "0.1", "2.5" (a decimal) or "1/30" (a fraction) into a reduced rate. False with a
// reason in error when the text is no positive rate or needs a term above 32767.
bool simParseRate(const std::string& text, SimRate* rate, std::string* error);

// The closest rate whose terms fit 16 bits, for rates read from miniSEED records. False when
// none comes within a millionth of it (above 32767 samples per second, for one).
bool simRateFromDouble(double samplesPerSecond, SimRate* rate);

// The factor and multiplier of the packet header that give this rate back: p/1 -> (p, 1),
// 1/q -> (-q, 1), p/q -> (p, q), whose interval is q / p seconds.
void simRateToFactorMultiplier(SimRate rate, int16_t* factor, int16_t* multiplier);

double simRateInterval(SimRate rate);   // seconds between samples
double simRatePerSecond(SimRate rate);  // samples per second
std::string simRateText(SimRate rate);  // "%g" of samples per second

// Time of sample k counted from origin t0.
double simSampleTime(SimRate rate, double t0, int64_t k);

// The first index whose sample lies at or after t, and the last at or before t. A sample within
// a hundredth of an interval (at least a microsecond) of t counts as lying on it, so that a
// client's "last sample time plus one interval" finds exactly the next sample despite rounding.
int64_t simIndexAtOrAfter(SimRate rate, double t0, double t);
int64_t simIndexAtOrBefore(SimRate rate, double t0, double t);

}  // namespace isisim
