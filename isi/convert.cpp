// Decoding the time-series header and converting the samples into host order.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr uint32_t kNativeHeader60 = 60;
constexpr uint32_t kNativeHeader64 = 64;
// Type 12 packets whose native header has any of these bits in byte 56 are in a form the
// decoder cannot rebuild.
constexpr uint32_t kType12FlagsOffset = 56;
constexpr uint8_t kType12UnsupportedBits = 0x03 | 0x30;
constexpr uint32_t kDecodedSampleSize = 4;
constexpr uint32_t kMinConvertedBuffer = 4096;

constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

// Bytes a sample of data type takes, or 0 when the client does not size it.
uint32_t sampleSize(uint8_t datatype) {
    switch (datatype) {
        case ISI_TYPE_INT8:
            return 1;
        case ISI_TYPE_INT16:
            return 2;
        case ISI_TYPE_INT32:
            return 4;
        case ISI_TYPE_INT64:
            return 8;
        case ISI_TYPE_REAL32:
            return 4;
        case ISI_TYPE_REAL64:
            return 8;
        default:
            return 0;
    }
}

bool isNativeType(uint8_t datatype) {
    return datatype >= ISI_TYPE_NATIVE_FIRST && datatype <= ISI_TYPE_NATIVE_LAST;
}

// True when nsamp samples of a sized type fit in the packet's data bytes.
bool samplesFit(const ISI_TS_PACKET* packet) {
    uint64_t size = sampleSize(packet->datatype);
    return size == 0 || static_cast<uint64_t>(packet->nsamp) * size <= packet->nbytes;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ISI_CONVERT_HAVE_SSSE3_SWAP 1

// Reverses the bytes of whole 16-byte blocks of T values with one byte shuffle each (SSSE3);
// returns how many values it did, the rest is left to the caller.
template <typename T>
__attribute__((target("ssse3"))) uint32_t swapBlocksSsse3(uint8_t* data, uint32_t count) {
    constexpr uint32_t kBlock = 16;
    constexpr uint32_t kPerBlock = kBlock / sizeof(T);
    alignas(16) uint8_t order[kBlock];
    for (uint32_t i = 0; i < kBlock; ++i)
        order[i] = uint8_t(i - i % sizeof(T) + sizeof(T) - 1 - i % sizeof(T));
    const __m128i reverse = _mm_load_si128(reinterpret_cast<const __m128i*>(order));
    uint32_t i = 0;
    for (; i + kPerBlock <= count; i += kPerBlock) {
        auto* block = reinterpret_cast<__m128i*>(data + size_t(i) * sizeof(T));
        _mm_storeu_si128(block, _mm_shuffle_epi8(_mm_loadu_si128(block), reverse));
    }
    return i;
}

bool haveSsse3() {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
#endif

// Reverses the bytes of every width-byte value in place; data need not be aligned.
template <typename T>
void swapInPlace(uint8_t* data, uint32_t count) {
    uint32_t i = 0;
#ifdef ISI_CONVERT_HAVE_SSSE3_SWAP
    if (haveSsse3()) i = swapBlocksSsse3<T>(data, count);
#endif
    for (; i < count; ++i) {
        T value;
        std::memcpy(&value, data + size_t(i) * sizeof(T), sizeof(T));
        if constexpr (sizeof(T) == 2) value = __builtin_bswap16(value);
        if constexpr (sizeof(T) == 4) value = __builtin_bswap32(value);
        if constexpr (sizeof(T) == 8) value = __builtin_bswap64(value);
        std::memcpy(data + size_t(i) * sizeof(T), &value, sizeof(T));
    }
}

// Grows the converted packet's buffer to at least need bytes; it never shrinks. The buffer is
// never smaller than kMinConvertedBuffer, so a packet of no samples still owns (and later frees)
// what it was given.
bool CheckAllocation(ISI_TS_PACKET* packet, uint32_t need) {
    if (packet->nalloc >= need && packet->data != nullptr) return true;
    uint32_t size = need > kMinConvertedBuffer ? need : kMinConvertedBuffer;
    void* grown = std::realloc(packet->nalloc > 0 ? packet->data : nullptr, size);
    if (grown == nullptr) {
        platSetError(WSAENOBUFS);
        return false;
    }
    packet->data = static_cast<uint8_t*>(grown);
    packet->nalloc = size;
    return true;
}

// Length of the native header kept ahead of the decoded samples, or -1 when the data type
// cannot be decompressed.
int compressedHeaderLength(const ISI_TS_PACKET* raw) {
    switch (raw->datatype) {
        case ISI_TYPE_INT32:
            return 0;
        case 11:
        case 13:
        case 14:
        case 16:
            return kNativeHeader60;
        case 12:
        case 15:
            return kNativeHeader64;
        default:
            return -1;
    }
}

ISI_TS_PACKET* decompress(ISI_TS_PACKET* raw, ISI_TS_PACKET* converted) {
    if (raw->compress != ISI_COMP_IDA) {
        platSetError(WSAEOPNOTSUPP);
        return nullptr;
    }
    int headerLength = compressedHeaderLength(raw);
    if (headerLength < 0) {
        platSetError(WSAEOPNOTSUPP);
        return nullptr;
    }
    uint32_t nativeLength = static_cast<uint32_t>(headerLength);
    if (raw->nbytes < nativeLength) {
        platSetError(WSAEMSGSIZE);
        return nullptr;
    }
    if (raw->datatype == 12 && (raw->data[kType12FlagsOffset] & kType12UnsupportedBits) != 0) {
        platSetError(WSAEOPNOTSUPP);
        return nullptr;
    }
    // Every value takes at least one byte, so more samples than bytes cannot be right; this
    // also bounds the buffer below by the frame size.
    uint32_t codedBytes = raw->nbytes - nativeLength;
    if (raw->nsamp > codedBytes || raw->nsamp > (UINT32_MAX - nativeLength) / kDecodedSampleSize) {
        platSetError(WSAEMSGSIZE);
        return nullptr;
    }
    uint32_t need = nativeLength + raw->nsamp * kDecodedSampleSize;
    if (!CheckAllocation(converted, need)) return nullptr;
    std::memcpy(converted->data, raw->data, nativeLength);
    auto* samples = reinterpret_cast<int32_t*>(converted->data + nativeLength);
    if (!isiDecodeIdacmp(raw->data + nativeLength, codedBytes, raw->nsamp, samples, nullptr,
                         nullptr)) {
        return nullptr;
    }

    uint8_t* keepData = converted->data;
    uint32_t keepAlloc = converted->nalloc;
    *converted = *raw;
    converted->data = keepData;
    converted->nalloc = keepAlloc;
    converted->compress = ISI_COMP_NONE;
    converted->nbytes = need;
    if (nativeLength == 0) {
        converted->order = ISI_ORDER_HOST;
        converted->sampsiz = kDecodedSampleSize;
    } else if (kHostIsLittleEndian) {
        // Native packets carry their samples big-endian after their own header.
        swapInPlace<uint32_t>(converted->data + nativeLength, raw->nsamp);
    }
    return converted;
}

}  // namespace

/* isiSrateToInterval: the sample interval in seconds of a factor and multiplier. */
REAL64 isiSrateToInterval(int factor, int multiplier) {
    REAL64 f = factor, m = multiplier;
    if (factor > 0 && multiplier > 0) return m / f;
    if (factor > 0 && multiplier < 0) return -m / f;
    if (factor < 0 && multiplier > 0) return -f / m;
    return multiplier != 0 ? f / m : 0.0;  // 0 / 0 would not be a number
}

/* isiReadTSHeader: true when payload holds a whole header and the data it announces; the
 * packet's data then points just after the header. False with WSAEMSGSIZE otherwise. */
bool isiReadTSHeader(uint8_t* payload, uint32_t payloadLen, ISI_TS_PACKET* packet) {
    if (payload == nullptr || packet == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    if (payloadLen < static_cast<uint32_t>(ISI_TS_HEADER_LEN)) {
        platSetError(WSAEMSGSIZE);
        return false;
    }
    isiUnpackTSHeader(payload, packet);
    packet->data = payload + ISI_TS_HEADER_LEN;
    packet->nalloc = 0;
    if (packet->nbytes > payloadLen - ISI_TS_HEADER_LEN) {
        platSetError(WSAEMSGSIZE);
        return false;
    }
    if (packet->compress == ISI_COMP_NONE && !samplesFit(packet)) {
        platSetError(WSAEMSGSIZE);
        return false;
    }
    return true;
}

/* isiConvertTS: the packet in host-order samples: raw itself (swapped in place when its samples
 * are big-endian) or converted (decompressed). None with WSAEOPNOTSUPP for a compression or
 * data type that cannot be decompressed, WSAEINVAL for an unknown uncompressed data type, or
 * WSAEMSGSIZE when the data is shorter than the header says. */
ISI_TS_PACKET* isiConvertTS(ISI_TS_PACKET* raw, ISI_TS_PACKET* converted) {
    if (raw == nullptr || converted == nullptr || (raw->data == nullptr && raw->nbytes > 0)) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    if (raw->compress != ISI_COMP_NONE) return decompress(raw, converted);
    if (raw->order == ISI_ORDER_HOST) return raw;
    if (isNativeType(raw->datatype)) return raw;
    if (sampleSize(raw->datatype) == 0) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    if (!samplesFit(raw)) {
        platSetError(WSAEMSGSIZE);
        return nullptr;
    }
    if (kHostIsLittleEndian) {
        switch (raw->datatype) {
            case ISI_TYPE_INT16:
                swapInPlace<uint16_t>(raw->data, raw->nsamp);
                break;
            case ISI_TYPE_INT32:
                swapInPlace<uint32_t>(raw->data, raw->nsamp);
                break;
            case ISI_TYPE_INT64:
                swapInPlace<uint64_t>(raw->data, raw->nsamp);
                break;
            // Floats travel in the byte order the header gives, as integers do: a big-endian
            // float left as it came would be read as another number.
            case ISI_TYPE_REAL32:
                swapInPlace<uint32_t>(raw->data, raw->nsamp);
                break;
            case ISI_TYPE_REAL64:
                swapInPlace<uint64_t>(raw->data, raw->nsamp);
                break;
            default:
                break;  // one-byte samples stay as they came
        }
    }
    raw->order = ISI_ORDER_HOST;
    return raw;
}

namespace {

template <typename T>
void widen(const uint8_t* data, size_t count, REAL32* out) {
    for (size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, data + i * sizeof(T), sizeof(T));
        // Round to nearest (the default mode) where a float cannot hold the value.
        out[i] = static_cast<REAL32>(value);
    }
}

}  // namespace

/* isiSamplesToFloat: true with the packet's samples as floats in out; false (out empty) with
 * WSAEINVAL for a packet not yet in host order or still compressed, WSAEOPNOTSUPP for a data type
 * that holds no plain samples. */
bool isiSamplesToFloat(const ISI_TS_PACKET* packet, std::vector<REAL32>* out) {
    if (out == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    if (packet == nullptr || packet->compress != ISI_COMP_NONE || packet->order != ISI_ORDER_HOST ||
        (packet->data == nullptr && packet->nbytes > 0)) {
        out->clear();
        platSetError(WSAEINVAL);
        return false;
    }
    const uint32_t size = sampleSize(packet->datatype);
    if (size == 0) {
        out->clear();
        platSetError(WSAEOPNOTSUPP);
        return false;
    }
    // Never more samples than the data bytes hold.
    const size_t count = std::min<size_t>(packet->nsamp, packet->nbytes / size);
    // A buffer kept between packets of one size is neither filled nor moved again.
    out->resize(count);
    REAL32* to = out->data();
    switch (packet->datatype) {
        case ISI_TYPE_INT8:
            widen<int8_t>(packet->data, count, to);
            break;
        case ISI_TYPE_INT16:
            widen<int16_t>(packet->data, count, to);
            break;
        case ISI_TYPE_INT32:
            widen<int32_t>(packet->data, count, to);
            break;
        case ISI_TYPE_INT64:
            widen<int64_t>(packet->data, count, to);
            break;
        case ISI_TYPE_REAL32:
            widen<float>(packet->data, count, to);
            break;
        case ISI_TYPE_REAL64:
            widen<double>(packet->data, count, to);
            break;
    }
    return true;
}

const char* isiDataTypeString(uint8_t datatype) {
    switch (datatype) {
        case ISI_TYPE_INT8:
            return "8-bit integers";
        case ISI_TYPE_INT16:
            return "16-bit integers";
        case ISI_TYPE_INT32:
            return "32-bit integers";
        case ISI_TYPE_INT64:
            return "64-bit integers";
        case ISI_TYPE_REAL32:
            return "32-bit floats";
        case ISI_TYPE_REAL64:
            return "64-bit floats";
        default:
            return isNativeType(datatype) ? "a native packet format" : "an unknown sample type";
    }
}

void isiClearTSPacket(ISI_TS_PACKET* packet) {
    if (packet == nullptr) return;
    if (packet->nalloc > 0) std::free(packet->data);
    packet->data = nullptr;
    packet->nalloc = 0;
}
