// mseed_pack_baseline: the least an export of KVR files to miniSEED can cost, for export_bench.
//
//   mseed_pack_baseline DATA_DIR OUT_DIR
//
// Reads every file under DATA_DIR (a KVR file's samples behind its 512-byte header, little-endian
// float32, read into one buffer) and packs each file's samples with libmseed's own writer, as
// 4096-byte big-endian float32 records, into one new file per input file under OUT_DIR. No
// catalogue, no names, no merging: what is left is reading the samples and libmseed's packing.
#include <libmseed.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr long kHeaderBytes = 512;
constexpr int kRecordLength = 4096;

void WriteRecord(char* record, int length, void* handlerData) {
    std::fwrite(record, 1, static_cast<size_t>(length), static_cast<FILE*>(handlerData));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mseed_pack_baseline DATA_DIR OUT_DIR\n");
        return 2;
    }
    fs::create_directories(argv[2]);
    std::unique_ptr<float[]> buffer;
    size_t capacity = 0;
    int n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(argv[1])) {
        if (!entry.is_regular_file() || entry.file_size() <= uintmax_t(kHeaderBytes)) continue;
        const size_t count = (entry.file_size() - kHeaderBytes) / sizeof(float);
        if (count > capacity) {
            buffer.reset(new float[count]);
            capacity = count;
        }
        FILE* in = std::fopen(entry.path().c_str(), "rb");
        if (in == nullptr || std::fseek(in, kHeaderBytes, SEEK_SET) != 0 ||
            std::fread(buffer.get(), sizeof(float), count, in) != count) {
            std::fprintf(stderr, "mseed_pack_baseline: cannot read %s\n", entry.path().c_str());
            return 1;
        }
        std::fclose(in);
        const std::string out = std::string(argv[2]) + "/" + std::to_string(n++) + ".mseed";
        FILE* fp = std::fopen(out.c_str(), "wb");
        MSRecord* msr = msr_init(nullptr);
        std::strcpy(msr->network, "XX");
        std::strcpy(msr->station, "STA");
        std::strcpy(msr->channel, "BHZ");
        msr->dataquality = 'D';
        msr->starttime = 0;
        msr->samprate = 20.0;
        msr->reclen = kRecordLength;
        msr->encoding = DE_FLOAT32;
        msr->byteorder = 1;
        msr->sampletype = 'f';
        msr->datasamples = buffer.get();
        msr->numsamples = int64_t(count);
        int64_t packed = 0;
        msr_pack(msr, WriteRecord, fp, &packed, 1, 0);
        msr->datasamples = nullptr;
        msr_free(&msr);
        std::fclose(fp);
        if (packed != int64_t(count)) return 1;
    }
    return 0;
}
