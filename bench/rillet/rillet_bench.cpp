// rillet_bench: what recording costs.
//
// 1. CPU seconds of the recorder's worker thread per million samples recorded: 100 and 1000
//    channels at 20 samples per second (10 and 100 stations of 10 channels), an hour of history
//    pulled from the stand-in server as fast as it sends, into KVR files and an SQLite catalogue;
//    the ratio of the two costs (goal: at most 1.2, the cost of a sample does not grow with the
//    number of channels). The two take turns for RILLET_BENCH_ROUNDS rounds (default 2), and
//    each keeps its lowest cost.
// 2. The same 100 channels recorded by the program itself, "rillet-headless --headless" pulling
//    from an "isi-sim" process: its CPU seconds (user and system, start-up included) per million
//    samples (goal: at most 0.012) from the child's resource usage, and its peak resident size
//    (goal: at most 8 MB) from its own high-water mark, read while it runs and stops; and the
//    peak size of "rillet --headless", which loads the window's libraries too.
// 3. The cost of one flush (disk-loop check, file append or create, catalogue row, resume time)
//    with 1,000 and with 100,000 FILELIST rows in the catalogue, and their ratio (goal: at most
//    1.5, i.e. the catalogue's size hardly matters).
//
// RILLET_BENCH_MINUTES shortens the history of the recordings (default 60); RILLET_BENCH_PROGRAM
// names another executable for the program measurement (default: rillet-headless of this build).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "isi/isi.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
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

ISI_STREAM_ID StreamId(int s, int c) {
    ISI_STREAM_ID id{};
    std::strncpy(id.sta, StationName(s).c_str(), ISI_STALEN);
    std::strncpy(id.chn, ChannelName(c).c_str(), ISI_CHNLEN);
    std::memcpy(id.loc, "  ", ISI_LOCLEN);
    return id;
}

// A recording folder: rillet.ini with every channel's resume time at start, the KVR profile, and the
// SQLite catalogue with the SITECHAN rows (left open in catalogue, through log and settings).
struct RecordingFolder {
    std::string dir;
    int stations = 0;
    double start = 0;    // resume time of every channel
    int64_t target = 0;  // caught up: every channel has written all whole runs of the history
    CRilletLog log;
    std::unique_ptr<CRilletSettings> settings;
    std::unique_ptr<CKvrCatalogue> catalogue;

    RecordingFolder(const std::string& name, double minutes, int stationCount, int port)
        : dir(Fresh(name)), stations(stationCount) {
        start = std::floor((platNow() - minutes * 60) / 5) * 5;
        target = static_cast<int64_t>(start + std::floor(minutes * 60 / kRunSeconds) * kRunSeconds);
        std::string ini = "[SYSTEM]\nSERVER=127.0.0.1\nPORT=" + std::to_string(port) +
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
        WriteText(dir + "/" + KVR_PROFILE, "[DATA]\nDIR=" + dir + "/data\n");
        settings = std::make_unique<CRilletSettings>(log, dir + "/rillet.ini", dir + "/" + KVR_PROFILE);
        catalogue = std::make_unique<CKvrCatalogue>(log, *settings);
    }
    ~RecordingFolder() {
        catalogue.reset();
        fs::remove_all(dir);
    }

    bool OpenAndFill() {
        if (!OpenCatalogue(*catalogue, dir + "/kvr.db")) {
            std::fprintf(stderr, "rillet_bench: no SQLite catalogue\n");
            return false;
        }
        for (int s = 0; s < stations; ++s)
            for (int c = 0; c < kChannelsPerStation; ++c)
                kvrPutSitechan(catalogue->Connection(),
                               kvrSitechanKey(StationName(s), ChannelName(c), "??", kRate));
        settings->LoadSettings(
            [&](const std::string& a, const std::string& b, const std::string& c) {
                return catalogue->LookupSampleRate(a, b, c);
            });
        return true;
    }

    // Waits until every channel's stored resume time has reached the target (10 minutes at most,
    // or until alive() says the recorder has gone).
    void WaitCaughtUp(const std::function<bool()>& alive) const {
        double deadline = platNow() + 600;
        for (;;) {
            int64_t lowest = INT64_MAX;
            for (int s = 0; s < stations; ++s) {
                for (const auto& [key, value] :
                     platGetProfileSection("GROUP" + std::to_string(s + 1), dir + "/rillet.ini")) {
                    if (key.size() == 3)
                        lowest = std::min<int64_t>(lowest, std::atoll(value.c_str()));
                }
            }
            if (lowest >= target || platNow() > deadline || !alive()) return;
            platSleepMs(100);
        }
    }

    // Samples the FILELIST rows hold, and the number of rows.
    double StoredSamples(size_t* files) {
        std::vector<KVR_FILELIST_ROW> rows;
        kvrSelectFileListRows(catalogue->Connection(), "", &rows);
        double samples = 0;
        for (const auto& r : rows) samples += std::round(r.tqty * r.sps);
        *files = rows.size();
        return samples;
    }
};

// The recording measurement in this process: the worker thread's CPU seconds per million samples,
// or a negative value on failure.
double RecordHistory(double minutes, int stations) {
    std::vector<isisim::SimStream> streams;
    for (int s = 0; s < stations; ++s) {
        for (int c = 0; c < kChannelsPerStation; ++c) {
            streams.push_back(isisim::SimStream::synthetic(
                StreamId(s, c), isisim::SimRate{kRate, 1}, kSamplesPerPacket, minutes * 60 + 600));
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
    RecordingFolder folder("rillet-bench-record", minutes, stations, server.port());
    if (!folder.OpenAndFill()) return -1;

    NoView view;
    CRecorder recorder(*folder.settings, *folder.catalogue, folder.log);
    CRecorderWorker worker(*folder.settings, recorder, folder.log, view);
    double workerCpu = 0;
    double wallStart = MonotonicSeconds();
    std::thread thread([&] {
        worker.RecorderThread();
        workerCpu = ThreadCpuSeconds();
    });
    folder.WaitCaughtUp([] { return true; });
    worker.RequestStop();
    thread.join();
    double wall = MonotonicSeconds() - wallStart;
    server.stop();

    size_t files = 0;
    double samples = folder.StoredSamples(&files);
    std::printf(
        "record: %d channels x %.0f min at %d sps: %.0f samples in %zu files, %.2f s wall\n",
        stations * kChannelsPerStation, minutes, kRate, samples, files, wall);
    std::printf("record: worker CPU %.3f s = %.4f CPU seconds per million samples\n", workerCpu,
                samples > 0 ? workerCpu / (samples / 1e6) : 0.0);
    return samples > 0 ? workerCpu / (samples / 1e6) : -1;
}

// Starts a program with its output thrown away; environment pairs set in the child. Returns once
// the program runs (the exec done, so that what is read of the child from then on is the
// program's own), or -1 on failure.
pid_t Spawn(const std::vector<std::string>& args,
            const std::vector<std::pair<std::string, std::string>>& environment) {
    int started[2];
    if (::pipe2(started, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid != 0) {
        ::close(started[1]);
        char failed = 0;
        // End of file: the exec closed the pipe. A byte: the exec failed.
        if (pid > 0 && ::read(started[0], &failed, 1) == 1) {
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ::close(started[0]);
        return pid;
    }
    ::close(started[0]);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null != nullptr) {
        ::dup2(::fileno(null), 1);
        ::dup2(::fileno(null), 2);
    }
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    (void)!::write(started[1], "x", 1);
    ::_exit(127);
}

// The peak resident size of a running process, in kB (0 once it has ended). Its own, unlike the
// resource usage's maximum, which also holds the size of the forked parent before the exec.
long HighWaterKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

struct HeadlessFigures {
    double cpuPerMillion = -1;  // user + system seconds per million samples
    long peakKb = 0;            // the recorder's own peak resident size
};

// The program measurement: "PROGRAM --headless" recording from an "isi-sim" process.
HeadlessFigures RecordHeadless(const std::string& program, double minutes, int stations) {
    HeadlessFigures figures;
    const std::string portFile = Fresh("rillet-bench-sim") + "/port";
    std::vector<std::string> simArgs = {ISI_SIM_EXE,
                                        "--port",
                                        "0",
                                        "--port-file",
                                        portFile,
                                        "--history",
                                        std::to_string(int(minutes * 60 + 600)),
                                        "--quiet"};
    for (int s = 0; s < stations; ++s) {
        for (int c = 0; c < kChannelsPerStation; ++c) {
            simArgs.push_back("-s");
            simArgs.push_back(StationName(s) + "." + ChannelName(c) + ":" + std::to_string(kRate) +
                              ":" + std::to_string(kSamplesPerPacket));
        }
    }
    pid_t sim = Spawn(simArgs, {});
    int port = 0;
    for (int i = 0; i < 200 && port == 0 && sim > 0; ++i) {
        platSleepMs(50);
        std::ifstream in(portFile);
        in >> port;
    }
    fs::remove_all(fs::path(portFile).parent_path());
    if (port == 0) {
        std::fprintf(stderr, "rillet_bench: isi-sim did not start\n");
        if (sim > 0) {
            ::kill(sim, SIGKILL);
            ::waitpid(sim, nullptr, 0);
        }
        return figures;
    }

    RecordingFolder folder("rillet-bench-headless", minutes, stations, port);
    std::string error;
    WriteText(folder.dir + "/odbcinst.ini", "");
    if (!folder.OpenAndFill() ||
        !kvrWriteDsnSection(
            folder.dir + "/odbc.ini", KVR_DSN,
            kvrSqliteDsnEntry(kvrFindOdbcDriver("libsqlite3odbc.so"), folder.dir + "/kvr.db"),
            &error)) {
        std::fprintf(stderr, "rillet_bench: data source: %s\n", error.c_str());
        ::kill(sim, SIGKILL);
        ::waitpid(sim, nullptr, 0);
        return figures;
    }
    pid_t rillet =
        Spawn({program, "--headless", "-C", folder.dir}, {{"ODBCINI", folder.dir + "/odbc.ini"},
                                                          {"ODBCSYSINI", folder.dir},
                                                          {"WINDIR", folder.dir}});
    if (rillet < 0) {
        std::fprintf(stderr, "rillet_bench: %s did not start\n", program.c_str());
        ::kill(sim, SIGKILL);
        ::waitpid(sim, nullptr, 0);
        return figures;
    }
    bool exited = false;
    int status = 0;
    rusage usage{};
    long peakKb = 0;
    auto stillRunning = [&] {
        peakKb = std::max(peakKb, HighWaterKb(rillet));
        exited = ::wait4(rillet, &status, WNOHANG, &usage) == rillet;
        return !exited;
    };
    folder.WaitCaughtUp(stillRunning);
    if (!exited) {
        ::kill(rillet, SIGTERM);
        while (stillRunning()) platSleepMs(5);  // the orderly stop counts too
    }
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "rillet_bench: rillet --headless ended with status %d\n", status);
        return figures;
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    size_t files = 0;
    double samples = folder.StoredSamples(&files);
    figures.peakKb = peakKb;
    if (samples > 0) figures.cpuPerMillion = cpu / (samples / 1e6);
    std::printf(
        "headless: %d channels: %.0f samples in %zu files; %s CPU %.3f s (user %.3f, "
        "system %.3f) = %.4f CPU seconds per million samples, peak RSS %ld kB\n",
        stations * kChannelsPerStation, samples, files, fs::path(program).filename().c_str(), cpu,
        usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6, figures.cpuPerMillion,
        figures.peakKb);
    return figures;
}

// The flush measurement: the median time of one flush of a 4900-sample run with `rows` rows in
// FILELIST.
double FlushCost(int rows) {
    std::string dir = Fresh("rillet-bench-flush-" + std::to_string(rows));
    WriteText(dir + "/rillet.ini",
              "[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nSIZEMB=2000\nCHAN=BHZ\n[LOG]\nDIR=" +
                  dir + "/log\n");
    WriteText(dir + "/" + KVR_PROFILE, "[DATA]\nDIR=" + dir + "/data\n");
    CRilletLog log;
    CRilletSettings settings(log, dir + "/rillet.ini", dir + "/" + KVR_PROFILE);
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

    std::vector<float> samples(kSamplesPerPacket, 7);
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
                                   samples.size() * sizeof(float)};
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
    // The two channel counts take turns, and each keeps its lowest cost: a burst of other work
    // on the machine only ever adds CPU time, and would otherwise decide the ratio.
    int rounds = 2;
    if (const char* r = std::getenv("RILLET_BENCH_ROUNDS")) rounds = std::max(1, std::atoi(r));
    double cost100 = 0;
    double cost1000 = 0;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double small = RecordHistory(minutes, 10);
        double large = RecordHistory(minutes, 100);
        ok = small > 0 && large > 0;
        cost100 = round == 0 ? small : std::min(cost100, small);
        cost1000 = round == 0 ? large : std::min(cost1000, large);
    }
    if (ok) {
        std::printf("record: lowest of %d rounds: %.4f CPU seconds per million samples at 100 "
                    "channels, %.4f at 1000\n",
                    rounds, cost100, cost1000);
        std::printf("record: cost ratio 1000 / 100 channels = %.2f (goal: at most 1.2)\n",
                    cost1000 / cost100);
    }
    // The recorder as an unattended service runs it: the program without the window. The one
    // with the window is measured too, for what loading Qt costs it even when headless.
    const char* program = std::getenv("RILLET_BENCH_PROGRAM");
    HeadlessFigures headless =
        RecordHeadless(program != nullptr ? program : RILLET_HEADLESS_EXE, minutes, 10);
    HeadlessFigures withWindow = RecordHeadless(RILLET_EXE, minutes, 10);
    ok = ok && headless.cpuPerMillion > 0 && withWindow.cpuPerMillion > 0;
    if (headless.cpuPerMillion > 0) {
        std::printf(
            "headless: 100 channels: %.4f CPU seconds per million samples (goal: at most "
            "0.012), peak RSS %ld kB (goal: at most 8192; %ld kB with the window's "
            "libraries loaded)\n",
            headless.cpuPerMillion, headless.peakKb, withWindow.peakKb);
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
