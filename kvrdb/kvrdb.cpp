// kvrdb: sets up, fills and checks the KVR catalogue (FILELIST and SITECHAN) through ODBC.
//
//   kvrdb dsn sqlite FILE                  data source "KVR" for an SQLite file
//   kvrdb dsn postgres HOST PORT DATABASE [--user ROLE] [--password-stdin]
//                                          data source "KVR" for a PostgreSQL database
//   kvrdb init                             create the missing tables and indexes
//   kvrdb sitechan add STA CHAN LCODE SPS  add or replace one channel's sample rate
//   kvrdb sitechan list
//   kvrdb sitechan load HOST[:PORT]        rates from a server's configuration list
//   kvrdb files [--sta STA]                list FILELIST rows
//   kvrdb check [--data-dir DIR] [--repair [--adopt]]
//                                          rows without files, wrong sizes, files without rows;
//                                          --repair mends the rows, --adopt registers the files
//   kvrdb datadir list | release STA --host H --dir D
//                                          which data directory holds each station's files
//   kvrdb export --mseed DIR ...           the catalogued files as an SDS tree of miniSEED
//   kvrdb availability [STREAM...] ...     what the archive holds: spans, gaps, overlaps
//   kvrdb dayplot STREAM --png FILE ...    a 24-hour drum picture of one channel's samples
#include <CLI/CLI.hpp>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "kvr/availability_report.h"
#include "kvr/catalog.h"
#include "kvr/channel_day.h"
#include "kvr/check.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/owners.h"
#include "kvr/store.h"
#ifdef KVRDB_WITH_EXPORT
#include "kvr/mseed_export.h"
#endif
#ifdef KVRDB_WITH_PLOT
#include "kvrdb/plots.h"
#endif
#include "commandline/program.h"
#include "kvrdb/sitechan_load.h"
#include "util/util.h"

namespace {

constexpr const char* kSqliteStepRows = "StepAPI=1;";

// Exit status of a command that ran without fault but found nothing the user asked for.
constexpr int kExitNothingMatched = 3;

struct Options {
    std::string dsn = KVR_DSN;
    std::string user;          // empty: as kvrCatalogueCredentials finds it
    std::string password;      // likewise
    std::string passwordFile;  // the password's first line, instead of --password
};

bool connect(const Options& o, KvrConnection& db) {
    std::string why;
    if (!kvrCheckUserDsnFile(&why)) {
        std::cerr << "kvrdb: " << why << "\n";
        return false;
    }
    KVR_CREDENTIALS credentials = kvrCatalogueCredentials(o.dsn, KVR_USER, KVR_PASSWORD);
    if (!o.user.empty()) credentials.user = o.user;
    if (!o.password.empty()) credentials.password = o.password;
    if (!o.passwordFile.empty() && !kvrReadPasswordFile(o.passwordFile, &credentials.password, &why)) {
        std::cerr << "kvrdb: " << utilPrintableString(why) << "\n";
        return false;
    }
    // Without the cursor library: it copies every fetched row into a file of its own, which
    // made reading a large catalogue several times slower than the engine; the tool reads rows
    // forward only and binds every column, which the driver does itself. The SQLite driver is
    // asked to hand rows over as the engine steps to them (StepAPI): else it gathers a whole
    // result first, 300 MB for a select of a million rows. Other drivers ignore the key.
    KVR_CONNECT_OPTIONS options;
    options.useCursorLibrary = false;
    if (db.openString(kvrConnectString(o.dsn, credentials) + kSqliteStepRows, options))
        return true;
    std::cerr << "kvrdb: cannot open data source \"" << o.dsn << "\": " << db.message() << "\n";
    return false;
}

// "YYYY-MM-DD HH:MM:SS.mmm" (UTC), cut to the millisecond; "-" outside the calendar. Digits are
// placed by hand: a listing prints one for every row.
std::string timeText(double t) {
    // A tenth of a microsecond absorbs the binary form of a time stored to the microsecond.
    const double ms = std::floor(t * 1000.0 + 1e-4);
    struct tm parts {};
    if (!std::isfinite(ms) || !utilGmtime(int64_t(std::floor(ms / 1000.0)), &parts) ||
        parts.tm_year + 1900 < 1 || parts.tm_year + 1900 > 9999)
        return "-";
    std::string text = "0000-00-00 00:00:00.000";
    auto put = [&text](size_t at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + size_t(i)] = char('0' + value % 10);
    };
    put(0, parts.tm_year + 1900, 4);
    put(5, parts.tm_mon + 1, 2);
    put(8, parts.tm_mday, 2);
    put(11, parts.tm_hour, 2);
    put(14, parts.tm_min, 2);
    put(17, parts.tm_sec, 2);
    put(20, int(ms - std::floor(ms / 1000.0) * 1000.0), 3);
    return text;
}

// text and a blank, left-aligned in width characters ("%-Ns " of printf).
void appendPadded(std::string* line, const std::string& text, size_t width) {
    *line += text;
    if (text.size() < width) line->append(width - text.size(), ' ');
    *line += ' ';
}

// value with the decimals given, right-aligned in width characters, and a blank ("%N.Df ").
void appendFixed(std::string* line, double value, int decimals, size_t width) {
    char text[64];
    auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    const size_t n = ec == std::errc() ? size_t(end - text) : 0;
    if (n < width) line->append(width - n, ' ');
    line->append(text, n);
    *line += ' ';
}

int writeDsn(const Options& o, const KVR_DSN_ENTRY& entry) {
    std::string file = kvrUserDsnFile();
    std::string error;
    if (!kvrWriteDsnSection(file, o.dsn, entry, &error)) {
        std::cerr << "kvrdb: " << error << "\n";
        return 1;
    }
    std::cout << "data source \"" << o.dsn << "\" written to " << file << "\n";
    return 0;
}

int dsnSqlite(const Options& o, const std::string& file) {
    std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
    if (driver.empty()) {
        std::cerr << "kvrdb: the SQLite ODBC driver (" << kvrOdbcDriverLabel("libsqlite3odbc.so")
                  << ") is not installed\n";
        return 1;
    }
    return writeDsn(o, kvrSqliteDsnEntry(driver, file));
}

struct PostgresSource {
    std::string host;
    int port = 5432;
    std::string database;
    std::string user;            // empty: no UID written
    bool passwordStdin = false;  // read the password from standard input and store it as PWD
};

// The password is never taken from the command line, where every user of the host could read it:
// it comes from standard input into a file only its owner can read, or stays out of the file and
// comes from the environment of each program.
int dsnPostgres(const Options& o, const PostgresSource& source) {
    std::string password;
    if (source.passwordStdin) {
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        std::string why;
        if (!kvrPasswordStorable(password, &why)) {
            std::cerr << "kvrdb: dsn postgres: " << why << " (read from standard input)\n";
            return kExitUsage;
        }
    }
    std::string driver = kvrFindOdbcDriver("psqlodbcw.so");
    if (driver.empty()) {
        std::cerr << "kvrdb: the PostgreSQL ODBC driver (" << kvrOdbcDriverLabel("psqlodbcw.so")
                  << ") is not installed\n";
        return 1;
    }
    int rc = writeDsn(o, kvrPostgresDsnEntry(driver, source.host, source.port, source.database,
                                             source.user, password));
    if (rc != 0) return rc;
    std::cout << "user: "
              << (source.user.empty() ? std::string("none written ($") + KVR_USER_VARIABLE +
                                            " at run time, else " + KVR_USER + ")"
                                      : source.user)
              << "\n";
    if (password.empty())
        std::cout << "password: none written ($" << KVR_PASSWORD_VARIABLE
                  << " at run time, else the default)\n";
    else
        std::cout << "password: written, the file readable by its owner only\n";
    return 0;
}

int init(const Options& o) {
    KvrConnection db;
    if (!connect(o, db)) return 1;
    std::vector<std::string> created;
    KVR_SQL_RESULT r = kvrCreateSchema(db, &created);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot create the tables: " << r.message << "\n";
        return 1;
    }
    if (created.empty()) std::cout << "all tables and indexes exist\n";
    for (const std::string& name : created) std::cout << "created " << name << "\n";
    return 0;
}

// Why a channel's codes cannot go into SITECHAN ("" when they can): the store's code rule, which
// every writer of files and rows keeps.
std::string codeFault(const std::string& sta, const std::string& chan, const std::string& lcode) {
    std::string why;
    if (!kvrCodeIsValid(KvrCodeKind::Station, sta, &why)) return "station: " + why;
    if (!kvrCodeIsValid(KvrCodeKind::Channel, chan, &why)) return "channel: " + why;
    if (!kvrCodeIsValid(KvrCodeKind::Location, lcode, &why)) return "location: " + why;
    return {};
}

// "STA.CHAN[.LOC]" of a row, escaped for printing.
std::string channelName(const KVR_SITECHAN_ROW& row) {
    return utilPrintableString(row.sta + "." + row.chan +
                               (kvrLocationIsNone(row.lcode) ? "" : "." + row.lcode));
}

void printSitechan(const KVR_SITECHAN_ROW& row) {
    std::printf("%-7s %-3s %-2s %f\n", utilPrintableString(row.sta).c_str(),
                utilPrintableString(row.chan).c_str(), utilPrintableString(row.lcode).c_str(),
                row.sps);
}

int sitechanAdd(const Options& o, const std::string& sta, const std::string& chan,
                const std::string& lcode, double sps) {
    if (!(sps > 0) || !std::isfinite(sps)) {
        std::cerr << "kvrdb: the sample rate must be a positive number\n";
        return 1;
    }
    if (std::string fault = codeFault(sta, chan, lcode); !fault.empty()) {
        std::cerr << "kvrdb: " << channelName({sta, chan, lcode, sps})
                  << " cannot name files and rows (" << utilPrintableString(fault)
                  << "): codes are letters, digits, \"-\" and \"_\"\n";
        return kExitUsage;
    }
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_SITECHAN_ROW row = kvrSitechanKey(sta, chan, lcode, sps);
    KVR_SQL_RESULT r = kvrPutSitechan(db, row);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot write SITECHAN: " << r.message << "\n";
        return 1;
    }
    printSitechan(row);
    return 0;
}

int sitechanList(const Options& o) {
    KvrConnection db;
    if (!connect(o, db)) return 1;
    std::vector<KVR_SITECHAN_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectSitechan(db, &rows);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot read SITECHAN: " << r.message << "\n";
        return 1;
    }
    for (const KVR_SITECHAN_ROW& row : rows) printSitechan(row);
    return 0;
}

int sitechanLoad(const Options& o, const std::string& server) {
    if (!kvrdbSitechanLoadAvailable()) {
        std::cerr << "kvrdb: sitechan load: not built with the ISI library\n";
        return 1;
    }
    std::vector<KVR_SITECHAN_ROW> rows;
    std::string error;
    if (!kvrdbReadServerChannels(server, &rows, &error)) {
        std::cerr << "kvrdb: sitechan load: " << error << "\n";
        return 1;
    }
    KvrConnection db;
    if (!connect(o, db)) return 1;
    int written = 0, refused = 0;
    for (const KVR_SITECHAN_ROW& given : rows) {
        // A server's names become codes of files, rows and keys: what cannot be one is refused.
        if (std::string fault = codeFault(given.sta, given.chan, given.lcode); !fault.empty()) {
            std::fprintf(stderr, "kvrdb: sitechan load: %s refused: %s\n",
                         channelName(given).c_str(), utilPrintableString(fault).c_str());
            ++refused;
            continue;
        }
        KVR_SITECHAN_ROW row = kvrSitechanKey(given.sta, given.chan, given.lcode, given.sps);
        KVR_SQL_RESULT r = kvrPutSitechan(db, row);
        if (!r.ok()) {
            std::cerr << "kvrdb: cannot write SITECHAN: " << r.message << "\n";
            return 1;
        }
        printSitechan(row);
        ++written;
    }
    std::cout << written << " channel(s) written";
    if (refused > 0) std::cout << ", " << refused << " refused (names that cannot be codes)";
    std::cout << "\n";
    return 0;
}

int files(const Options& o, const std::string& sta) {
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_AVAILABILITY_QUERY query;
    query.station = sta;
    query.withPaths = query.ordered = true;
    std::printf("%-7s %-3s %-2s %-23s %10s %11s %-12s %s\n", "STA", "CH", "LC", "TBEGIN", "TQTY",
                "SPS", "CREATER", "CPATH");
    size_t count = 0;
    // Each line is put together in one buffer and written at once: the listing of a large
    // catalogue should cost little beyond reading it.
    std::string line;
    KVR_SQL_RESULT r = kvrReadAvailabilityRows(db, query, [&](const KVR_AVAILABILITY_ROW& row) {
        line.clear();
        appendPadded(&line, utilPrintableString(row.station), 7);
        appendPadded(&line, utilPrintableString(row.channel), 3);
        appendPadded(&line, utilPrintableString(row.location), 2);
        appendPadded(&line, row.hasTbegin ? timeText(row.tbegin) : "-", 23);
        appendFixed(&line, row.tqty, 3, 10);
        appendFixed(&line, row.sps, 6, 11);
        appendPadded(&line, utilPrintableString(row.creater), 12);
        line += utilPrintableString(row.cpath);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
        ++count;
    });
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot read FILELIST: " << r.message << "\n";
        return 1;
    }
    std::printf("%zu row(s)\n", count);
    return 0;
}

// The data directory a subcommand works on: --data-dir when given, else the store's.
bool dataDirectory(const std::string& given, KVR_STORE* store) {
    std::string error;
    if (given.empty() ? kvrStoreFromProfile(store, &error)
                      : kvrStoreFromFolder(given, "--data-dir", false, store, &error))
        return true;
    std::cerr << "kvrdb: " << utilPrintableString(error)
              << (given.empty() ? " (or give --data-dir)" : "") << "\n";
    return false;
}

int check(const Options& o, const std::string& given, bool repair, bool adopt) {
    KVR_STORE store;
    if (!dataDirectory(given, &store)) return kExitUsage;
    const std::string& dataDirectory = store.dataDirectory;
    KvrConnection db;
    if (!connect(o, db)) return 2;
    std::vector<KVR_CHECK_FINDING> findings;
    std::string error;
    size_t elsewhere = 0;
    if (!kvrCheckCatalog(db, dataDirectory, &findings, &error, &elsewhere)) {
        std::cerr << "kvrdb: " << error << "\n";
        return 2;
    }
    if (elsewhere > 0)
        std::printf(
            "elsewhere %zu rows of stations another data directory holds (kvrdb datadir list), "
            "not checked\n",
            elsewhere);
    if (repair) {
        std::vector<std::string> done;
        if (!kvrRepairCatalog(db, dataDirectory, adopt, &findings, &done, &error)) {
            std::cerr << "kvrdb: " << utilPrintableString(error) << "\n";
            return 2;
        }
        for (const std::string& line : done)
            std::printf("mended   %s\n", utilPrintableString(line).c_str());
    }
    for (const KVR_CHECK_FINDING& f : findings)
        std::printf("%-8s %s: %s\n", kvrFindingName(f.kind), utilPrintableString(f.cpath).c_str(),
                    utilPrintableString(f.detail).c_str());
    if (findings.empty()) {
        std::printf("catalogue and %s agree\n", utilPrintableString(dataDirectory).c_str());
        return 0;
    }
    std::printf("%zu problem(s)\n", findings.size());
    return 1;
}

int datadirList(const Options& o, const std::string& sta) {
    KvrConnection db;
    if (!connect(o, db)) return 1;
    std::vector<KVR_DATADIR_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectDataDirs(db, sta, "", &rows);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot read DATADIR: " << r.message << "\n";
        return 1;
    }
    std::printf("%-7s %-12s %-19s %s\n", "STA", "CREATER", "SINCE", "DATA DIRECTORY");
    for (const KVR_DATADIR_ROW& row : rows)
        std::printf("%-7s %-12s %-19s %s\n", utilPrintableString(row.sta).c_str(),
                    utilPrintableString(row.creater).c_str(), row.lddate.c_str(),
                    utilPrintableString(kvrDataDirText(row)).c_str());
    std::printf("%zu row(s)\n", rows.size());
    return 0;
}

int datadirRelease(const Options& o, const KVR_DATADIR_ROW& row) {
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_SQL_RESULT r = kvrReleaseDataDir(db, row);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot write DATADIR: " << r.message << "\n";
        return 1;
    }
    if (r.rows == 0) {
        std::cerr << "kvrdb: no row of station " << utilPrintableString(row.sta) << " ("
                  << row.creater << ") names " << utilPrintableString(kvrDataDirText(row))
                  << " (see kvrdb datadir list)\n";
        return 3;
    }
    std::printf("released station %s (%s) from %s\n", utilPrintableString(row.sta).c_str(),
                row.creater.c_str(), utilPrintableString(kvrDataDirText(row)).c_str());
    return 0;
}

// A time option, left as it is when not given (the caller's default); false after saying what
// is wrong.
bool optionTime(const char* command, const std::string& text, const char* what, double* t) {
    if (text.empty() || utilParseTime(text.c_str(), static_cast<double>(std::time(nullptr)), t))
        return true;
    std::cerr << "kvrdb " << command << ": bad " << what << " time \"" << utilPrintableString(text)
              << "\"; use " << UTIL_TIME_FORMS << "\n";
    return false;
}

struct AvailabilityOptions {
    std::vector<std::string> streams;
    std::string begin, end, creater = "all", format = "text", dataDir, plot;
    double tolerance = -1.0;
    bool gaps = false, verify = false;
};

// kvrdb availability: 0 with data, 3 when nothing matched, 2 usage, 1 the catalogue failed.
int availability(const Options& o, const AvailabilityOptions& a) {
    KVR_AVAILABILITY_REQUEST request;
    if (!optionTime("availability", a.begin, "--begin", &request.begin) ||
        !optionTime("availability", a.end, "--end", &request.end))
        return kExitUsage;
    if (request.begin > 0 && request.end > 0 && request.end <= request.begin) {
        std::cerr << "kvrdb availability: the window ends (" << kvrIsoTime(request.end)
                  << ") before it begins (" << kvrIsoTime(request.begin) << ")\n";
        return kExitUsage;
    }
    request.tolerance = a.tolerance;
    request.query.creater = a.creater == "recorder"  ? KvrCreaterFilter::Recorder
                            : a.creater == "gleaner" ? KvrCreaterFilter::Retrieval
                                                     : KvrCreaterFilter::All;
    for (const std::string& text : a.streams) {
        KVR_STREAM_PATTERN pattern;
        std::string why;
        if (!kvrParseStreamPattern(text, &pattern, &why)) {
            std::cerr << "kvrdb availability: bad stream \"" << utilPrintableString(text)
                      << "\": " << why << "\n";
            return kExitUsage;
        }
        request.patterns.push_back(pattern);
    }
    if (a.verify) {
        KVR_STORE store;
        if (!dataDirectory(a.dataDir, &store)) return kExitUsage;
        request.verify = true;
        request.dataDirectory = store.dataDirectory;
    }
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_AVAILABILITY_REPORT report;
    KVR_SQL_RESULT r = kvrReadAvailabilityReport(db, &request, &report);
    if (!r.ok()) {
        std::cerr << "kvrdb availability: cannot read FILELIST: " << r.message << "\n";
        return 1;
    }
    for (const KVR_STREAM_PATTERN& p : request.patterns)
        if (p.matched == 0)
            std::cerr << "kvrdb availability: no channel of the catalogue matches \""
                      << utilPrintableString(p.text) << "\"\n";
    const KvrReportFormat format = a.format == "csv"    ? KvrReportFormat::Csv
                                   : a.format == "json" ? KvrReportFormat::Json
                                                        : KvrReportFormat::Text;
    kvrWriteAvailabilityReport(stdout, request, report, format, a.gaps);
    const bool nothing = report.availability.channels.empty();
    if (nothing)
        std::cerr << "kvrdb availability: no data in the window\n";
#ifdef KVRDB_WITH_PLOT
    if (!a.plot.empty() && !nothing) {
        kvrplot::StartOffscreen();
        std::string error;
        if (!kvrplot::SavePng(kvrplot::DrawCoverage(report.availability), a.plot, &error)) {
            std::cerr << "kvrdb availability: " << utilPrintableString(error) << "\n";
            return 1;
        }
    }
#endif
    return nothing ? kExitNothingMatched : 0;
}

#ifdef KVRDB_WITH_PLOT
struct DayPlotOptions {
    std::string stream, day, png, dataDir;
    int lineMinutes = 30;
};

// kvrdb dayplot: 0 with samples, 3 when the day holds none, 2 usage, 1 a failure.
int dayPlot(const Options& o, const DayPlotOptions& d) {
    KVR_STREAM_PATTERN stream;
    std::string why;
    if (!kvrParseStreamPattern(d.stream, &stream, &why) ||
        d.stream.find_first_of("*?") != std::string::npos) {
        std::cerr << "kvrdb dayplot: bad stream \"" << utilPrintableString(d.stream)
                  << "\": STA.CHN[.LOC] of one channel expected\n";
        return kExitUsage;
    }
    double t = 0;
    if (!optionTime("dayplot", d.day.empty() ? "now" : d.day, "--day", &t)) return kExitUsage;
    KVR_STORE store;
    if (!dataDirectory(d.dataDir, &store)) return kExitUsage;
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_CHANNEL_DAY day;
    std::string error;
    if (!kvrReadChannelDay(db, store.dataDirectory, stream.station, stream.channel,
                           stream.noLocation ? "" : stream.location, kvrDayStart(t), &day,
                           &error)) {
        std::cerr << "kvrdb dayplot: " << utilPrintableString(error) << "\n";
        return 1;
    }
    for (const std::string& line : day.unread)
        std::cerr << "kvrdb dayplot: left out " << utilPrintableString(line) << "\n";
    if (day.segments.empty()) {
        std::cerr << "kvrdb dayplot: no sample of " << utilPrintableString(d.stream) << " on "
                  << kvrIsoTime(kvrDayStart(t)).substr(0, 10) << "\n";
        return kExitNothingMatched;
    }
    kvrplot::StartOffscreen();
    if (!kvrplot::SavePng(kvrplot::DrawDayPlot(day, d.lineMinutes), d.png, &error)) {
        std::cerr << "kvrdb dayplot: " << utilPrintableString(error) << "\n";
        return 1;
    }
    size_t samples = 0;
    for (const KVR_DAY_SEGMENT& s : day.segments) samples += s.samples.size();
    std::printf("%s: %zu sample(s) of %s in %zu file piece(s)\n",
                utilPrintableString(d.png).c_str(), samples,
                kvrIsoTime(day.dayStart).substr(0, 10).c_str(), day.segments.size());
    return 0;
}
#endif

#ifdef KVRDB_WITH_EXPORT
int exportMseed(const Options& o, KVR_EXPORT_OPTIONS e, const std::string& begin,
                const std::string& end) {
    if (!optionTime("export", begin, "--begin", &e.begin) ||
        !optionTime("export", end, "--end", &e.end))
        return kExitUsage;
    KVR_STORE store;
    if (!dataDirectory(e.dataDirectory, &store)) return kExitUsage;
    e.dataDirectory = store.dataDirectory;
    KvrConnection db;
    if (!connect(o, db)) return 1;
    KVR_EXPORT_SUMMARY summary;
    std::string error;
    const bool done = kvrExportMiniSeed(db, e, &summary, &error);
    for (const std::string& warning : summary.warnings)
        std::printf("warning  %s\n", utilPrintableString(warning).c_str());
    std::printf("%llu row(s): %llu sample(s) in %llu record(s) of %llu day file(s) under %s\n",
                static_cast<unsigned long long>(summary.rows),
                static_cast<unsigned long long>(summary.samples),
                static_cast<unsigned long long>(summary.records),
                static_cast<unsigned long long>(summary.files),
                utilPrintableString(e.outputFolder).c_str());
    if (!done) {
        std::cerr << "kvrdb export: " << utilPrintableString(error) << "\n";
        return 1;
    }
    if (!summary.warnings.empty()) return 1;
    if (summary.samples == 0 && summary.samplesPresent == 0) {
        // Most often a mistyped station or channel: say so rather than report an empty success.
        // Samples an earlier export already holds did match: that is no miss.
        if (summary.rows == 0)
            std::cerr << "kvrdb export: no catalogued row matches the station and channel given\n";
        else
            std::cerr << "kvrdb export: no sample of the " << summary.rows
                      << " matching row(s) lies in the time window\n";
        return kExitNothingMatched;
    }
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kvrdb: set up, fill and check the KVR catalogue (FILELIST, SITECHAN) over ODBC"};
    programAddVersion(app, "kvrdb");
    app.require_subcommand(1);
    Options o;
    app.add_option("--dsn", o.dsn, "ODBC data source name")->capture_default_str();
    app.add_option("--user", o.user,
                   "database user (default: $KVR_CATALOGUE_USER, the data source's UID, else KVR)");
    app.add_option("--password", o.password,
                   "database password; visible to every user of the host while kvrdb starts, "
                   "prefer --password-file or $KVR_CATALOGUE_PASSWORD (default: "
                   "$KVR_CATALOGUE_PASSWORD, the data source's PWD, else JXQ)");
    app.add_option("--password-file", o.passwordFile,
                   "read the database password from the first line of FILE")
        ->excludes("--password");

    int rc = 0;
    auto* dsn =
        app.add_subcommand("dsn", std::string("write the data source into ") + kvrUserDsnPlace());
    dsn->require_subcommand(1);
    std::string sqliteFile;
    auto* dsnSqliteCmd = dsn->add_subcommand("sqlite", "an SQLite catalogue file");
    dsnSqliteCmd->add_option("FILE", sqliteFile, "database file")->required();
    dsnSqliteCmd->callback([&] { rc = dsnSqlite(o, sqliteFile); });
    PostgresSource pg;
    auto* dsnPgCmd = dsn->add_subcommand("postgres", "a PostgreSQL catalogue");
    dsnPgCmd->add_option("HOST", pg.host, "server host")->required();
    dsnPgCmd->add_option("PORT", pg.port, "server port")->required()->check(CLI::Range(1, 65535));
    dsnPgCmd->add_option("DATABASE", pg.database, "database name")->required();
    dsnPgCmd->add_option(
        "--user", pg.user,
        std::string("the role the programs log in as, written as UID (default: $") +
            KVR_USER_VARIABLE + " at run time, else KVR)");
    dsnPgCmd->add_flag("--password-stdin", pg.passwordStdin,
                       std::string("read the role's password from the first line of standard "
                                   "input and write it as PWD, the file then readable by its "
                                   "owner only (default: none written; $") +
                           KVR_PASSWORD_VARIABLE + " at run time, else JXQ)");
    dsnPgCmd->callback([&] { rc = dsnPostgres(o, pg); });

    app.add_subcommand("init", "create the tables and indexes that are missing")->callback([&] {
        rc = init(o);
    });

    auto* sitechan = app.add_subcommand("sitechan", "the SITECHAN table of sample rates");
    sitechan->require_subcommand(1);
    std::string sta, chan, lcode, server;
    double sps = 0;
    auto* add = sitechan->add_subcommand("add", "add or replace one channel");
    add->add_option("STA", sta, "station (stored lower case)")->required();
    add->add_option("CHAN", chan, "channel (stored upper case)")->required();
    add->add_option("LCODE", lcode, "location, \"??\" or \"\" for none")->required();
    add->add_option("SPS", sps, "samples per second")->required();
    add->callback([&] { rc = sitechanAdd(o, sta, chan, lcode, sps); });
    sitechan->add_subcommand("list", "list the rows")->callback([&] { rc = sitechanList(o); });
    auto* load = sitechan->add_subcommand("load", "rows from an ISI server's configuration list");
    load->add_option("SERVER", server, "HOST[:PORT]")->required();
    load->callback([&] { rc = sitechanLoad(o, server); });

    std::string fileSta;
    auto* filesCmd = app.add_subcommand("files", "list FILELIST rows");
    filesCmd->add_option("--sta", fileSta, "only this station");
    filesCmd->callback([&] { rc = files(o, fileSta); });

    std::string dataDir;
    auto* checkCmd = app.add_subcommand(
        "check", "report rows without files, sizes that disagree and files without rows");
    checkCmd->add_option(
        "--data-dir", dataDir,
        std::string("data directory (default: DIR of [DATA] in ") + KVR_PROFILE + ")");
    bool repair = false, adopt = false;
    checkCmd->add_flag(
        "--repair", repair,
        "rows take their files' true lengths; rows whose files are gone are deleted");
    checkCmd->add_flag("--adopt", adopt, "with --repair: register files that have no row")
        ->needs(checkCmd->get_option("--repair"));
    checkCmd->callback([&] { rc = check(o, dataDir, repair, adopt); });

    auto* datadir = app.add_subcommand(
        "datadir", "which data directory holds each station's files (a shared catalogue)");
    datadir->require_subcommand(1);
    std::string datadirSta;
    auto* datadirListCmd = datadir->add_subcommand("list", "list the stations' data directories");
    datadirListCmd->add_option("--sta", datadirSta, "only this station");
    datadirListCmd->callback([&] { rc = datadirList(o, datadirSta); });
    KVR_DATADIR_ROW released;
    released.creater = KVR_CREATER_RECORDER;
    auto* releaseCmd = datadir->add_subcommand(
        "release",
        "forget that a data directory holds a station's files (a recorder gone for good, so that "
        "another may record the station); exit 3 when no such row");
    releaseCmd->add_option("STA", released.sta, "station")->required();
    releaseCmd->add_option("--host", released.host, "host of the data directory")->required();
    releaseCmd->add_option("--dir", released.dir, "the data directory on that host")->required();
    releaseCmd->add_option("--creater", released.creater, "NRTSDISKLOOP or Gleaner")
        ->capture_default_str();
    releaseCmd->callback([&] { rc = datadirRelease(o, released); });

    AvailabilityOptions availabilityOptions;
    auto* availabilityCmd = app.add_subcommand(
        "availability",
        "what the archive holds: per station, channel, location and rate the continuous spans, "
        "earliest and latest sample and the coverage of the window (exit 0 with data, 3 when "
        "nothing matched, 2 usage)");
    availabilityCmd->add_option(
        "STREAM", availabilityOptions.streams,
        "STA.CHN[.LOC], \"*\" and \"?\" as wildcards; without LOC any location, \"--\" for none "
        "(default: every channel)");
    availabilityCmd->add_option("--begin", availabilityOptions.begin,
                                std::string("window start: ") + UTIL_TIME_FORMS +
                                    " (default: the earliest row)");
    availabilityCmd->add_option("--end", availabilityOptions.end,
                                "window end, the same forms (default: the latest row's end)");
    availabilityCmd->add_option("--creater", availabilityOptions.creater,
                                "whose rows: recorder, gleaner or all")
        ->check(CLI::IsMember({"recorder", "gleaner", "all"}))
        ->capture_default_str();
    availabilityCmd
        ->add_option("--tolerance", availabilityOptions.tolerance,
                     "seconds within which one row continues another (default: half a sample "
                     "interval)")
        ->check(CLI::NonNegativeNumber);
    availabilityCmd->add_option("--format", availabilityOptions.format, "text, csv or json")
        ->check(CLI::IsMember({"text", "csv", "json"}))
        ->capture_default_str();
    availabilityCmd->add_flag("--gaps", availabilityOptions.gaps,
                              "every gap and overlap with its start, end and length");
    availabilityCmd->add_flag("--verify", availabilityOptions.verify,
                              "spans from the files' true lengths, and a line per row that "
                              "disagrees with its file");
    availabilityCmd->add_option("--data-dir", availabilityOptions.dataDir,
                                std::string("with --verify: the data directory (default: DIR of "
                                            "[DATA] in ") +
                                    KVR_PROFILE + ")");
#ifdef KVRDB_WITH_PLOT
    availabilityCmd->add_option("--plot", availabilityOptions.plot,
                                "also draw the coverage into this PNG file");
#endif
    availabilityCmd->callback([&] { rc = availability(o, availabilityOptions); });

#ifdef KVRDB_WITH_PLOT
    DayPlotOptions dayPlotOptions;
    auto* dayPlotCmd = app.add_subcommand(
        "dayplot",
        "draw one UTC day of one channel's samples from the archive as a 24-hour drum PNG "
        "(exit 0 drawn, 3 when the day holds no sample, 2 usage)");
    dayPlotCmd->add_option("STREAM", dayPlotOptions.stream, "STA.CHN[.LOC], \"--\" for none")
        ->required();
    dayPlotCmd->add_option("--png", dayPlotOptions.png, "the picture to write")->required();
    dayPlotCmd->add_option(
        "--day", dayPlotOptions.day,
        std::string("any time of the day: ") + UTIL_TIME_FORMS + " (default: now)");
    dayPlotCmd->add_option("--line-minutes", dayPlotOptions.lineMinutes, "minutes a line")
        ->check(CLI::IsMember({15, 30, 60}))
        ->capture_default_str();
    dayPlotCmd->add_option(
        "--data-dir", dayPlotOptions.dataDir,
        std::string("data directory (default: DIR of [DATA] in ") + KVR_PROFILE + ")");
    dayPlotCmd->callback([&] { rc = dayPlot(o, dayPlotOptions); });
#endif

#ifdef KVRDB_WITH_EXPORT
    KVR_EXPORT_OPTIONS exportOptions;
    std::string exportBegin, exportEnd;
    auto* exportCmd = app.add_subcommand(
        "export",
        "write the catalogued files as miniSEED, an SDS tree of day files "
        "(DIR/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DOY), float32, start times from the rows; "
        "exit 1 when a row could not be exported whole, 3 when no sample matched");
    exportCmd->add_option("--mseed", exportOptions.outputFolder, "the SDS root folder (made)")
        ->required();
    exportCmd->add_option("--sta", exportOptions.station, "only this station");
    exportCmd->add_option("--chan", exportOptions.channel, "only this channel");
    exportCmd->add_option("--begin", exportBegin,
                          std::string("only samples from this time: ") + UTIL_TIME_FORMS);
    exportCmd->add_option("--end", exportEnd, "only samples before this time, the same forms");
    exportCmd->add_option("--network", exportOptions.network, "network code, 1 or 2 characters")
        ->capture_default_str();
    exportCmd->add_option(
        "--data-dir", exportOptions.dataDirectory,
        std::string("data directory (default: DIR of [DATA] in ") + KVR_PROFILE + ")");
    exportCmd->callback([&] { rc = exportMseed(o, exportOptions, exportBegin, exportEnd); });
#endif

    // The parser reads a copy, so that a password typed on the command line leaves the process
    // list before anything else happens.
    ProgramArguments args(argc, argv);
    if (programHideSecrets(argc, argv, "--password"))
        std::cerr << "kvrdb: warning: a password on the command line can be read by every user "
                     "of this host; use --password-file FILE or $"
                  << KVR_PASSWORD_VARIABLE << "\n";
    if (int status = programParse(app, argc, args.argv.data()); status >= 0) return status;
    return rc;
}
