// The ISI difference compression ("idacmp") decoder.
//
// One value is coded in 1 to 5 bytes. First byte: bit 0 sign (1 = negative), bits 1..6 the six
// lowest magnitude bits, bit 7 "another byte follows". Each following byte: bits 0..6 the next
// seven magnitude bits (at magnitude bit 6, 13, 20, 27), bit 7 "another byte follows". The first
// value is the first sample, every later value the difference from the previous sample. Sums
// wrap at 32 bits, so a difference of up to 2^32 - 1 in magnitude (34 bits coded) round-trips.
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr uint64_t kContinuationBits = 0x8080808080808080ull;
constexpr int kWordBytes = 8;
constexpr unsigned kMaxCodeBits = 8 * ISI_IDACMP_MAX_CODE_LEN;
constexpr uint64_t kSevenBitGroups = 0x7F7F7F7F7Full;

// The signed value of one code of up to five bytes (code bytes in the low bytes, first byte
// lowest): the seven data bits of each byte are packed together, which puts the sign in bit 0
// and the magnitude above it. Returned as the 32-bit two's complement addend.
inline uint32_t codeValue(uint64_t code) {
    uint64_t x = code & kSevenBitGroups;
    x = (x & 0x007F007F007Full) | ((x & 0x7F007F007F00ull) >> 1);
    x = (x & 0x0000'3FFF'0000'3FFFull) | ((x & 0x3FFF'0000'3FFF'0000ull) >> 2);
    x = (x & 0x0FFF'FFFFull) | ((x >> 4) & ~0x0FFF'FFFFull);
    uint32_t magnitude = static_cast<uint32_t>(x >> 1);
    uint32_t mask = 0u - static_cast<uint32_t>(x & 1);
    return (magnitude ^ mask) - mask;
}

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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ISI_IDACMP_HAVE_BMI2_PATH 1

// A block of input whose code ends are found at once: one bit per byte, set where bit 7 is
// clear. Walking from end to end is then a bit-clear per code, so successive codes no longer
// wait for each other's loads, and the loop mispredicts about once per block, not per code.
constexpr size_t kBlockBytes = 64;

// Seven-bit data groups of a code of 0..5 bytes.
constexpr uint64_t kGroupsOfLength[ISI_IDACMP_MAX_CODE_LEN + 1] = {
    0, 0x7Full, 0x7F7Full, 0x7F7F7Full, 0x7F7F7F7Full, 0x7F7F7F7F7Full};

__attribute__((target("sse2"))) inline uint64_t continuationMask(const uint8_t* block) {
    uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
        mask |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(bytes)))
                << (16 * part);
    }
    return mask;
}

// The fast path on processors with BMI2: decodes while a whole block and the word after its
// last code start are readable. Returns how many samples it decoded and advances *pos and
// *sample; stops where the checked path has to take over.
__attribute__((target("bmi,bmi2,sse2"))) uint32_t decodeBlocksBmi2(const uint8_t* in, size_t inlen,
                                                                   uint32_t nsamp, int32_t* out,
                                                                   size_t* pos, uint32_t* sample) {
    uint32_t i = 0;
    size_t at = *pos;
    uint32_t running = *sample;
    while (i < nsamp && at + kBlockBytes + kWordBytes <= inlen) {
        const uint8_t* block = in + at;
        uint64_t ends = ~continuationMask(block);
        if (ends == 0) break;  // 64 continuation bytes: malformed, the checked path says so
        unsigned start = 0;    // byte of the block where the current code begins
        bool tooLong = false;
        do {
            unsigned last = static_cast<unsigned>(__builtin_ctzll(ends));
            unsigned length = last - start + 1;
            if (length > static_cast<unsigned>(ISI_IDACMP_MAX_CODE_LEN)) {
                tooLong = true;
                break;
            }
            // Data bits gathered: sign in bit 0, magnitude above it.
            uint64_t bits = _pext_u64(loadLittleEndian64(block + start), kGroupsOfLength[length]);
            running = applyValue(running, static_cast<uint32_t>(bits >> 1),
                                 static_cast<uint32_t>(bits & 1));
            out[i++] = static_cast<int32_t>(running);
            start = last + 1;
            ends &= ends - 1;
        } while (ends != 0 && i < nsamp);
        at += start;
        if (tooLong) break;
    }
    *pos = at;
    *sample = running;
    return i;
}

bool haveBmi2() {
    static const bool have = __builtin_cpu_supports("bmi2");
    return have;
}
#endif

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

#ifdef ISI_IDACMP_HAVE_BMI2_PATH
    if (haveBmi2()) i = decodeBlocksBmi2(in, inlen, nsamp, out, &pos, &sample);
#endif

    // Portable fast path while a whole 8-byte word is readable: one load gives every code that
    // ends in the word, so the walk from code to code is bit arithmetic on a register.
    while (i < nsamp && pos + kWordBytes <= inlen) {
        uint64_t word = loadLittleEndian64(in + pos);
        uint64_t ends = ~word & kContinuationBits;
        if (ends == 0) break;  // eight continuation bytes: malformed, the checked path says so
        unsigned start = 0;    // bit offset of the current code in word
        bool tooLong = false;
        do {
            unsigned stop = static_cast<unsigned>(std::countr_zero(ends)) + 1;
            unsigned bits = stop - start;
            if (bits > kMaxCodeBits) {
                tooLong = true;
                break;
            }
            uint64_t code = (word >> start) & (~0ull >> (64 - bits));
            sample += codeValue(code);
            out[i++] = static_cast<int32_t>(sample);
            start = stop;
            ends &= ends - 1;
        } while (ends != 0 && i < nsamp);
        pos += start / 8;
        if (tooLong) break;
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
