// export_bench: what "kvrdb export --mseed" costs beyond libmseed's own packing.
//
// An hour of 100 channels at 20 samples per second, as the recorder stores it (one KVR 2.0 file a
// channel, rows in an SQLite catalogue), is exported by the kvrdb program into a new SDS tree;
// the baseline, mseed_pack_baseline, reads the same files' samples and packs them with libmseed's
// writer alone. The two run in turn as processes of their own (A B A B, EXPORT_BENCH_PAIRS pairs,
// default 5), each measured by its resource usage (user and system CPU seconds, start-up
// included); the figure is the median of the pairs' ratios, goal at most 1.5. A third command,
// the same export again into the tree it made (every day file read and every sample found
// present, nothing written), shows what merging costs.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/child_run.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"

namespace fs = std::filesystem;
using benchsupport::median;
using benchsupport::runChild;

namespace {

constexpr int kChannels = 100;
constexpr int kRate = 20;
constexpr int kSeconds = 3600;
constexpr double kGoal = 1.5;
constexpr double kHourStart = 1765195200.0;  // 2025-12-08 12:00:00 UTC: one day file a channel

// The recording: files and rows as the recorder writes them.
bool MakeRecording(const std::string& dir, const std::string& data) {
    std::string error;
    const std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
    if (driver.empty()) return false;
    std::ofstream(dir + "/odbcinst.ini").close();
    if (!kvrWriteDsnSection(dir + "/odbc.ini", KVR_DSN, kvrSqliteDsnEntry(driver, dir + "/kvr.db"),
                            &error))
        return false;
    ::setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    ::setenv("ODBCSYSINI", dir.c_str(), 1);
    KvrConnection db;
    std::vector<std::string> created;
    if (!db.open(KVR_DSN, KVR_USER, KVR_PASSWORD) || !kvrCreateSchema(db, &created).ok())
        return false;
    std::vector<float> samples(size_t(kRate) * kSeconds);
    for (int c = 0; c < kChannels; ++c) {
        const std::string station = "st" + std::to_string(c / 10);
        const std::string channel = std::string("H") + char('A' + c % 10) + "Z";
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = float(int((i * 2654435761u + unsigned(c)) % 20001) - 10000);
        const std::string relative = kvrRelativePath20(station, channel, kHourStart);
        std::array<char, KVR_HEADER_SIZE> header{};
        if (!BuildHeader20(header, station, channel, kRate, kHourStart) ||
            !kvrMakeFolders(kvrFullPath(data, kvrHourFolder20(station, kHourStart)), &error) ||
            !kvrCreateFile(kvrFullPath(data, relative), header, samples, &error) ||
            !kvrRegisterNewFile(db, relative, station, kHourStart, kSeconds, kRate, channel, "??",
                                -1.0, -1.0)
                 .ok())
            return false;
    }
    return true;
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("export-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    const std::string data = (dir / "data").string();
    if (!MakeRecording(dir.string(), data)) {
        std::fprintf(stderr, "export_bench: cannot make the recording (SQLite ODBC driver?)\n");
        return 1;
    }
    const std::string sds = (dir / "sds").string(), plain = (dir / "plain").string();
    const std::vector<std::string> exportCommand = {KVRDB_EXE,   "export", "--mseed",    sds,
                                                    "--network", "XX",     "--data-dir", data};
    const std::vector<std::string> baselineCommand = {BASELINE_EXE, data, plain};

    const char* pairsText = std::getenv("EXPORT_BENCH_PAIRS");
    const int pairs = pairsText ? std::max(1, std::atoi(pairsText)) : 5;
    std::vector<double> exportCpu, baselineCpu, mergeCpu, ratios, mergeRatios;
    runChild(exportCommand);  // warm-up: files in the page cache, the program loaded once
    for (int p = 0; p < pairs; ++p) {
        fs::remove_all(sds);
        const benchsupport::ChildRun a = runChild(exportCommand);
        const benchsupport::ChildRun m =
            runChild(exportCommand);  // the same again, into the tree it made
        fs::remove_all(plain);
        const benchsupport::ChildRun b = runChild(baselineCommand);
        if (a.cpu < 0 || b.cpu <= 0 || m.cpu < 0) {
            std::fprintf(stderr, "export_bench: a run failed\n");
            return 1;
        }
        exportCpu.push_back(a.cpu);
        mergeCpu.push_back(m.cpu);
        baselineCpu.push_back(b.cpu);
        ratios.push_back(a.cpu / b.cpu);
        mergeRatios.push_back(m.cpu / b.cpu);
    }
    const double samples = double(kChannels) * kRate * kSeconds;
    std::printf("export of %d channels x %d s at %d sps (%.2f M samples), %d pairs, CPU seconds "
                "(median):\n",
                kChannels, kSeconds, kRate, samples / 1e6, pairs);
    std::printf("  kvrdb export --mseed (new tree)      %.3f s\n", median(exportCpu));
    std::printf("  kvrdb export --mseed (again, merged) %.3f s\n", median(mergeCpu));
    std::printf("  libmseed packing alone (baseline)    %.3f s\n", median(baselineCpu));
    const double ratio = median(ratios);
    std::printf("  export / baseline: %.2f (goal at most %.1f) %s\n", ratio, kGoal,
                ratio <= kGoal ? "ok" : "OVER");
    std::printf("  merge  / baseline: %.2f\n", median(mergeRatios));
    if (!std::getenv("EXPORT_BENCH_KEEP")) fs::remove_all(dir);
    return 0;
}
