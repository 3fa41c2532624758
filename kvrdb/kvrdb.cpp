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
#include <CLI/CLI.hpp>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/check.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/owners.h"
#include "kvr/store.h"
#ifdef KVRDB_WITH_EXPORT
#include "kvr/mseed_export.h"
#endif
#include "commandline/program.h"
#include "kvrdb/sitechan_load.h"
#include "util/util.h"

namespace {

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
    if (db.open(o.dsn, credentials.user, credentials.password)) return true;
    std::cerr << "kvrdb: cannot open data source \"" << o.dsn << "\": " << db.message() << "\n";
    return false;
}

std::string timeText(double t) {
    int year, month, day, hour, minute;
    float seconds;
    if (!SplitEpochTime(t, &year, &month, &day, &hour, &minute, &seconds)) return "-";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%06.3f", year, month, day, hour,
                  minute, std::floor(static_cast<double>(seconds) * 1000.0) / 1000.0);
    return text;
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
    std::vector<KVR_FILELIST_ROW> rows;
    std::string filter = sta.empty() ? "" : "sta='" + kvrSqlQuote(sta) + "'";
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, filter, &rows);
    if (!r.ok()) {
        std::cerr << "kvrdb: cannot read FILELIST: " << r.message << "\n";
        return 1;
    }
    std::printf("%-7s %-3s %-2s %-23s %10s %11s %-12s %s\n", "STA", "CH", "LC", "TBEGIN", "TQTY",
                "SPS", "CREATER", "CPATH");
    for (const KVR_FILELIST_ROW& row : rows)
        std::printf("%-7s %-3s %-2s %-23s %10.3f %11.6f %-12s %s\n",
                    utilPrintableString(row.sta).c_str(), utilPrintableString(row.ch).c_str(),
                    utilPrintableString(row.lcode).c_str(), timeText(row.tbegin).c_str(), row.tqty,
                    row.sps, utilPrintableString(row.creater).c_str(),
                    utilPrintableString(row.cpath).c_str());
    std::printf("%zu row(s)\n", rows.size());
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

#ifdef KVRDB_WITH_EXPORT
// The time of an export limit (left as it is, no limit, when not given); false after saying
// what is wrong.
bool exportTime(const std::string& text, const char* what, double* t) {
    if (text.empty() || utilParseTime(text.c_str(), static_cast<double>(std::time(nullptr)), t))
        return true;
    std::cerr << "kvrdb export: bad " << what << " time \"" << utilPrintableString(text)
              << "\"; use " << UTIL_TIME_FORMS << "\n";
    return false;
}

int exportMseed(const Options& o, KVR_EXPORT_OPTIONS e, const std::string& begin,
                const std::string& end) {
    if (!exportTime(begin, "--begin", &e.begin) || !exportTime(end, "--end", &e.end))
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
