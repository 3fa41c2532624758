// The ISI difference compression ("idacmp") decoder.
//
// One value is coded in 1 to 5 bytes. First byte: bit 0 sign (1 = negative), bits 1..6 the six
// lowest magnitude bits, bit 7 "another byte follows". Each following byte: bits 0..6 the next
// seven magnitude bits (at magnitude bit 6, 13, 20, 27), bit 7 "another byte follows". The first
// value is the first sample, every later value the difference from the previous sample. Sums
// wrap at 32 bits, so a difference of up to 2^32 - 1 in magnitude (34 bits coded) round-trips.
#include <bit>
#include <cstring>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr uint64_t kContinuationBits = 0x8080808080808080ull;
constexpr int kWordBytes = 8;

inline uint64_t loadLittleEndian64(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// Applies one coded magnitude and sign to the running sample (32-bit wrap-around).
inline uint32_t applyValue(uint32_t sample, uint32_t magnitude, uint32_t negative) {
    uint32_t mask = 0u - negative;
    return sample + ((magnitude ^ mask) - mask);
}

// Decodes one value with a bounds check on every byte. False when the input ends inside the
// code or the code is longer than five bytes.
inline bool decodeCheckedValue(const uint8_t* in, size_t inlen, size_t* pos, uint32_t* magnitude,
                               uint32_t* negative) {
    uint32_t byte = in[(*pos)++];
    *negative = byte & 1u;
    *magnitude = (byte >> 1) & 0x3Fu;
    unsigned shift = 6;
    for (int extra = 1; (byte & 0x80u) != 0; ++extra) {
        if (extra >= ISI_IDACMP_MAX_CODE_LEN || *pos >= inlen) return false;
        byte = in[(*pos)++];
        *magnitude |= (byte & 0x7Fu) << shift;
        shift += 7;
    }
    return true;
}

}  // namespace

/* isiDecodeIdacmp: true when nsamp values were decoded from in[0..inlen) into out; false with
 * WSAEMSGSIZE when the input ends early or holds a code longer than five bytes, WSAEINVAL when
 * a pointer is missing. */
bool isiDecodeIdacmp(const uint8_t* in, size_t inlen, uint32_t nsamp, int32_t* out, int32_t* last,
                     size_t* used) {
    if ((in == nullptr && inlen > 0) || (out == nullptr && nsamp > 0)) {
        platSetError(WSAEINVAL);
        return false;
    }
    // The first value is its own sample, which is the same as a difference from zero.
    uint32_t sample = 0;
    size_t pos = 0;
    uint32_t i = 0;

    // Fast path while a whole 8-byte word is readable: find the code length from the
    // continuation bits and gather the magnitude without branching on the data.
    while (i < nsamp && pos + kWordBytes <= inlen) {
        uint64_t word = loadLittleEndian64(in + pos);
        uint64_t ends = ~word & kContinuationBits;  // bytes whose bit 7 is clear end a code
        if (ends == 0) break;                       // no end in 8 bytes: malformed, see below
        unsigned length = (static_cast<unsigned>(std::countr_zero(ends)) >> 3) + 1;
        if (length > static_cast<unsigned>(ISI_IDACMP_MAX_CODE_LEN)) break;
        uint64_t code = word & (~0ull >> (64 - 8 * length));
        uint32_t magnitude = static_cast<uint32_t>(
            ((code >> 1) & 0x3F) | (((code >> 8) & 0x7F) << 6) | (((code >> 16) & 0x7F) << 13) |
            (((code >> 24) & 0x7F) << 20) | (((code >> 32) & 0x7F) << 27));
        sample = applyValue(sample, magnitude, static_cast<uint32_t>(code & 1));
        out[i++] = static_cast<int32_t>(sample);
        pos += length;
    }

    // The tail, and anything the fast path refused, one checked byte at a time.
    for (; i < nsamp; ++i) {
        uint32_t magnitude = 0, negative = 0;
        if (pos >= inlen || !decodeCheckedValue(in, inlen, &pos, &magnitude, &negative)) {
            platSetError(WSAEMSGSIZE);
            return false;
        }
        sample = applyValue(sample, magnitude, negative);
        out[i] = static_cast<int32_t>(sample);
    }
    if (last != nullptr) *last = static_cast<int32_t>(sample);
    if (used != nullptr) *used = pos;
    return true;
}
