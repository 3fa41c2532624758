// The idacmp decoder: arbitrary bytes must never make it read or write out of bounds, and any
// series coded by the reference encoder must decode to itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "isi/idacmp_encoder.h"
#include "isi/isi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Arbitrary input: as many samples as bytes, and one more than that (must fail).
    {
        std::vector<uint8_t> in(data + 1, data + size);
        for (uint32_t nsamp : {static_cast<uint32_t>(in.size()),
                               static_cast<uint32_t>(in.size() / (1 + data[0] % 5)),
                               static_cast<uint32_t>(in.size() + 1)}) {
            std::vector<int32_t> out(nsamp);
            size_t used = 0;
            bool ok = isiDecodeIdacmp(in.data(), in.size(), nsamp, out.data(), nullptr, &used);
            if (ok && used > in.size()) __builtin_trap();
            if (ok && nsamp > in.size()) __builtin_trap();  // each sample needs a byte
        }
    }
    // Round trip: the bytes read as 32-bit samples.
    std::vector<int32_t> samples(size / 4);
    if (!samples.empty()) std::memcpy(samples.data(), data, samples.size() * 4);
    std::vector<uint8_t> coded = isitest::encodeIdacmp(samples);
    std::vector<int32_t> back(samples.size());
    int32_t last = 0;
    size_t used = 0;
    if (!isiDecodeIdacmp(coded.data(), coded.size(), static_cast<uint32_t>(samples.size()),
                         back.data(), &last, &used) ||
        back != samples || used != coded.size() || (!samples.empty() && last != samples.back())) {
        __builtin_trap();
    }
    return 0;
}
