// A catalogue server that restarts under a connected program: the next statement runs on a
// connection made anew, a statement while it is down fails with the cause, and a transaction
// open at the loss fails as a whole instead of half-applying. The test starts a PostgreSQL
// cluster of its own, so that restarting it disturbs no other test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/odbc.h"

namespace fs = std::filesystem;

namespace {

int Cluster(const std::string& command, const std::string& state) {
    std::string line =
        std::string(KVR_PG_CLUSTER_SCRIPT) + " " + command + " " + state + " >/dev/null 2>&1";
    return std::system(line.c_str());
}

double Count(KvrConnection& db) {
    KvrStatement st(db);
    if (!kvrSqlOk(st.execute("select count(*) from t"))) return -1;
    int slot = st.bindDouble(1);
    return kvrSqlOk(st.fetch()) ? st.doubleAt(slot) : -1;
}

}  // namespace

TEST(KvrReconnect, AStatementAfterACatalogueRestartRunsOnANewConnection) {
    std::string state =
        (fs::temp_directory_path() / ("kvr-reconnect-" + std::to_string(getpid()))).string();
    ASSERT_EQ(Cluster("start", state), 0);
    if (fs::exists(state + "/skip")) {
        std::ifstream in(state + "/skip");
        std::string why((std::istreambuf_iterator<char>(in)), {});
        Cluster("stop", state);
        GTEST_SKIP() << "PostgreSQL not available: " << why;
    }
    setenv("ODBCINI", (state + "/odbc.ini").c_str(), 1);
    setenv("ODBCSYSINI", state.c_str(), 1);
    KvrConnection db;
    ASSERT_TRUE(db.open(KVR_DSN, KVR_USER, KVR_PASSWORD)) << db.message();
    ASSERT_TRUE(kvrSqlOk(db.execute("create table t (x integer)"))) << db.message();
    ASSERT_TRUE(kvrSqlOk(db.execute("insert into t values (1)"))) << db.message();

    // Restarted: the old connection is gone, the next statement still lands.
    ASSERT_EQ(Cluster("restart", state), 0);
    SQLLEN rows = -1;
    EXPECT_TRUE(kvrSqlOk(db.execute("insert into t values (2)", &rows))) << db.message();
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(Count(db), 2.0);

    // The recorder's row update, prepared on the first connection, runs on the next one after a
    // restart (prepared there again), and a missing row still reads as no row.
    std::vector<std::string> created;
    ASSERT_TRUE(kvrCreateSchema(db, &created).ok()) << db.message();
    ASSERT_EQ(kvrRegisterNewFile(db, "anmo\\1.kvr", "anmo", 1e9, 10, 20, "BHZ", "", -1, -1).rc,
              SQL_SUCCESS)
        << db.message();
    ASSERT_TRUE(kvrUpdateFileRow(db, "anmo\\1.kvr", "anmo", 1e9, 20, "BHZ", "").ok());
    ASSERT_EQ(Cluster("restart", state), 0);
    const unsigned long long retried = db.statementTimes().retried();
    KVR_SQL_RESULT r = kvrUpdateFileRow(db, "anmo\\1.kvr", "anmo", 1e9, 30, "BHZ", "");
    EXPECT_EQ(r.rc, SQL_SUCCESS) << r.message;
    EXPECT_EQ(r.rows, 1);
    EXPECT_EQ(db.statementTimes().retried(), retried + 1);
    EXPECT_EQ(kvrUpdateFileRow(db, "anmo\\2.kvr", "anmo", 1e9, 30, "BHZ", "").rc, SQL_NO_DATA);
    std::vector<KVR_FILELIST_ROW> stored;
    ASSERT_TRUE(kvrSelectFileListRows(db, "", &stored).ok());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].tqty, 30.0);

    // A transaction open when the server goes away fails whole; the one after it works.
    ASSERT_TRUE(db.begin());
    ASSERT_TRUE(kvrSqlOk(db.execute("insert into t values (3)")));
    ASSERT_EQ(Cluster("restart", state), 0);
    EXPECT_FALSE(kvrSqlOk(db.execute("insert into t values (4)")));
    db.rollback();
    EXPECT_EQ(Count(db), 2.0);
    KVR_FILELIST_ROW row;
    row.sta = "anmo";
    row.ch = "BHZ";
    row.cpath = "anmo/x.kvr";
    row.creater = KVR_CREATER_RETRIEVAL;
    EXPECT_TRUE(kvrWriteFileListRow(db, row, KvrRowMode::Insert).ok());
    Cluster("stop", state);
}
