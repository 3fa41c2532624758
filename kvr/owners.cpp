// The data directories of the stations in a shared catalogue. See owners.h.
#include "kvr/owners.h"

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

std::string sqlLiteral(std::string_view text) {
    return "'" + kvrSqlQuote(text) + "'";
}

// The rows of a station and creater, in the order the claim rule decides by.
std::string selectText(std::string_view station, std::string_view creater) {
    std::string sql =
        "select coalesce(STA,''),coalesce(CREATER,''),coalesce(HOST,''),coalesce(DIR,''),"
        "coalesce(cast(LDDATE as varchar(32)),'') from DATADIR";
    std::vector<std::string> where;
    if (!station.empty()) where.push_back("lower(STA)=lower(" + sqlLiteral(station) + ")");
    if (!creater.empty()) where.push_back("CREATER=" + sqlLiteral(creater));
    for (size_t i = 0; i < where.size(); ++i) sql += (i == 0 ? " where " : " and ") + where[i];
    return sql + " order by STA,CREATER,LDDATE,HOST,DIR";
}

std::string whereRow(const KVR_DATADIR_ROW& row) {
    return " where lower(STA)=lower(" + sqlLiteral(row.sta) +
           ") and CREATER=" + sqlLiteral(row.creater) + " and HOST=" + sqlLiteral(row.host) +
           " and DIR=" + sqlLiteral(row.dir);
}

KVR_SQL_RESULT failed(const std::string& message) {
    KVR_SQL_RESULT r;
    r.rc = SQL_ERROR;
    r.message = message;
    return r;
}

// The claim that wins when several are registered: the oldest, then the lesser host and folder.
bool claimsFirst(const KVR_DATADIR_ROW& a, const KVR_DATADIR_ROW& b) {
    return std::tie(a.lddate, a.host, a.dir) < std::tie(b.lddate, b.host, b.dir);
}

}  // namespace

KVR_DATADIR_ROW kvrDataDirOf(const KVR_STORE& store, std::string_view station,
                             std::string_view creater) {
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(fs::absolute(store.dataDirectory, ec), ec);
    if (ec) dir = store.dataDirectory;
    KVR_DATADIR_ROW row;
    row.sta = station;
    row.creater = creater;
    row.host = platHostName();
    row.dir = dir.generic_string();
    while (row.dir.size() > 1 && row.dir.back() == '/') row.dir.pop_back();
    return row;
}

std::string kvrDataDirText(const KVR_DATADIR_ROW& row) {
    return row.host + ":" + row.dir;
}

bool kvrSameDataDir(const KVR_DATADIR_ROW& a, const KVR_DATADIR_ROW& b) {
    return a.host == b.host && a.dir == b.dir;
}

KVR_SQL_RESULT kvrSelectDataDirs(KvrConnection& db, std::string_view station,
                                 std::string_view creater, std::vector<KVR_DATADIR_ROW>* rows) {
    rows->clear();
    KVR_SQL_RESULT r = kvrCreateTableIfMissing(db, "DATADIR");
    if (!r.ok()) return r;
    KvrStatement st(db);
    if (!st.valid()) return failed(st.message());
    SQLRETURN rc = st.execute(selectText(station, creater));
    if (!kvrSqlOk(rc)) return failed(st.message());
    int sta = st.bindText(1), cr = st.bindText(2), host = st.bindText(3);
    int dir = st.bindText(4, 1025), lddate = st.bindText(5);
    while (kvrSqlOk(rc = st.fetch()))
        rows->push_back(
            {st.textAt(sta), st.textAt(cr), st.textAt(host), st.textAt(dir), st.textAt(lddate)});
    if (rc != SQL_NO_DATA) return failed(st.message());
    r.rc = SQL_SUCCESS;
    return r;
}

KVR_SQL_RESULT kvrRegisterDataDir(KvrConnection& db, const KVR_DATADIR_ROW& row) {
    std::vector<KVR_DATADIR_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectDataDirs(db, row.sta, row.creater, &rows);
    if (!r.ok()) return r;
    for (const KVR_DATADIR_ROW& known : rows)
        if (kvrSameDataDir(known, row)) return r;
    r.rc = db.execute("insert into DATADIR (STA,CREATER,HOST,DIR,LDDATE) values (" +
                      sqlLiteral(row.sta) + "," + sqlLiteral(row.creater) + "," +
                      sqlLiteral(row.host) + "," + sqlLiteral(row.dir) + ",'" + kvrNowTimestamp() +
                      "')");
    r.message = db.message();
    return r;
}

KVR_SQL_RESULT kvrReleaseDataDir(KvrConnection& db, const KVR_DATADIR_ROW& row) {
    KVR_SQL_RESULT r = kvrCreateTableIfMissing(db, "DATADIR");
    if (!r.ok()) return r;
    SQLLEN rows = -1;
    r.rc = db.execute("delete from DATADIR" + whereRow(row), &rows);
    r.message = db.message();
    r.rows = rows;
    if (r.rc == SQL_NO_DATA) r.rc = SQL_SUCCESS;
    return r;
}

KvrClaim kvrClaimRecorderStation(KvrConnection& db, const KVR_STORE& store,
                                 std::string_view station, KVR_DATADIR_ROW* other,
                                 std::string* message) {
    const KVR_DATADIR_ROW mine = kvrDataDirOf(store, station, KVR_CREATER_RECORDER);
    auto fail = [message](const KVR_SQL_RESULT& r) {
        *message = r.message;
        return KvrClaim::Failed;
    };
    std::vector<KVR_DATADIR_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectDataDirs(db, station, KVR_CREATER_RECORDER, &rows);
    if (!r.ok()) return fail(r);
    // A claim of this host whose folder is gone: the data directory was moved here.
    KvrClaim outcome = KvrClaim::Claimed;
    for (const KVR_DATADIR_ROW& row : rows) {
        std::error_code ec;
        if (kvrSameDataDir(row, mine) || row.host != mine.host || fs::exists(row.dir, ec)) continue;
        r = kvrReleaseDataDir(db, row);
        if (!r.ok()) return fail(r);
        *other = row;
        outcome = KvrClaim::Moved;
    }
    r = kvrRegisterDataDir(db, mine);
    if (!r.ok()) return fail(r);
    // Read again: a recorder that claimed at the same moment is seen now, and both agree on the
    // winner.
    r = kvrSelectDataDirs(db, station, KVR_CREATER_RECORDER, &rows);
    if (!r.ok()) return fail(r);
    const auto winner = std::min_element(rows.begin(), rows.end(), claimsFirst);
    if (winner == rows.end() || kvrSameDataDir(*winner, mine)) return outcome;
    *other = *winner;
    kvrReleaseDataDir(db, mine);
    return KvrClaim::Taken;
}
