// The KVR header reader on any bytes a file may hold: a header it takes is a KVR magic with a
// data offset of 512, its sample count what the file's size gives, and the reader of samples
// agrees with the header reader.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kvr/kvrfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_kvr_" + std::to_string(getpid()) + ".kvr";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    KVR_FILE_INFO info;
    std::string error;
    const bool header = kvrReadHeader(path, &info, &error);
    if (header && (info.dataOffset != KVR_HEADER_SIZE || info.fileSize != size ||
                   info.sampleCount != (size - KVR_HEADER_SIZE) / KVR_SAMPLE_SIZE))
        __builtin_trap();
    if (!header && error.empty()) __builtin_trap();
    std::vector<float> samples;
    KVR_FILE_INFO again;
    const bool whole = kvrReadFile(path, &again, &samples, &error);
    if (whole != header || (whole && samples.size() != info.sampleCount)) __builtin_trap();
    return 0;
}
