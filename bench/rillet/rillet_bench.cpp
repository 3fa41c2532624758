// rillet_bench: what recording costs.
//
// 1. CPU seconds of the recorder's worker thread per million samples recorded: 100 and 1000
//    channels at 20 samples per second (10 and 100 stations of 10 channels), an hour of history
//    pulled from the stand-in server as fast as it sends, into KVR files and an SQLite catalogue;
//    the ratio of the two costs (goal: at most 1.2, the cost of a sample does not grow with the
//    number of channels), and the peak resident size of the process after the 100 channels
//    (recorder, catalogue and the stand-in server together: an upper bound for the recorder).
// 2. The cost of one flush (disk-loop check, file append or create, catalogue row, resume time)
//    with 1,000 and with 100,000 FILELIST rows in the catalogue, and their ratio (goal: at most
//    1.5, i.e. the catalogue's size hardly matters).
//
// RILLET_BENCH_MINUTES shortens the history of the first measurement (default 60).
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "isi/isi.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "rillet/catalogue.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "rillet/worker.h"
#include "server/server.h"

namespace fs = std::filesystem;

namespace {

constexpr int kChannelsPerStation = 10;
constexpr int kRate = 20;
constexpr int kSamplesPerPacket = 100;
constexpr double kRunSeconds = 4900.0 / kRate;
constexpr int kFlushes = 120;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double MonotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Fresh(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    return dir.string();
}

bool OpenCatalogue(CKvrCatalogue& catalogue, const std::string& file) {
    std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
    if (driver.empty() || !catalogue.OpenConnectionString("DRIVER=" + driver + ";Database=" + file +
                                                          ";JournalMode=WAL;Timeout=10000;"))
        return false;
    std::vector<std::string> created;
    return kvrCreateSchema(catalogue.Connection(), &created).ok();
}

class NoView : public CRecorderView {
  public:
    void SetStatusLine(const std::string&) override {}
    void SetLastCountTime(size_t, size_t, const std::string&) override {}
};

std::string StationName(int s) {
    return "st" + std::to_string(s);
}
std::string ChannelName(int c) {
    return std::string("H") + char('A' + c / 10) + char('0' + c % 10);
}

// Peak resident size of this process in kB (VmHWM), 0 when unknown.
long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// The recording measurement: CPU seconds per million samples, or a negative value on failure.
double RecordHistory(double minutes, int stations) {
    std::string dir = Fresh("rillet-bench-record");
    std::vector<isisim::SimStream> streams;
    for (int s = 0; s < stations; ++s) {
        for (int c = 0; c < kChannelsPerStation; ++c) {
            ISI_STREAM_ID id{};
            std::strncpy(id.sta, StationName(s).c_str(), ISI_STALEN);
            std::strncpy(id.chn, ChannelName(c).c_str(), ISI_CHNLEN);
            std::memcpy(id.loc, "  ", ISI_LOCLEN);
            streams.push_back(isisim::SimStream::synthetic(id, isisim::SimRate{kRate, 1},
                                                           kSamplesPerPacket, minutes * 60 + 600));
        }
    }
    isisim::SimServerOptions options;
    options.port = 0;
    isisim::SimServer server(std::move(streams), options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "rillet_bench: server: %s\n", error.c_str());
        return -1;
    }

    double start = std::floor((platNow() - minutes * 60) / 5) * 5;
    std::string ini = "[SYSTEM]\nSERVER=127.0.0.1\nPORT=" + std::to_string(server.port()) +
                      "\nGROUPS=" + std::to_string(stations) + "\n[LOG]\nDIR=" + dir + "/log\n";
    for (int s = 0; s < stations; ++s) {
        ini += "[GROUP" + std::to_string(s + 1) + "]\nSTATION=" + StationName(s) +
               "\nSIZEMB=500\nCHAN=";
        for (int c = 0; c < kChannelsPerStation; ++c) ini += ChannelName(c) + ",";
        ini += "\n";
        for (int c = 0; c < kChannelsPerStation; ++c)
            ini += ChannelName(c) + "=" + std::to_string(static_cast<int64_t>(start)) + "\n";
    }
    WriteText(dir + "/rillet.ini", ini);
    WriteText(dir + "/KVR.ini", "[DATA]\nDIR=" + dir + "/data\n");

    CRilletLog log;
    CRilletSettings settings(log, dir + "/rillet.ini", dir + "/KVR.ini");
    CKvrCatalogue catalogue(log, settings);
    if (!OpenCatalogue(catalogue, dir + "/kvr.db")) {
        std::fprintf(stderr, "rillet_bench: no SQLite catalogue\n");
        return -1;
    }
    for (int s = 0; s < stations; ++s)
        for (int c = 0; c < kChannelsPerStation; ++c)
            kvrPutSitechan(catalogue.Connection(),
                           kvrSitechanKey(StationName(s), ChannelName(c), "??", kRate));
    settings.LoadSettings([&](const std::string& a, const std::string& b, const std::string& c) {
        return catalogue.LookupSampleRate(a, b, c);
    });

    NoView view;
    CRecorder recorder(settings, catalogue, log);
    CRecorderWorker worker(settings, recorder, log, view);
    double workerCpu = 0;
    double wallStart = MonotonicSeconds();
    std::thread thread([&] {
        worker.RecorderThread();
        workerCpu = ThreadCpuSeconds();
    });

    // Caught up when every channel has written all whole runs of the history.
    const int64_t target =
        static_cast<int64_t>(start + std::floor(minutes * 60 / kRunSeconds) * kRunSeconds);
    double deadline = platNow() + 600;
    for (;;) {
        int64_t lowest = INT64_MAX;
        for (int s = 0; s < stations; ++s) {
            for (const auto& [key, value] :
                 platGetProfileSection("GROUP" + std::to_string(s + 1), dir + "/rillet.ini")) {
                if (key.size() == 3) lowest = std::min<int64_t>(lowest, std::atoll(value.c_str()));
            }
        }
        if (lowest >= target || platNow() > deadline) break;
        platSleepMs(100);
    }
    worker.RequestStop();
    thread.join();
    double wall = MonotonicSeconds() - wallStart;
    server.stop();

    std::vector<KVR_FILELIST_ROW> rows;
    kvrSelectFileListRows(catalogue.Connection(), "", &rows);
    double samples = 0;
    for (const auto& r : rows) samples += std::round(r.tqty * r.sps);
    std::printf(
        "record: %d channels x %.0f min at %d sps: %.0f samples in %zu files, %.2f s wall\n",
        stations * kChannelsPerStation, minutes, kRate, samples, rows.size(), wall);
    std::printf("record: worker CPU %.3f s = %.3f CPU seconds per million samples\n", workerCpu,
                samples > 0 ? workerCpu / (samples / 1e6) : 0.0);
    fs::remove_all(dir);
    return samples > 0 ? workerCpu / (samples / 1e6) : -1;
}

// The flush measurement: the median time of one flush of a 4900-sample run with `rows` rows in
// FILELIST.
double FlushCost(int rows) {
    std::string dir = Fresh("rillet-bench-flush-" + std::to_string(rows));
    WriteText(dir + "/rillet.ini",
              "[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nSIZEMB=2000\nCHAN=BHZ\n[LOG]\nDIR=" +
                  dir + "/log\n");
    WriteText(dir + "/KVR.ini", "[DATA]\nDIR=" + dir + "/data\n");
    CRilletLog log;
    CRilletSettings settings(log, dir + "/rillet.ini", dir + "/KVR.ini");
    CKvrCatalogue catalogue(log, settings);
    if (!OpenCatalogue(catalogue, dir + "/kvr.db")) return -1;
    // The other rows: 1000-row loops of other stations, plus rows of other writers.
    char fill[1024];
    std::snprintf(fill, sizeof fill,
                  "insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,CREATER,"
                  "CALIB,CALPER) with recursive n(i) as (select 1 union all select i+1 from n "
                  "where i < %d) select 's' || (i %% %d), 'BHZ', '?\?', 1.0e9 + i * 245.0, 245.0, "
                  "20.0, 1, 'x/' || i, 3, case when i %% 10 = 0 then 'Gleaner' else "
                  "'NRTSDISKLOOP' end, -1.0, -1.0 from n",
                  rows, std::max(1, rows / 1000));
    if (!kvrSqlOk(catalogue.Connection().execute(fill))) {
        std::fprintf(stderr, "rillet_bench: fill: %s\n", catalogue.Connection().message().c_str());
        return -1;
    }
    kvrPutSitechan(catalogue.Connection(), kvrSitechanKey("abc", "BHZ", "??", kRate));
    settings.LoadSettings([&](const std::string& a, const std::string& b, const std::string& c) {
        return catalogue.LookupSampleRate(a, b, c);
    });
    CRecorder recorder(settings, catalogue, log);
    recorder.PrepareChannels();

    std::vector<int32_t> samples(kSamplesPerPacket, 7);
    int64_t k = static_cast<int64_t>(1.7e9) * kRate;
    std::vector<double> costs;
    for (int f = 0; f < kFlushes; ++f) {
        for (int p = 0; p < 4900 / kSamplesPerPacket; ++p, k += kSamplesPerPacket) {
            CRecorderPacket packet{"abc",
                                   "BHZ",
                                   "  ",
                                   1.0 / kRate,
                                   double(k) / kRate,
                                   double(k + kSamplesPerPacket - 1) / kRate,
                                   kSamplesPerPacket,
                                   samples.data(),
                                   samples.size() * sizeof(int32_t)};
            recorder.HandlePacket(packet);
        }
        double t0 = MonotonicSeconds();
        recorder.FlushRun(0, 0);
        costs.push_back(MonotonicSeconds() - t0);
    }
    std::sort(costs.begin(), costs.end());
    fs::remove_all(dir);
    return costs[costs.size() / 2];
}

}  // namespace

int main() {
    double minutes = 60;
    if (const char* m = std::getenv("RILLET_BENCH_MINUTES")) minutes = std::max(5.0, std::atof(m));
    double cost100 = RecordHistory(minutes, 10);
    long peakKb = PeakResidentKb();
    double cost1000 = RecordHistory(minutes, 100);
    bool ok = cost100 > 0 && cost1000 > 0;
    if (ok) {
        std::printf("record: peak RSS after 100 channels %ld kB (with the in-process server)\n",
                    peakKb);
        std::printf("record: cost ratio 1000 / 100 channels = %.2f (goal: at most 1.2)\n",
                    cost1000 / cost100);
    }

    double small = FlushCost(1000);
    double large = FlushCost(100000);
    if (small <= 0 || large <= 0) {
        std::fprintf(stderr, "rillet_bench: flush measurement failed\n");
        return 1;
    }
    std::printf("flush: median %.3f ms with 1,000 FILELIST rows, %.3f ms with 100,000 rows\n",
                small * 1e3, large * 1e3);
    std::printf("flush: ratio 100,000 / 1,000 rows = %.2f (goal: at most 1.5)\n", large / small);
    return ok ? 0 : 1;
}
