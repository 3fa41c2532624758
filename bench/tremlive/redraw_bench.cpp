// One refresh's drawing of the live view against a plain pass over the buffered samples.
//
// 24 channels hold two hours at 100 samples per second (7200 packets of 100 samples each,
// 17.28 million samples); 900 s are displayed. BM_RedrawAll is one full redraw (with the
// automatic fit over the displayed window) plus the overview strip of one channel;
// BM_PlainPass sums every buffered sample once. The ratio of their times is printed at the end:
// a redraw that walked every stored sample would cost well above the plain pass, one that skips
// the samples it cannot draw stays below it.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "tremlive/buffers.h"
#include "tremlive/drawing.h"

using namespace tremlive;

namespace {

constexpr int kChannels = 24;
constexpr int kRate = 100;              // samples per second
constexpr int kBufferedSeconds = 7200;  // BUFFEREDTIME
constexpr int kDisplayedSeconds = 900;  // DISPLAYEDTIME
constexpr int kPacketSeconds = 1;
constexpr int kViewWidth = 1600;
constexpr int kViewHeight = 1000;
constexpr double kNow = 1796616306.0;

CTraceBuffers& buffers() {
    static CTraceBuffers* b = [] {
        auto* out = new CTraceBuffers;
        out->displayedTime = kDisplayedSeconds;
        out->bufferedTime = kBufferedSeconds;
        uint32_t seed = 1;
        for (int c = 0; c < kChannels; ++c) {
            auto ch = std::make_unique<CDisplayChannel>();
            ch->station = std::string("S") + std::to_string(c);
            ch->channel = "BHZ";
            ch->location = "00";
            ch->receivedPackets = kBufferedSeconds / kPacketSeconds;
            for (int s = 0; s < kBufferedSeconds; s += kPacketSeconds) {
                auto p = std::make_unique<CTracePacket>();
                p->interval = 1.0f / kRate;
                p->firstTime = kNow - kBufferedSeconds + s;
                p->count = kRate * kPacketSeconds;
                p->lastTime = p->firstTime + (p->count - 1) * double(p->interval);
                p->samples.resize(size_t(p->count));
                int32_t v = 0;
                for (int32_t& x : p->samples) {
                    seed = seed * 1103515245u + 12345u;
                    v += int32_t((seed >> 16) % 201) - 100;
                    x = v;
                }
                ch->AddPacket(std::move(p));
            }
            out->channels.push_back(std::move(ch));
        }
        out->autoFit = 1;
        out->UpdateWindowTimes(kNow);
        return out;
    }();
    return *b;
}

void BM_PlainPass(benchmark::State& state) {
    CTraceBuffers& b = buffers();
    for (auto _ : state) {
        int64_t sum = 0;
        for (const auto& ch : b.channels)
            for (const auto& p : ch->packets())
                for (int32_t v : p->samples) sum += v;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kChannels) * kBufferedSeconds * kRate);
}

void BM_RedrawAll(benchmark::State& state) {
    CTraceBuffers& b = buffers();
    CTraceDrawing drawing;
    drawing.selected = 0;
    COverviewDrawing strip;
    for (auto _ : state) {
        drawing.RedrawAll(b, kViewWidth, kViewHeight);
        strip.Redraw(b, drawing.selected, kViewWidth, kStripHeight);
        benchmark::DoNotOptimize(drawing.bitmap.constBits());
    }
}

BENCHMARK(BM_PlainPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedrawAll)->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration for the ratio line.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);  // fonts for the labels
    benchmark::Initialize(&argc, argv);
    buffers();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double plain = reporter.times["BM_PlainPass"];
    double redraw = reporter.times["BM_RedrawAll"];
    if (plain > 0) {
        std::printf(
            "redraw of %d channels (%d s displayed of %d s buffered) plus strip: %.2f x "
            "one plain pass over the buffered samples (goal: at most 3)\n",
            kChannels, kDisplayedSeconds, kBufferedSeconds, redraw / plain);
    }
    benchmark::Shutdown();
    return 0;
}
