// The catalogue through ODBC, built twice: against an SQLite file and against the PostgreSQL test
// cluster (KVR_TEST_POSTGRES). Both connect the way the recorder does: SQLConnect to data source
// "KVR", user "KVR", password "JXQ", through the cursor library.
#include "kvr/catalog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvr/check.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "support/sqlite_dsn.h"

namespace fs = std::filesystem;

namespace {

constexpr double kT0 = 1136207045.0;  // 2006-01-02 13:04:05 UTC

[[maybe_unused]] std::string readText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CatalogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = "/tmp/kvr-catalog-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
#if KVR_TEST_POSTGRES
        // The folder the kvr_pg_start fixture writes the cluster's data source into.
        const char* state = std::getenv("KVR_PG_STATE");
        std::string stateDir = state && *state ? state : KVR_PG_STATE_DIR;
        if (fs::exists(stateDir + "/skip"))
            GTEST_SKIP() << "PostgreSQL not available: " << readText(stateDir + "/skip");
        if (!fs::exists(stateDir + "/odbc.ini"))
            GTEST_SKIP() << "the PostgreSQL test cluster is not running: run these tests through "
                            "ctest, which starts it (kvr_pg_start)";
        setenv("ODBCINI", (stateDir + "/odbc.ini").c_str(), 1);
        setenv("ODBCSYSINI", stateDir.c_str(), 1);
        ASSERT_TRUE(db_.open(KVR_DSN, KVR_USER, KVR_PASSWORD)) << db_.message();
        // Every test gets a schema of its own, so tests run in parallel on one database.
        schema_ = "t" + std::to_string(getpid()) + "_" + std::to_string(rand() % 100000);
        ASSERT_TRUE(kvrSqlOk(db_.execute("create schema " + schema_))) << db_.message();
        ASSERT_TRUE(kvrSqlOk(db_.execute("set search_path to " + schema_))) << db_.message();
#else
        std::string error;
        ASSERT_TRUE(kvrtest::UseSqliteDsn(dir_, &error)) << error;
        ASSERT_TRUE(db_.open(KVR_DSN, KVR_USER, KVR_PASSWORD)) << db_.message();
#endif
        std::vector<std::string> created;
        KVR_SQL_RESULT r = kvrCreateSchema(db_, &created);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_EQ(created.size(), 8u);  // four tables and their four indexes
    }

    void TearDown() override {
        if (!schema_.empty() && db_.isOpen()) db_.execute("drop schema " + schema_ + " cascade");
        db_.close();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }

    bool postgres() const {
        return KVR_TEST_POSTGRES != 0;
    }

    std::vector<KVR_FILELIST_ROW> rows(const std::string& filter = "") {
        std::vector<KVR_FILELIST_ROW> out;
        KVR_SQL_RESULT r = kvrSelectFileListRows(db_, filter, &out);
        EXPECT_TRUE(r.ok()) << r.message;
        return out;
    }

    // A trigger that refuses rows of station 'FAIL', to make a statement fail mid-transaction.
    void refuseStationFail() {
        if (postgres()) {
            ASSERT_TRUE(kvrSqlOk(db_.execute(
                "create function refuse() returns trigger as $$ begin if new.sta = 'FAIL' then "
                "raise exception 'refused'; end if; return new; end $$ language plpgsql")))
                << db_.message();
            ASSERT_TRUE(
                kvrSqlOk(db_.execute("create trigger refuse before insert on filelist for "
                                     "each row execute function refuse()")))
                << db_.message();
        } else {
            ASSERT_TRUE(kvrSqlOk(db_.execute(
                "create trigger refuse before insert on filelist when new.sta = 'FAIL' begin "
                "select raise(abort, 'refused'); end")))
                << db_.message();
        }
    }

    std::string dir_;
    std::string schema_;
    KvrConnection db_;
};

}  // namespace

TEST_F(CatalogTest, RecorderRegistersUpdatesAndCountsItsFiles) {
    KVR_SQL_RESULT r = kvrRegisterNewFile(db_, "abc\\13\\02012006-130405-BHZ.abc", "abc", kT0, 60.0,
                                          20.0, "BHZ", "", -1.0, -1.0);
    EXPECT_EQ(r.rc, SQL_SUCCESS) << r.message;
    r = kvrUpdateFileRow(db_, "abc\\13\\02012006-130405-BHZ.abc", "abc", kT0, 120.0, "BHZ", "  ");
    EXPECT_TRUE(r.ok()) << r.message;

    auto all = rows();
    ASSERT_EQ(all.size(), 1u);
    const KVR_FILELIST_ROW& row = all[0];
    EXPECT_EQ(row.cpath, "abc/13/02012006-130405-BHZ.abc");
    EXPECT_EQ(row.sta, "abc");
    EXPECT_EQ(row.ch, "BHZ");
    EXPECT_EQ(row.lcode, "??");
    EXPECT_DOUBLE_EQ(row.tbegin, kT0);
    EXPECT_DOUBLE_EQ(row.tqty, 120.0);
    EXPECT_DOUBLE_EQ(row.sps, 20.0);
    EXPECT_EQ(row.gain, 1);
    EXPECT_EQ(row.datatype, 3);
    EXPECT_EQ(row.creater, "NRTSDISKLOOP");
    EXPECT_TRUE(row.hasCalib);
    EXPECT_DOUBLE_EQ(row.calib, -1.0);
    EXPECT_DOUBLE_EQ(row.calper, -1.0);

    // The update runs for every run of samples: each run is one execution, and the stored numbers
    // are those of the six-decimal text the statement has always carried, microseconds included.
    const unsigned long long executed = db_.statementTimes().count();
    for (double tqty : {180.25, 240.5, 3600.0000004}) {
        r = kvrUpdateFileRow(db_, "abc\\13\\02012006-130405-BHZ.abc", "abc", kT0 + 0.1234567, tqty,
                             "BHZ", "");
        EXPECT_EQ(r.rc, SQL_SUCCESS) << r.message;
        EXPECT_EQ(r.rows, 1);
    }
    EXPECT_EQ(db_.statementTimes().count(), executed + 3);
    // Compared by the engine with its reading of that text, to the last bit (a driver may read a
    // double back with fewer digits).
    EXPECT_EQ(rows("tbegin=1136207045.123457 and tqty=3600.000000").size(), 1u);

    // An update of a file that has no row touches nothing and says so.
    r = kvrUpdateFileRow(db_, "abc\\13\\other.abc", "abc", kT0, 1.0, "BHZ", "??");
    EXPECT_EQ(r.rc, SQL_NO_DATA);
    EXPECT_EQ(r.rows, 0);

    // The newest of a channel's files is the last of the full listing: latest start, then the
    // greatest path; a newer file of another channel is not its.
    for (const char* cpath : {"abc/14/b.abc", "abc/14/a.abc", "abc/12/z.abc"})
        kvrRegisterNewFile(db_, cpath, "abc", cpath[5] == '4' ? kT0 + 3600 : kT0 - 3600, 60.0, 20.0,
                           "BHZ", "", -1.0, -1.0);
    kvrRegisterNewFile(db_, "abc/15/n.abc", "abc", kT0 + 7200, 60.0, 20.0, "BHN", "", -1.0, -1.0);
    const std::string filter = "sta='abc' and ch='BHZ' and lcode='?\?'";
    std::vector<KVR_FILELIST_ROW> newest;
    ASSERT_TRUE(kvrSelectNewestFileListRow(db_, filter, &newest).ok());
    ASSERT_EQ(newest.size(), 1u);
    EXPECT_EQ(newest[0].cpath, rows(filter).back().cpath);
    EXPECT_EQ(newest[0].cpath, "abc/14/b.abc");
    ASSERT_TRUE(kvrSelectNewestFileListRow(db_, "sta='none'", &newest).ok());
    EXPECT_TRUE(newest.empty());
}

TEST_F(CatalogTest, DiskLoopCountsOnlyTheRecordersRowsWithData) {
    // 20 sps x 100 s x 4 + 512 = 8512; 10 x 50 x 4 + 512 = 2512.
    kvrRegisterNewFile(db_, "abc\\13\\b.abc", "abc", kT0 + 100, 100.0, 20.0, "BHZ", "", -1, -1);
    kvrRegisterNewFile(db_, "abc\\12\\a.abc", "abc", kT0, 50.0, 10.0, "BHN", "", -1, -1);
    kvrRegisterNewFile(db_, "abc\\14\\c.abc", "abc", kT0 + 200, 0.0, 20.0, "BHE", "", -1, -1);
    kvrRegisterNewFile(db_, "xyz\\13\\x.xyz", "xyz", kT0, 100.0, 20.0, "BHZ", "", -1, -1);
    KVR_FILELIST_ROW gleaner;
    gleaner.sta = "abc";
    gleaner.ch = "BHZ";
    gleaner.cpath = "abc/0022006-130405-BHZ.abc";
    gleaner.creater = KVR_CREATER_RETRIEVAL;
    gleaner.tbegin = kT0 - 1000;
    gleaner.tqty = 1000;
    gleaner.sps = 20;
    ASSERT_TRUE(kvrWriteFileListRow(db_, gleaner, KvrRowMode::Insert).ok());

    uint32_t total = 12345;
    KVR_SQL_RESULT r = kvrDiskLoopSize(db_, "abc", &total);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(total, 8512u + 2512u);

    // A station without rows sums to NULL: the total is 0, whatever the buffer held.
    r = kvrDiskLoopSize(db_, "none", &total);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(total, 0u);

    std::vector<KVR_LOOP_ENTRY> list;
    r = kvrDiskLoopList(db_, "abc", &list);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_EQ(list.size(), 3u);  // the tqty 0 row is listed, Gleaner's is not
    EXPECT_EQ(list[0].cpath, "abc/12/a.abc");
    EXPECT_EQ(list[1].cpath, "abc/13/b.abc");
    EXPECT_EQ(list[2].cpath, "abc/14/c.abc");
    EXPECT_DOUBLE_EQ(list[0].sps, 10.0);
    EXPECT_DOUBLE_EQ(list[0].tqty, 50.0);

    // Deleting a row, and deleting it again (already gone), both succeed.
    EXPECT_TRUE(kvrDeleteFileRow(db_, list[0].cpath).ok());
    EXPECT_TRUE(kvrDeleteFileRow(db_, list[0].cpath).ok());
    kvrDiskLoopSize(db_, "abc", &total);
    EXPECT_EQ(total, 8512u);
}

TEST_F(CatalogTest, FileRegisteredTwiceEndsWithOneRow) {
    for (int i = 0; i < 2; ++i) {
        KVR_SQL_RESULT r = kvrRegisterNewFile(db_, "abc\\13\\a.abc", "abc", kT0 + i, 10.0 + i, 20.0,
                                              "BHZ", "00", -1, -1);
        EXPECT_TRUE(r.ok()) << r.message;
    }
    auto all = rows();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_DOUBLE_EQ(all[0].tqty, 11.0);
    EXPECT_EQ(all[0].lcode, "00");
}

TEST_F(CatalogTest, QuotesInCodesAndPathsStayInsideTheirLiterals) {
    const std::string station = "o'k";
    const std::string path = "o'k\\13\\x'; drop table filelist; --.o'k";
    KVR_SQL_RESULT r = kvrRegisterNewFile(db_, path, station, kT0, 60.0, 20.0, "B'Z", "'", -1, -1);
    ASSERT_TRUE(r.ok()) << r.message;
    auto all = rows(kvrFileListFilter(kvrCatalogPath(path)));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].sta, station);
    EXPECT_EQ(all[0].ch, "B'Z");
    EXPECT_EQ(all[0].lcode, "'");
    EXPECT_EQ(all[0].cpath, "o'k/13/x'; drop table filelist; --.o'k");

    r = kvrUpdateFileRow(db_, path, station, kT0, 90.0, "B'Z", "'");
    EXPECT_TRUE(r.ok()) << r.message;
    uint32_t total = 0;
    kvrDiskLoopSize(db_, station, &total);
    EXPECT_EQ(total, static_cast<uint32_t>(20 * 90 * 4 + 512));
    std::vector<KVR_LOOP_ENTRY> list;
    ASSERT_TRUE(kvrDiskLoopList(db_, station, &list).ok());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(kvrDeleteFileRow(db_, list[0].cpath).ok());
    EXPECT_TRUE(rows().empty());

    // A backslash before a quote must not escape it either.
    ASSERT_TRUE(kvrPutSitechan(db_, {"o'k", "b'z", "", 40.0}).ok());
    ASSERT_TRUE(kvrPutSitechan(db_, {"x\\", "b\\'", "", 10.0}).ok());
    struct Lookup {
        const char* sta;
        const char* chan;
        double sps;
    } lookups[] = {{"o'k", "B'Z", 40.0}, {"x\\", "B\\'", 10.0}, {"x", "B", 0.0}};
    for (const Lookup& l : lookups) {
        double sps = -1;
        r = kvrLookupSampleRate(db_, l.sta, l.chan, "??", &sps);
        EXPECT_TRUE(r.ok()) << r.message;
        EXPECT_DOUBLE_EQ(sps, l.sps) << l.sta;
    }
}

TEST_F(CatalogTest, SampleRatesAreLookedUpAsTheRecorderSpellsThem) {
    // kvrdb writes rows normalised: station lower case, channel and location upper, "??".
    ASSERT_TRUE(kvrPutSitechan(db_, {"ABC", "bhz", "", 20.0}).ok());
    ASSERT_TRUE(kvrPutSitechan(db_, {"ABC", "bhz", "  ", 40.0}).ok());  // replaces, same key
    ASSERT_TRUE(kvrPutSitechan(db_, {"abc", "LHZ", "10", 1.0}).ok());
    ASSERT_TRUE(kvrSqlOk(
        db_.execute("insert into SITECHAN (STA,CHAN,LCODE,SPS) values ('abc','VHZ','?\?',NULL)")));
    struct Case {
        const char* sta;
        const char* chan;
        const char* lcode;
        double sps;
    } cases[] = {
        {"abc", "BHZ", "??", 40.0}, {"abc", "LHZ", "10", 1.0}, {"abc", "LHZ", "??", 0.0},  // no row
        {"abc", "VHZ", "??", 0.0},  // NULL rate
        {"xyz", "BHZ", "??", 0.0},
    };
    for (const Case& c : cases) {
        double sps = -1;
        KVR_SQL_RESULT r = kvrLookupSampleRate(db_, c.sta, c.chan, c.lcode, &sps);
        EXPECT_TRUE(r.ok()) << r.message;
        EXPECT_DOUBLE_EQ(sps, c.sps) << c.sta << " " << c.chan << " " << c.lcode;
    }
    std::vector<KVR_SITECHAN_ROW> all;
    ASSERT_TRUE(kvrSelectSitechan(db_, &all).ok());
    EXPECT_EQ(all.size(), 3u);
}

TEST_F(CatalogTest, RetrievalRowsAreWrittenInsertedAndEditedByPath) {
    KVR_FILELIST_ROW row;
    row.sta = "ABC";
    row.ch = "BHZ";
    row.lcode = "  ";
    row.cpath = "ABC\\0452007-120000-BHZ.ABC";
    row.creater = KVR_CREATER_RETRIEVAL;
    row.lddate = "2007-02-14 12:30:00";
    row.tbegin = 1171454400.0;
    row.tqty = 245.0;
    row.sps = 20.0;
    row.hasFoff = true;
    row.foff = 512;
    KVR_SQL_RESULT r = kvrWriteFileListRow(db_, row, KvrRowMode::Insert);
    ASSERT_TRUE(r.ok()) << r.message;
    row.tqty = 490.0;
    r = kvrWriteFileListRow(db_, row, KvrRowMode::Update);
    ASSERT_TRUE(r.ok()) << r.message;

    auto all = rows();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].cpath, "ABC/0452007-120000-BHZ.ABC");
    EXPECT_EQ(all[0].lcode, "??");
    EXPECT_DOUBLE_EQ(all[0].tqty, 490.0);
    EXPECT_EQ(all[0].creater, "Gleaner");
    EXPECT_TRUE(all[0].hasFoff);
    EXPECT_EQ(all[0].foff, 512);
    EXPECT_FALSE(all[0].hasCalib);
    EXPECT_EQ(all[0].lddate.substr(0, 19), "2007-02-14 12:30:00");

    // Update of a path without a row adds it; insert over duplicates leaves one row.
    KVR_FILELIST_ROW other = row;
    other.cpath = "ABC/0452007-130000-BHZ.ABC";
    ASSERT_TRUE(kvrWriteFileListRow(db_, other, KvrRowMode::Update).ok());
    ASSERT_TRUE(kvrInsertFileListRow(db_, other).ok());
    ASSERT_EQ(rows(kvrFileListFilter(other.cpath)).size(), 2u);
    ASSERT_TRUE(kvrWriteFileListRow(db_, other, KvrRowMode::Insert).ok());
    EXPECT_EQ(rows(kvrFileListFilter(other.cpath)).size(), 1u);
    EXPECT_EQ(rows().size(), 2u);

    // An edit tells how many rows of the path it rewrote: the writer relies on it to know
    // whether one row now holds the values.
    r = kvrEditFileListRow(db_, other);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.rows, 1);
    ASSERT_TRUE(kvrInsertFileListRow(db_, other).ok());
    EXPECT_EQ(kvrEditFileListRow(db_, other).rows, 2);
    KVR_FILELIST_ROW none = row;
    none.cpath = "ABC/nothing";
    r = kvrEditFileListRow(db_, none);
    EXPECT_EQ(r.rc, SQL_NO_DATA) << r.message;
    EXPECT_EQ(r.rows, 0);
}

TEST_F(CatalogTest, FailedRowWriteRollsBackAndKeepsTheOldRow) {
    refuseStationFail();
    KVR_FILELIST_ROW row;
    row.sta = "ABC";
    row.ch = "BHZ";
    row.cpath = "ABC/0452007-120000-BHZ.ABC";
    row.creater = KVR_CREATER_RETRIEVAL;
    row.tqty = 10;
    row.sps = 20;
    ASSERT_TRUE(kvrWriteFileListRow(db_, row, KvrRowMode::Insert).ok());

    // Insert mode deletes the old row first; the refused insert must bring it back.
    row.sta = "FAIL";
    KVR_SQL_RESULT r = kvrWriteFileListRow(db_, row, KvrRowMode::Insert);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.message.find("refused"), std::string::npos) << r.message;
    EXPECT_FALSE(db_.inTransaction());

    auto all = rows();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].sta, "ABC");
    // The connection is usable again, in autocommit.
    EXPECT_TRUE(
        kvrRegisterNewFile(db_, "abc\\13\\a.abc", "abc", kT0, 1, 20, "BHZ", "", -1, -1).ok());
    EXPECT_EQ(rows().size(), 2u);
}

TEST_F(CatalogTest, SchemaCreationKeepsWhatExists) {
    kvrRegisterNewFile(db_, "abc\\13\\a.abc", "abc", kT0, 1, 20, "BHZ", "", -1, -1);
    std::vector<std::string> created;
    KVR_SQL_RESULT r = kvrCreateSchema(db_, &created);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(created.empty());
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(CatalogTest, CheckFindsMissingShortAndUnregisteredFiles) {
    std::string data = dir_ + "/data";
    std::array<char, KVR_HEADER_SIZE> header{};
    std::vector<float> hundred(100, 1.0f);
    std::string error;
    auto makeFile = [&](const std::string& relative, size_t samples) {
        std::string full = kvrFullPath(data, relative);
        ASSERT_TRUE(kvrMakeFolders(fs::path(full).parent_path().string(), &error)) << error;
        ASSERT_TRUE(BuildHeader20(header, "abc", "BHZ", 20.0, kT0));
        ASSERT_TRUE(kvrCreateFile(full, header, std::span(hundred).first(samples), &error))
            << error;
    };
    makeFile("abc\\13\\good.abc", 100);  // 5 s at 20 sps
    makeFile("abc\\13\\short.abc", 60);  // row says 100 samples
    makeFile("abc\\13\\close.abc", 99);  // within one sample
    makeFile("abc\\13\\norow.abc", 10);
    std::ofstream(data + "/abc/notes.txt") << "not a waveform";
    for (const char* name : {"good", "short", "close", "missing"})
        kvrRegisterNewFile(db_, std::string("abc\\13\\") + name + ".abc", "abc", kT0, 5.0, 20.0,
                           "BHZ", "", -1, -1);
    // A row of another host's station, relative to its own data directory.
    kvrRegisterNewFile(db_, "xyz\\13\\far.xyz", "xyz", kT0, 5.0, 20.0, "BHZ", "", -1, -1);

    std::vector<KVR_CHECK_FINDING> findings;
    size_t elsewhere = 0;
    ASSERT_TRUE(kvrCheckCatalog(db_, data, &findings, &error, &elsewhere)) << error;
    EXPECT_EQ(elsewhere, 1u);
    std::vector<std::string> seen;
    for (const auto& f : findings) seen.push_back(kvrFindingName(f.kind) + (": " + f.cpath));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen,
              (std::vector<std::string>{"missing: abc/13/missing.abc", "no row: abc/13/norow.abc",
                                        "size: abc/13/short.abc"}));
}

TEST_F(CatalogTest, RetrievalConnectionStringSeesTheRecordersRows) {
    // The retrieval writer opens "DSN=KVR;UID=KVR;PWD=JXQ;" while the recorder holds its own
    // connection to the same catalogue, its row statements prepared and kept: they hold no lock.
    ASSERT_TRUE(
        kvrRegisterNewFile(db_, "abc\\13\\a.abc", "abc", kT0, 60, 20, "BHZ", "", -1, -1).ok());
    ASSERT_TRUE(kvrUpdateFileRow(db_, "abc\\13\\a.abc", "abc", kT0, 70, "BHZ", "").ok());
    KvrConnection second;
    ASSERT_TRUE(second.openString("DSN=KVR;UID=KVR;PWD=JXQ;")) << second.message();
    if (!schema_.empty()) {
        ASSERT_TRUE(kvrSqlOk(second.execute("set search_path to " + schema_)));
    }
    KVR_FILELIST_ROW row;
    row.sta = "ABC";
    row.ch = "BHZ";
    row.cpath = "ABC\\0022006-130405-BHZ.ABC";
    row.creater = KVR_CREATER_RETRIEVAL;
    row.tqty = 60;
    row.sps = 20;
    KVR_SQL_RESULT r = kvrWriteFileListRow(second, row, KvrRowMode::Insert);
    ASSERT_TRUE(r.ok()) << r.message;
    std::vector<KVR_FILELIST_ROW> seen;
    ASSERT_TRUE(kvrSelectFileListRows(second, "", &seen).ok());
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(rows().size(), 2u);

    KvrConnection wrong;
    EXPECT_FALSE(wrong.openString("DSN=NoSuchSource;UID=KVR;PWD=JXQ;"));
    EXPECT_FALSE(wrong.message().empty());
}
