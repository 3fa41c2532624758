#include "server/synthetic.h"

#include <string_view>

namespace isisim {

namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

inline uint64_t splitmix64(uint64_t x) {
    uint64_t z = x + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr int widthOfTopByte(unsigned top) {
    if (top < 128) return 5;
    if (top < 192) return 12;
    if (top < 232) return 19;
    if (top < 250) return 26;
    return 31;
}

// The width by top byte as a table: the top byte is random, so the comparisons above would be
// mispredicted about twice a sample.
struct WidthTable {
    uint8_t width[256];
    constexpr WidthTable() : width() {
        for (unsigned top = 0; top < 256; ++top) width[top] = uint8_t(widthOfTopByte(top));
    }
};
constexpr WidthTable kWidths;

inline int sampleWidth(uint64_t r) {
    return kWidths.width[r >> 56];
}

inline int32_t sampleOf(uint64_t streamHash, int64_t k) {
    uint64_t r = splitmix64(streamHash ^ uint64_t(k));
    int b = sampleWidth(r);
    int64_t magnitude = int64_t(r & ((uint64_t(1) << b) - 1));
    return int32_t(magnitude - (int64_t(1) << (b - 1)));
}

}  // namespace

uint64_t simStreamHash(const ISI_STREAM_ID& name) {
    uint8_t wire[ISI_STREAM_NAME_WIRE_LEN];
    isiPackStreamName(wire, &name);
    uint64_t h = kFnvOffset;
    for (uint8_t byte : wire) {
        h ^= byte;
        h *= kFnvPrime;
    }
    return h;
}

uint64_t simStreamHashOf(const char* station, const char* channel, const char* location) {
    const std::string_view loc(location);
    const bool none = loc == "??" || loc.find_first_not_of(' ') == std::string_view::npos;
    ISI_STREAM_ID name{};
    isiSetStreamId(&name, station, channel, none ? "  " : location);
    return simStreamHash(name);
}

int32_t simSyntheticSample(uint64_t streamHash, int64_t k) {
    return sampleOf(streamHash, k);
}

void simSyntheticSamples(uint64_t streamHash, int64_t k, int count, int32_t* out) {
    for (int i = 0; i < count; ++i) out[i] = sampleOf(streamHash, k + i);
}

}  // namespace isisim
