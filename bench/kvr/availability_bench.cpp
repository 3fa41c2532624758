// availability_bench: what reading the catalogue costs kvrdb beyond the engine's own work.
//
// SQLite catalogues (through the data source kvrdb writes) with rows in the order a recorder
// writes them, hour after hour for every channel, hour-long files with a gap now and then:
//   kvrdb availability over 10,000 rows (10 channels x 1000 files) and 1,000,000 rows
//   (1000 x 1000): goal at most 2 s for the million;
//   kvrdb files over 100,000 rows, and kvrdb check over 20,000 rows each with its file: goal at
//   most 2 times the engine's own time.
// The engine's own time is the sqlite3 shell running the same select into /dev/null; for check,
// plus find listing the files with their sizes. The availability select reads the table in
// storage order and uses no index (every row of the window is needed; each channel's rows are
// put in order in memory). Each runs three times as a process of its own (wall seconds, start-up
// included), the command and its baseline in turn; the figures are the medians.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/child_run.h"
#include "kvr/availability.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"

namespace fs = std::filesystem;
using benchsupport::ChildRun;
using benchsupport::median;
using benchsupport::runChild;

namespace {

constexpr int kRuns = 3;
constexpr double kGoalRatio = 2.0;
constexpr double kGoalMillionSeconds = 2.0;
constexpr double kFirstHour = 1765152000.0;  // 2025-12-08 00:00:00 UTC
constexpr int kCheckRate = 20;               // the check's files hold one second each

// The select kvrSelectFileListRows runs (kvrdb check).
constexpr const char* kFileListSelect =
    "select coalesce(STA,''),coalesce(CH,''),coalesce(LCODE,''),TBEGIN,TQTY,SPS,GAIN,"
    "coalesce(CPATH,''),DATATYPE,coalesce(CREATER,''),coalesce(cast(LDDATE as varchar(32)),''),"
    "FOFF,CALIB,CALPER from FILELIST order by STA,TBEGIN,CPATH";

// A catalogue of channels x files recorder rows, made by the sqlite3 shell; rows of length
// tqty, one in 97 an hour less a minute (a gap). The schema is kvr's own.
bool MakeCatalogue(const std::string& dir, const std::string& dsn, int channels, int files,
                   double tqty, double sps, std::string* db) {
    *db = dir + "/" + dsn + ".db";
    std::string error;
    const std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
    if (driver.empty() ||
        !kvrWriteDsnSection(dir + "/odbc.ini", dsn, kvrSqliteDsnEntry(driver, *db), &error))
        return false;
    {
        KvrConnection c;
        std::vector<std::string> created;
        if (!c.open(dsn, KVR_USER, KVR_PASSWORD) || !kvrCreateSchema(c, &created).ok())
            return false;
    }
    const std::string sql = dir + "/" + dsn + ".sql";
    std::ofstream(sql)
        << "with recursive c(i) as (select 0 union all select i+1 from c where i < " << channels - 1
        << "), f(j) as (select 0 union all select j+1 from f where j < " << files - 1
        << ") insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,CREATER,"
           "CALIB,CALPER) select printf('s%03d', c.i/3), (case c.i%3 when 0 then 'BHZ' when 1 "
           "then 'BHN' else 'BHE' end), '??', "
        << kvrSqlNumber(kFirstHour) << " + f.j*3600, " << kvrSqlNumber(tqty)
        << " - (case when (c.i + f.j) % 97 = 0 then " << kvrSqlNumber(tqty / 60) << " else 0 end), "
        << kvrSqlNumber(sps)
        << ", 1, printf('s%03d/%02d/%d-%d', c.i/3, f.j%24, c.i, f.j), 3, 'NRTSDISKLOOP', -1, -1 "
           "from f, c;\n";
    return std::system(("sqlite3 '" + *db + "' < '" + sql + "'").c_str()) == 0;
}

// The files the check's rows name, each with the samples its row says (within a sample).
bool MakeFiles(const std::string& data, int channels, int files) {
    std::array<char, KVR_HEADER_SIZE> header{};
    std::vector<float> samples(kCheckRate, 1.0f);
    std::string error;
    for (int i = 0; i < channels; ++i)
        for (int j = 0; j < files; ++j) {
            char relative[64];
            std::snprintf(relative, sizeof relative, "s%03d/%02d/%d-%d", i / 3, j % 24, i, j);
            const std::string path = kvrFullPath(data, relative);
            const double start = kFirstHour + j * 3600.0;
            if (!BuildHeader20(header, "s", "BHZ", kCheckRate, start) ||
                !kvrMakeFolders(fs::path(path).parent_path().string(), &error) ||
                !kvrCreateFile(path, header, samples, &error))
                return false;
        }
    return true;
}

struct Figure {
    std::vector<double> command, baseline, cpu;
};

// Runs the command and its baseline (one or more programs in a row) in turn, kRuns times.
bool Compare(const std::vector<std::string>& command,
             const std::vector<std::vector<std::string>>& baseline, Figure* figure) {
    runChild(command);  // warm-up: the file in the page cache, the program loaded once
    for (int i = 0; i < kRuns; ++i) {
        const ChildRun a = runChild(command);
        double base = 0.0;
        for (const std::vector<std::string>& b : baseline) {
            const ChildRun r = runChild(b);
            if (r.cpu < 0) return false;
            base += r.wall;
        }
        if (a.cpu < 0) return false;
        figure->command.push_back(a.wall);
        figure->cpu.push_back(a.cpu);
        figure->baseline.push_back(base);
    }
    return true;
}

// goalSeconds > 0: the command's own goal; 0: the ratio's; < 0: none (a point of the growth).
void Print(const char* what, double rows, const Figure& f, double goalSeconds) {
    std::vector<double> ratios;
    std::string runs;
    for (size_t i = 0; i < f.command.size(); ++i) {
        ratios.push_back(f.command[i] / f.baseline[i]);
        char text[64];
        std::snprintf(text, sizeof text, "%s%.3f/%.3f", i ? ", " : "", f.command[i], f.baseline[i]);
        runs += text;
    }
    const double seconds = median(f.command), ratio = median(ratios);
    const bool ok = goalSeconds > 0 ? seconds <= goalSeconds : ratio <= kGoalRatio;
    std::printf(
        "  %-34s %9.0f rows: %.3f s (%.2f us a row, CPU %.3f s), engine %.3f s, ratio %.2f %s\n"
        "  %-34s runs (command/baseline s): %s\n",
        what, rows, seconds, seconds / rows * 1e6, median(f.cpu), median(f.baseline), ratio,
        goalSeconds < 0 ? ""
        : ok            ? "ok"
                        : "OVER",
        "", runs.c_str());
}

}  // namespace

int main() {
    const fs::path root =
        fs::temp_directory_path() / ("availability-bench-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "data");
    const std::string dir = root.string(), data = (root / "data").string();
    struct RemoveOnExit {
        fs::path path;
        ~RemoveOnExit() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } scratch{root};
    std::ofstream(dir + "/odbcinst.ini").close();
    ::setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    ::setenv("ODBCSYSINI", dir.c_str(), 1);

    std::string small, million, hundred, checked;
    if (!MakeCatalogue(dir, "SMALL", 10, 1000, 3600, 20, &small) ||
        !MakeCatalogue(dir, "MILLION", 1000, 1000, 3600, 20, &million) ||
        !MakeCatalogue(dir, "HUNDRED", 100, 1000, 3600, 20, &hundred) ||
        !MakeCatalogue(dir, "CHECKED", 20, 1000, 1, kCheckRate, &checked) ||
        !MakeFiles(data, 20, 1000)) {
        std::fprintf(stderr,
                     "availability_bench: cannot make the catalogues (SQLite ODBC driver, "
                     "sqlite3 shell?)\n");
        return 1;
    }
    const std::string select = kvrAvailabilitySelect({});
    KVR_AVAILABILITY_QUERY listing;  // kvrdb files
    listing.withPaths = listing.ordered = true;
    const std::string listSelect = kvrAvailabilitySelect(listing);
    std::printf(
        "kvrdb reading SQLite catalogues against the sqlite3 shell running the same "
        "select (median of %d runs, wall seconds; goal: files and check at most %.0f times the "
        "engine, availability of a million rows at most %.0f s)\n",
        kRuns, kGoalRatio, kGoalMillionSeconds);
    std::printf("  availability select: %s\n", select.c_str());
    struct Case {
        const char* what;
        double rows;
        std::vector<std::string> command;
        std::vector<std::vector<std::string>> baseline;
        double goalSeconds;
    } cases[] = {
        {"kvrdb availability",
         1e4,
         {KVRDB_EXE, "--dsn", "SMALL", "availability"},
         {{"sqlite3", small, select}},
         -1},
        {"kvrdb availability",
         1e6,
         {KVRDB_EXE, "--dsn", "MILLION", "availability"},
         {{"sqlite3", million, select}},
         kGoalMillionSeconds},
        {"kvrdb availability --gaps --format json",
         1e6,
         {KVRDB_EXE, "--dsn", "MILLION", "availability", "--gaps", "--format", "json"},
         {{"sqlite3", million, select}},
         kGoalMillionSeconds},
        {"kvrdb files",
         1e5,
         {KVRDB_EXE, "--dsn", "HUNDRED", "files"},
         {{"sqlite3", hundred, listSelect}},
         0},
        {"kvrdb check (rows and files)",
         2e4,
         {KVRDB_EXE, "--dsn", "CHECKED", "check", "--data-dir", data},
         {{"sqlite3", checked, kFileListSelect},
          {"find", data, "-type", "f", "-printf", "%s %p\n"}},
         0},
    };
    for (const Case& c : cases) {
        Figure f;
        if (!Compare(c.command, c.baseline, &f)) {
            std::fprintf(stderr, "availability_bench: %s failed\n", c.what);
            return 1;
        }
        Print(c.what, c.rows, f, c.goalSeconds);
    }
    return 0;
}
