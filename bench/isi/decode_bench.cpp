// Decoding speed of the ISI difference compression against libmseed's Steim-2 decoding.
//
// The set-up builds one deterministic seismogram-like series (quiet, moderate and strong
// stretches and rare large jumps, so every idacmp code length occurs), packs it with libmseed
// into 4096-byte Steim-2 records, and codes the same samples, record by record, as type-1012
// idacmp packets. Each benchmark decodes every record or packet once per iteration; the ratio of
// samples per second is printed at the end (goal: idacmp at least 1.5 times Steim-2).
#include <benchmark/benchmark.h>
#include <libmseed.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "isi/idacmp_encoder.h"
#include "isi/isi.h"
#include "isi/packet_builder.h"

namespace {

constexpr int kTotalSamples = 2'000'000;
constexpr int kRecordLength = 4096;
constexpr double kSampleRate = 100.0;
constexpr double kGoalRatio = 1.5;

struct Corpus {
    std::vector<int32_t> samples;
    std::vector<std::vector<char>> records;         // Steim-2 miniSEED records
    std::vector<std::vector<uint8_t>> packets;      // type-1012 payloads, idacmp
    std::vector<std::vector<uint8_t>> codedBlocks;  // the idacmp data of each packet alone
    std::vector<uint32_t> counts;                   // samples of each record / packet
};

// A small deterministic generator, so the series is the same on every run and host.
uint32_t nextRandom(uint64_t* state) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(*state >> 33);
}

std::vector<int32_t> makeSeries() {
    std::vector<int32_t> series(kTotalSamples);
    uint64_t state = 20261208;
    double level = 0.0;
    const int amplitudes[] = {20, 2000, 60000, 300};  // quiet, moderate, strong, settling
    for (int i = 0; i < kTotalSamples; ++i) {
        int stretch = (i / 5000) % 4;
        int amplitude = amplitudes[stretch];
        double wave = amplitude * std::sin(2.0 * M_PI * i / 37.0);
        double noise = static_cast<int>(nextRandom(&state) % (2 * amplitude + 1)) - amplitude;
        if (nextRandom(&state) % 4000 == 0) {
            level += (nextRandom(&state) % 2 ? 1.0 : -1.0) * (1 << (20 + nextRandom(&state) % 8));
        }
        if (std::fabs(level) > (1 << 28)) level = 0.0;
        series[i] = static_cast<int32_t>(level + wave + noise);
    }
    return series;
}

void collectRecord(char* record, int length, void* handlerData) {
    static_cast<Corpus*>(handlerData)->records.emplace_back(record, record + length);
}

void packSteim2(Corpus* corpus) {
    MSRecord* msr = msr_init(nullptr);
    std::strcpy(msr->network, "XX");
    std::strcpy(msr->station, "BENCH");
    std::strcpy(msr->channel, "HHZ");
    msr->starttime = ms_time2hptime(2026, 342, 0, 0, 0, 0);
    msr->samprate = kSampleRate;
    msr->reclen = kRecordLength;
    msr->encoding = DE_STEIM2;
    msr->byteorder = 1;
    msr->sampletype = 'i';
    msr->datasamples = corpus->samples.data();
    msr->numsamples = static_cast<int64_t>(corpus->samples.size());
    int64_t packed = 0;
    msr_pack(msr, collectRecord, corpus, &packed, 1, 0);
    msr->datasamples = nullptr;  // the series belongs to the corpus
    msr_free(&msr);
}

// The sample count of every record, read back once with libmseed.
void countRecords(Corpus* corpus) {
    MSRecord* msr = nullptr;
    for (std::vector<char>& record : corpus->records) {
        msr_unpack(record.data(), kRecordLength, &msr, 0, 0);
        corpus->counts.push_back(static_cast<uint32_t>(msr->samplecnt));
    }
    msr_free(&msr);
}

void packIdacmp(Corpus* corpus) {
    size_t offset = 0;
    for (uint32_t count : corpus->counts) {
        std::vector<int32_t> part(corpus->samples.begin() + offset,
                                  corpus->samples.begin() + offset + count);
        ISI_TS_PACKET h = isitest::makeHeader("BENCH", "HHZ", "", 100, 1, 0.0, count);
        corpus->packets.push_back(isitest::samplePayload(h, part, true));
        corpus->codedBlocks.push_back(isitest::encodeIdacmp(part));
        offset += count;
    }
}

const Corpus& corpus() {
    static const Corpus built = [] {
        Corpus c;
        c.samples = makeSeries();
        packSteim2(&c);
        countRecords(&c);
        packIdacmp(&c);
        return c;
    }();
    return built;
}

void BM_Steim2Decode(benchmark::State& state) {
    const Corpus& c = corpus();
    std::vector<std::vector<char>> records = c.records;  // msr_unpack may touch the record
    MSRecord* msr = nullptr;
    int64_t samples = 0;
    for (auto _ : state) {
        for (std::vector<char>& record : records) {
            msr_unpack(record.data(), kRecordLength, &msr, 1, 0);
            benchmark::DoNotOptimize(msr->datasamples);
            samples += msr->numsamples;
        }
    }
    msr_free(&msr);
    state.SetItemsProcessed(samples);
}

void BM_IdacmpDecode(benchmark::State& state) {
    const Corpus& c = corpus();
    std::vector<int32_t> out(kRecordLength * 2);
    int64_t samples = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < c.codedBlocks.size(); ++i) {
            const std::vector<uint8_t>& block = c.codedBlocks[i];
            if (out.size() < c.counts[i]) out.resize(c.counts[i]);
            isiDecodeIdacmp(block.data(), block.size(), c.counts[i], out.data(), nullptr, nullptr);
            benchmark::DoNotOptimize(out.data());
            samples += c.counts[i];
        }
    }
    state.SetItemsProcessed(samples);
}

// The client's whole packet path: header, checks, buffer reuse and decoding.
void BM_IsiConvertTS(benchmark::State& state) {
    const Corpus& c = corpus();
    std::vector<std::vector<uint8_t>> packets = c.packets;
    ISI_TS_PACKET raw = {}, converted = {};
    int64_t samples = 0;
    for (auto _ : state) {
        for (std::vector<uint8_t>& payload : packets) {
            isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &raw);
            ISI_TS_PACKET* out = isiConvertTS(&raw, &converted);
            benchmark::DoNotOptimize(out->data);
            samples += out->nsamp;
        }
    }
    isiClearTSPacket(&converted);
    state.SetItemsProcessed(samples);
}

BENCHMARK(BM_Steim2Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdacmpDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IsiConvertTS)->Unit(benchmark::kMillisecond);

// Keeps each run's samples per second for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions, the mean stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

// Checks that the two encodings hold the same samples before anything is timed.
bool corpusAgrees() {
    const Corpus& c = corpus();
    std::vector<int32_t> decoded;
    MSRecord* msr = nullptr;
    for (const std::vector<char>& record : c.records) {
        std::vector<char> copy = record;
        msr_unpack(copy.data(), kRecordLength, &msr, 1, 0);
        const auto* s = static_cast<const int32_t*>(msr->datasamples);
        decoded.insert(decoded.end(), s, s + msr->numsamples);
    }
    msr_free(&msr);
    std::vector<int32_t> viaIsi;
    ISI_TS_PACKET raw = {}, converted = {};
    for (const std::vector<uint8_t>& payload : c.packets) {
        std::vector<uint8_t> copy = payload;
        isiReadTSHeader(copy.data(), static_cast<uint32_t>(copy.size()), &raw);
        ISI_TS_PACKET* out = isiConvertTS(&raw, &converted);
        if (out == nullptr) return false;
        const auto* s = reinterpret_cast<const int32_t*>(out->data);
        viaIsi.insert(viaIsi.end(), s, s + out->nsamp);
    }
    isiClearTSPacket(&converted);
    return decoded == c.samples && viaIsi == c.samples;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!corpusAgrees()) {
        std::fprintf(stderr, "isi_decode_bench: Steim-2 and idacmp corpora disagree\n");
        return 1;
    }
    const Corpus& c = corpus();
    size_t steimBytes = c.records.size() * kRecordLength, idaBytes = 0;
    for (const auto& block : c.codedBlocks) idaBytes += block.size();
    std::printf("corpus: %zu samples in %zu records; Steim-2 %zu bytes, idacmp %zu bytes\n",
                c.samples.size(), c.records.size(), steimBytes, idaBytes);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double steim = reporter.rates["BM_Steim2Decode"];
    if (steim > 0) {
        for (const char* name : {"BM_IdacmpDecode", "BM_IsiConvertTS"}) {
            double ratio = reporter.rates[name] / steim;
            std::printf("ratio %s / BM_Steim2Decode (samples per second): %.2f (goal %.1f: %s)\n",
                        name, ratio, kGoalRatio, ratio >= kGoalRatio ? "met" : "NOT met");
        }
    }
    benchmark::Shutdown();
    return 0;
}
