// The disk loop and the recorder's rows on a real SQLite catalogue through ODBC.
#include <stdlib.h>

#include <filesystem>
#include <regex>

#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "rillet/log.h"
#include "rillet/settings.h"
#include "rillet_catalogue_support.h"

using namespace rillet_test;

namespace {

struct CatalogueRig {
    ScratchDir dir;
    CRilletLog log;
    std::unique_ptr<CRilletSettings> settings;
    std::unique_ptr<CKvrCatalogue> catalogue;

    explicit CatalogueRig(bool cursorLibrary = true) {
        WriteText(dir.Path("rillet.ini"), "[LOG]\nDIR=" + dir.Path("log") + "\n");
        WriteText(dir.Path("KVR.ini"), "[DATA]\nDIR=" + dir.Path("data") + "\n");
        settings =
            std::make_unique<CRilletSettings>(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        settings->LoadSettings(nullptr);
        catalogue = std::make_unique<CKvrCatalogue>(log, *settings);
        std::string why;
        if (!OpenSqliteCatalogue(*catalogue, dir.Path("kvr.db"), &why, cursorLibrary))
            ADD_FAILURE() << "catalogue: " << why;
    }

    // A row and (when onDisk) a file of the right size for it.
    void AddFile(const std::string& sta, const std::string& cpath, double tbegin, double tqty,
                 const char* creater, bool onDisk = true) {
        KVR_FILELIST_ROW row;
        row.sta = sta;
        row.ch = "BHZ";
        row.tbegin = tbegin;
        row.tqty = tqty;
        row.sps = 20;
        row.cpath = cpath;
        row.creater = creater;
        ASSERT_TRUE(kvrInsertFileListRow(catalogue->Connection(), row).ok());
        if (!onDisk) return;
        std::string full = settings->DataPath(cpath);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        WriteText(full, std::string(static_cast<size_t>(kvrLoopFileSize(20, tqty)), 'x'));
    }

    std::vector<std::string> Paths(const std::string& sta) {
        std::vector<KVR_FILELIST_ROW> rows;
        kvrSelectFileListRows(catalogue->Connection(), "sta='" + sta + "'", &rows);
        std::vector<std::string> out;
        for (const auto& r : rows) out.push_back(r.cpath);
        return out;
    }
};

}  // namespace

TEST(RilletCatalogue, TrimDeletesOldestRecorderFilesUntilBelowTheLimit) {
    CatalogueRig rig;
    const uint32_t limit = 1048576;
    // Five files of 2450 s at 20 sps (196512 bytes each): 982560 bytes, under the limit.
    for (int i = 0; i < 5; ++i) {
        rig.AddFile("abc", "abc/13/f" + std::to_string(i), 1000.0 + i * 2450, 2450, "NRTSDISKLOOP");
    }
    rig.AddFile("abc", "abc/g/old", 1.0, 3600, "Gleaner");       // older than all, never touched
    rig.AddFile("xyz", "xyz/13/f0", 0.5, 3600, "NRTSDISKLOOP");  // another station's loop
    rig.catalogue->TrimDiskLoop("abc", limit);
    EXPECT_EQ(rig.Paths("abc").size(), 6u);

    // Two more files and one whose file is already gone: 1375584 bytes counted.
    rig.AddFile("abc", "abc/13/f5", 13250, 2450, "NRTSDISKLOOP");
    rig.AddFile("abc", "abc/13/gone", 999, 2450, "NRTSDISKLOOP", false);
    rig.AddFile("abc", "abc/13/empty", 998, 0, "NRTSDISKLOOP");
    EXPECT_GE(rig.catalogue->DiskLoopSize("abc"), limit);
    rig.catalogue->TrimDiskLoop("abc", limit);

    EXPECT_LT(rig.catalogue->DiskLoopSize("abc"), limit);
    std::vector<std::string> left = rig.Paths("abc");
    EXPECT_EQ(left, (std::vector<std::string>{"abc/g/old", "abc/13/f1", "abc/13/f2", "abc/13/f3",
                                              "abc/13/f4", "abc/13/f5"}));
    EXPECT_FALSE(std::filesystem::exists(rig.settings->DataPath("abc/13/f0")));
    EXPECT_FALSE(std::filesystem::exists(rig.settings->DataPath("abc/13/empty")));
    EXPECT_TRUE(std::filesystem::exists(rig.settings->DataPath("abc/g/old")));
    EXPECT_EQ(rig.Paths("xyz").size(), 1u);
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_TRUE(AnyLineHas(log, "#Deleted file '" + rig.settings->DataPath("abc/13/f0") + "'#"));
    EXPECT_FALSE(AnyLineHas(log, "gone'"));  // a missing file loses its row without a line

    // A total exactly at the limit trims too.
    uint32_t now = rig.catalogue->DiskLoopSize("abc");
    rig.catalogue->TrimDiskLoop("abc", now);
    EXPECT_LT(rig.catalogue->DiskLoopSize("abc"), now);
}

TEST(RilletCatalogue, LoopSizeIsKeptBetweenTrimsAndCountedAgainAtTheLimit) {
    CatalogueRig rig;
    const uint32_t limit = 1048576;
    rig.AddFile("abc", "abc/13/f0", 1000, 2450, "NRTSDISKLOOP");  // 196512 bytes
    rig.catalogue->TrimDiskLoop("abc", limit);
    // Nothing but the recorder changes its loop: a row added behind its back is not seen...
    rig.AddFile("abc", "abc/13/f1", 3450, 12250, "NRTSDISKLOOP");  // 980512 bytes
    rig.catalogue->TrimDiskLoop("abc", limit);
    EXPECT_EQ(rig.Paths("abc").size(), 2u);
    // ...but the files it registers and the appends it reports are, and once they take the kept
    // size to the limit the rows are counted again and the oldest file goes.
    rig.catalogue->RegisterNewFile("abc/13/f2", "abc", 20000, 245, 20, "BHZ", "??", -1, -1);
    rig.catalogue->AddToDiskLoop("abc", 800000);
    rig.catalogue->TrimDiskLoop("abc", limit);
    EXPECT_EQ(rig.Paths("abc").size(), 3u);
    rig.catalogue->AddToDiskLoop("abc", 40000);
    rig.catalogue->TrimDiskLoop("abc", limit);
    EXPECT_EQ(rig.Paths("abc"), (std::vector<std::string>{"abc/13/f1", "abc/13/f2"}));
}

TEST(RilletCatalogue, RowsOfTheRecorderAndSampleRatesWithHostileCodes) {
    CatalogueRig rig;
    KvrConnection& db = rig.catalogue->Connection();
    ASSERT_TRUE(kvrPutSitechan(db, kvrSitechanKey("o'k", "BHZ", "??", 20)).ok());
    ASSERT_TRUE(kvrPutSitechan(db, kvrSitechanKey("abc", "BHN", "00", 40)).ok());
    EXPECT_EQ(rig.catalogue->LookupSampleRate("o'k", "BHZ", "??"), 20);
    EXPECT_EQ(rig.catalogue->LookupSampleRate("abc", "BHN", "00"), 40);
    EXPECT_EQ(rig.catalogue->LookupSampleRate("abc", "BHN", "??"), 0);
    EXPECT_EQ(rig.catalogue->LookupSampleRate("x' or '1'='1", "BHZ", "??"), 0);

    // Registering the same file twice leaves one row; the update changes TBEGIN and TQTY.
    rig.catalogue->RegisterNewFile("o'k\\13\\a.o'k", "o'k", 100, 5, 20, "BHZ", "??", -1, -1);
    rig.catalogue->RegisterNewFile("o'k\\13\\a.o'k", "o'k", 100, 6, 20, "BHZ", "  ", -1, -1);
    rig.catalogue->UpdateFileRow("o'k\\13\\a.o'k", "o'k", 100, 250, "BHZ", "");
    std::vector<KVR_FILELIST_ROW> rows;
    ASSERT_TRUE(kvrSelectFileListRows(db, "", &rows).ok());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cpath, "o'k/13/a.o'k");
    EXPECT_EQ(rows[0].lcode, "??");
    EXPECT_EQ(rows[0].creater, "NRTSDISKLOOP");
    EXPECT_DOUBLE_EQ(rows[0].tqty, 250);
    EXPECT_DOUBLE_EQ(rows[0].calib, -1);

    // Deleting a row that is already gone is no error, and a stored path leading out of the data
    // directory is never deleted from disk.
    EXPECT_TRUE(rig.catalogue->DeleteFileRow("no/such/row"));
    WriteText(rig.dir.Path("outside"), std::string(2000000, 'x'));
    rig.AddFile("o'k", "../outside", 1, 3600, "NRTSDISKLOOP", false);
    rig.catalogue->TrimDiskLoop("o'k", 1000);
    EXPECT_TRUE(std::filesystem::exists(rig.dir.Path("outside")));
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "outside the data directory"));
}

TEST(RilletCatalogue, TrimGoesOnWhenTheDriverRefusesACursorAttribute) {
    // Without the cursor library the SQLite driver refuses simulated unique cursors; the list is
    // read whole anyway, so the loop is trimmed all the same.
    CatalogueRig rig(false);
    for (int i = 0; i < 3; ++i)
        rig.AddFile("abc", "abc/13/f" + std::to_string(i), 1000.0 + i * 2450, 2450, "NRTSDISKLOOP");
    rig.catalogue->TrimDiskLoop("abc", 200000);
    EXPECT_EQ(rig.Paths("abc"), (std::vector<std::string>{"abc/13/f2"}));
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "Cursor attribute"));
}

// The catalogue's credentials: KVR/JXQ unless the data source names its own UID and PWD, and the
// environment overrides both.
TEST(RilletCatalogue, CredentialsComeFromTheDataSourceOrTheEnvironment) {
    ScratchDir dir;
    WriteText(dir.Path("odbcinst.ini"), "");
    WriteText(dir.Path("odbc.ini"), "[KVR]\nDriver=x\nUID=shared\nPWD=s3cret\n[OTHER]\nDriver=x\n");
    ::setenv("ODBCINI", dir.Path("odbc.ini").c_str(), 1);
    ::setenv("ODBCSYSINI", dir.Path().c_str(), 1);
    ::unsetenv(KVR_USER_VARIABLE);
    ::unsetenv(KVR_PASSWORD_VARIABLE);
    KVR_CREDENTIALS own = kvrCatalogueCredentials("KVR", KVR_USER, KVR_PASSWORD);
    KVR_CREDENTIALS fallback = kvrCatalogueCredentials("OTHER", KVR_USER, KVR_PASSWORD);
    ::setenv(KVR_PASSWORD_VARIABLE, "from-env", 1);
    KVR_CREDENTIALS overridden = kvrCatalogueCredentials("KVR", KVR_USER, KVR_PASSWORD);
    ::unsetenv(KVR_PASSWORD_VARIABLE);

    EXPECT_EQ(own.user, "shared");
    EXPECT_EQ(own.password, "s3cret");
    EXPECT_EQ(fallback.user, "KVR");
    EXPECT_EQ(fallback.password, "JXQ");
    EXPECT_EQ(overridden.user, "shared");
    EXPECT_EQ(overridden.password, "from-env");
}

// The statement times an operator reads in the log: every execution counted, a refused one as
// failed, and the quantiles within a bucket's width of the times that were taken.
TEST(RilletCatalogue, StatementTimesAreCountedAndLoggedInOneLine) {
    KvrStatementTimes times;
    EXPECT_EQ(times.quantile(0.5), 0);
    for (int i = 0; i < 97; ++i) times.record(0.001, false);
    times.record(0, false);  // below the first bucket
    times.record(1.0, true);
    times.record(1e9, false);  // past the last bucket
    EXPECT_EQ(times.count(), 100u);
    EXPECT_EQ(times.failed(), 1u);
    struct Case {
        double fraction, seconds;
    } cases[] = {{0.5, 0.001}, {0.97, 0.001}, {0.99, 1.0}, {0, 1e-6}};
    for (const auto& c : cases)
        EXPECT_NEAR(times.quantile(c.fraction), c.seconds, c.seconds * 0.1) << c.fraction;
    EXPECT_GT(times.quantile(1.0), 500.0);

    CatalogueRig rig;
    KvrConnection& db = rig.catalogue->Connection();
    // Opening made some statements already, some refused (a table that exists).
    const unsigned long long before = db.statementTimes().count();
    const unsigned long long failedBefore = db.statementTimes().failed();
    rig.AddFile("abc", "abc/13/f0", 1000, 60, "NRTSDISKLOOP", false);
    rig.catalogue->DiskLoopSize("abc");
    EXPECT_FALSE(kvrSqlOk(db.execute("select * from NOSUCHTABLE")));
    rig.catalogue->LogStatementTimes();
    EXPECT_EQ(db.statementTimes().count(), before + 3);

    const std::regex form(
        R"(#catalogue statements (\d+), median (\d+\.\d{3}) ms, 99th percentile (\d+\.\d{3}) ms, )"
        R"(retried 0, failed (\d+)#)");
    std::smatch match;
    bool found = false;
    const auto lines = LogLines(rig.dir.Path("log"));
    for (const auto& line : lines) {
        if (!std::regex_search(line, match, form)) continue;
        found = true;
        EXPECT_EQ(std::stoull(match[1]), before + 3);
        EXPECT_GT(std::stod(match[2]), 0);
        EXPECT_LE(std::stod(match[2]), std::stod(match[3]));
        EXPECT_EQ(std::stoull(match[4]), failedBefore + 1);
    }
    EXPECT_TRUE(found) << (lines.empty() ? "no log" : lines.back());
}
