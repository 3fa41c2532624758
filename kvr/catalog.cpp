// The recorder's statements and the catalogue's row operations; see catalog.h for the tables.
#include "kvr/catalog.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <limits>

#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "platform/clock.h"

namespace {

constexpr int kRecorderGain = 1;
constexpr double kMaxLoopBytes = 4294967295.0;  // a 32-bit byte count

std::string slashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::string q(std::string_view text) {
    return kvrSqlQuote(text);
}
std::string n(double value) {
    return kvrSqlNumber(value);
}

KVR_SQL_RESULT result(SQLRETURN rc, std::string message) {
    KVR_SQL_RESULT r;
    r.rc = rc;
    r.message = std::move(message);
    return r;
}

// A statement's outcome as the connection left it.
KVR_SQL_RESULT executed(const KvrConnection& db, SQLRETURN rc, SQLLEN rows) {
    KVR_SQL_RESULT r = result(rc, db.message());
    r.rows = rows;
    return r;
}

KVR_SQL_RESULT run(KvrConnection& db, const std::string& sql) {
    SQLLEN rows = -1;
    SQLRETURN rc = db.execute(sql, &rows);
    return executed(db, rc, rows);
}

// The recorder's statements with a '?' for each value, each the text kvrStmt* builds: prepared once
// per connection, since the update runs for every run of samples. Gain and datatype are constants.
const std::string kPreparedDeleteBeforeInsert = "delete from filelist where cpath=?";
const std::string kPreparedInsert =
    "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,lcode,datatype,creater, calib, "
    "calper) values (?, ?, ?, ?, " +
    std::to_string(kRecorderGain) + ",?,?,?, " + std::to_string(KVR_DATATYPE_FLOAT) +
    ",'NRTSDISKLOOP',?,?)";
const std::string kPreparedUpdate =
    "update filelist set tbegin=?,tqty=? where cpath=? and sta=? and ch=? and lcode=?";

// The values of a prepared statement in marker order, each as the statement text would store it:
// a text with every "\\" turned into "/", a number as the engine read kvrSqlNumber's text (so
// it is stored with the same rounding). complete is false when a number has no such text (not
// finite); the caller then runs the statement text, which the engine refuses as before.
struct StoredValues {
    std::vector<KVR_PARAMETER> list;
    bool complete = true;

    StoredValues& text(std::string_view value) {
        list.push_back(kvrTextParameter(slashes(std::string(value))));
        return *this;
    }
    StoredValues& number(double value) {
        const std::string text = kvrSqlNumber(value);
        double parsed = 0.0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed))
            complete = false;
        list.push_back(kvrNumberParameter(parsed));
        return *this;
    }
};

KVR_SQL_RESULT runPrepared(KvrConnection& db, const std::string& sql, const StoredValues& values) {
    SQLLEN rows = -1;
    SQLRETURN rc = db.executePrepared(sql, values.list, &rows);
    return executed(db, rc, rows);
}

// DELETE and UPDATE of no row come back as SQL_NO_DATA: the wanted state holds, so it counts as
// success where the caller only needs the row gone.
KVR_SQL_RESULT noDataIsSuccess(KVR_SQL_RESULT r) {
    if (r.rc == SQL_NO_DATA) r.rc = SQL_SUCCESS;
    return r;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

}  // namespace

std::string kvrSqlQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

std::string kvrSqlNumber(double value) {
    return kvrFixedNumber(value);
}

// ---- statement texts ------------------------------------------------------------------------

std::string kvrStmtDeleteBeforeInsert(std::string_view cpath) {
    return slashes("delete from filelist where cpath='" + q(cpath) + "'");
}

std::string kvrStmtInsert(std::string_view station, double tbegin, double tqty, double sps,
                          int gain, std::string_view cpath, std::string_view channel,
                          std::string_view location, int datatype, double calib, double calper) {
    return slashes(
        "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,lcode,datatype,creater, calib, "
        "calper) values ('" +
        q(station) + "', " + n(tbegin) + ", " + n(tqty) + ", " + n(sps) + ", " +
        std::to_string(gain) + ",'" + q(cpath) + "','" + q(channel) + "','" + q(location) + "', " +
        std::to_string(datatype) + ",'NRTSDISKLOOP'," + n(calib) + "," + n(calper) + ")");
}

std::string kvrStmtUpdate(double tbegin, double tqty, std::string_view cpath,
                          std::string_view station, std::string_view channel,
                          std::string_view location) {
    return slashes("update filelist set tbegin=" + n(tbegin) + ",tqty=" + n(tqty) +
                   " where cpath='" + q(cpath) + "' and sta='" + q(station) + "' and ch='" +
                   q(channel) + "' and lcode='" + q(location) + "'");
}

std::string kvrStmtLoopSize(std::string_view station) {
    return "select sum(sps*tqty*4+512) as DLSize from filelist where creater='NRTSDISKLOOP' and "
           "tqty>0. and sta='" +
           q(station) + "'";
}

std::string kvrStmtLoopList(std::string_view station) {
    // The two blanks before "order by" are the recorder's own text.
    return "select cpath,sps,tqty from filelist where creater='NRTSDISKLOOP' and sta='" +
           q(station) + "'  order by tbegin";
}

std::string kvrStmtDeleteRow(std::string_view cpath) {
    return "delete from FILELIST where cpath='" + q(cpath) + "'";
}

std::string kvrStmtSampleRate(std::string_view station, std::string_view channel,
                              std::string_view location) {
    return "select SPS from SITECHAN where  STA='" + q(station) + "' and CHAN='" + q(channel) +
           "' and LCODE='" + q(location) + "'";
}

// ---- the recorder's operations ----------------------------------------------------------------

KVR_SQL_RESULT kvrRegisterNewFile(KvrConnection& db, std::string_view cpath,
                                  std::string_view station, double tbegin, double tqty, double sps,
                                  std::string_view channel, std::string_view location, double calib,
                                  double calper) {
    std::string stored = kvrStoredLocation(location);
    runPrepared(db, kPreparedDeleteBeforeInsert, StoredValues().text(cpath));
    StoredValues values;
    values.text(station).number(tbegin).number(tqty).number(sps).text(cpath).text(channel);
    values.text(stored).number(calib).number(calper);
    if (!values.complete)
        return run(db, kvrStmtInsert(station, tbegin, tqty, sps, kRecorderGain, cpath, channel,
                                     stored, KVR_DATATYPE_FLOAT, calib, calper));
    return runPrepared(db, kPreparedInsert, values);
}

KVR_SQL_RESULT kvrUpdateFileRow(KvrConnection& db, std::string_view cpath, std::string_view station,
                                double tbegin, double tqty, std::string_view channel,
                                std::string_view location) {
    std::string stored = kvrStoredLocation(location);
    StoredValues values;
    values.number(tbegin).number(tqty).text(cpath).text(station).text(channel).text(stored);
    if (!values.complete)
        return run(db, kvrStmtUpdate(tbegin, tqty, cpath, station, channel, stored));
    return runPrepared(db, kPreparedUpdate, values);
}

KVR_SQL_RESULT kvrDiskLoopSize(KvrConnection& db, std::string_view station, uint32_t* total) {
    *total = 0;
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    SQLRETURN rc = st.execute(kvrStmtLoopSize(station));
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int size = st.bindDouble(1);
    rc = st.fetch();
    // A sum over no rows is NULL: the indicator says so, the buffer may hold anything.
    // With info too: a total read as 0 would never trim the loop.
    if (kvrSqlOk(rc) && !st.isNull(size)) {
        double bytes = st.doubleAt(size);
        if (std::isfinite(bytes) && bytes > 0)
            *total = static_cast<uint32_t>(std::min(std::trunc(bytes), kMaxLoopBytes));
    }
    if (rc == SQL_NO_DATA) rc = SQL_SUCCESS;
    return result(rc, st.message());
}

KVR_SQL_RESULT kvrDiskLoopList(KvrConnection& db, std::string_view station,
                               std::vector<KVR_LOOP_ENTRY>* rows,
                               std::vector<KVR_REFUSED_ATTRIBUTE>* refused) {
    rows->clear();
    if (refused) refused->clear();
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    // Hints only: the list is read to its end before any row is deleted, so any cursor gives the
    // same rows, and a loop whose trim stopped over a refused hint would fill the disk.
    const std::pair<SQLINTEGER, SQLULEN> hints[] = {{SQL_ATTR_CURSOR_TYPE, SQL_CURSOR_STATIC},
                                                    {SQL_ATTR_CONCURRENCY, SQL_CONCUR_VALUES},
                                                    {SQL_ATTR_SIMULATE_CURSOR, SQL_SC_UNIQUE}};
    for (const auto& [attribute, value] : hints)
        if (!kvrSqlOk(st.setAttribute(attribute, value)) && refused)
            refused->push_back({static_cast<int>(attribute), st.message()});
    SQLRETURN rc = st.execute(kvrStmtLoopList(station));
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int cpath = st.bindText(1);
    int sps = st.bindDouble(2);
    int tqty = st.bindDouble(3);
    while (kvrSqlOk(rc = st.fetch())) {
        KVR_LOOP_ENTRY e;
        e.cpath = st.textAt(cpath);
        e.sps = st.isNull(sps) ? 0.0 : st.doubleAt(sps);
        e.tqty = st.isNull(tqty) ? 0.0 : st.doubleAt(tqty);
        rows->push_back(std::move(e));
    }
    if (rc != SQL_NO_DATA) return result(rc, st.message());
    return result(SQL_SUCCESS, {});
}

KVR_SQL_RESULT kvrDeleteFileRow(KvrConnection& db, std::string_view cpath) {
    return noDataIsSuccess(run(db, kvrStmtDeleteRow(cpath)));
}

KVR_SQL_RESULT kvrLookupSampleRate(KvrConnection& db, std::string_view station,
                                   std::string_view channel, std::string_view location,
                                   double* sps) {
    *sps = 0.0;
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    SQLRETURN rc = st.execute(kvrStmtSampleRate(station, channel, location));
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int rate = st.bindDouble(1);
    rc = st.fetch();
    if (kvrSqlOk(rc) && !st.isNull(rate)) *sps = st.doubleAt(rate);
    if (rc == SQL_NO_DATA) rc = SQL_SUCCESS;
    return result(rc, st.message());
}

// ---- FILELIST rows ----------------------------------------------------------------------------

std::string kvrFileListFilter(std::string_view cpath) {
    return "cpath='" + q(cpath) + "'";
}

namespace {

// The rows that match a filter, in the order (and with the limit) that tail gives.
KVR_SQL_RESULT selectFileListRows(KvrConnection& db, std::string_view filter, std::string_view tail,
                                  std::vector<KVR_FILELIST_ROW>* rows) {
    rows->clear();
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    std::string sql =
        "select coalesce(STA,''),coalesce(CH,''),coalesce(LCODE,''),TBEGIN,TQTY,SPS,GAIN,"
        "coalesce(CPATH,''),DATATYPE,coalesce(CREATER,''),coalesce(cast(LDDATE as varchar(32)),''),"
        "FOFF,CALIB,CALPER from FILELIST";
    if (!filter.empty()) sql += " where " + std::string(filter);
    sql += tail;
    SQLRETURN rc = st.execute(sql);
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int sta = st.bindText(1), ch = st.bindText(2), lcode = st.bindText(3);
    int tbegin = st.bindDouble(4), tqty = st.bindDouble(5), sps = st.bindDouble(6);
    int gain = st.bindDouble(7), cpath = st.bindText(8), datatype = st.bindDouble(9);
    int creater = st.bindText(10), lddate = st.bindText(11), foff = st.bindDouble(12);
    int calib = st.bindDouble(13), calper = st.bindDouble(14);
    while (kvrSqlOk(rc = st.fetch())) {
        KVR_FILELIST_ROW r;
        r.sta = st.textAt(sta);
        r.ch = st.textAt(ch);
        r.lcode = st.textAt(lcode);
        r.tbegin = st.doubleAt(tbegin);
        r.tqty = st.doubleAt(tqty);
        r.sps = st.doubleAt(sps);
        r.gain = static_cast<int>(st.doubleAt(gain));
        r.cpath = st.textAt(cpath);
        r.datatype = static_cast<int>(st.doubleAt(datatype));
        r.creater = st.textAt(creater);
        r.lddate = st.textAt(lddate);
        r.hasFoff = !st.isNull(foff);
        r.foff = static_cast<int>(st.doubleAt(foff));
        r.hasCalib = !st.isNull(calib);
        r.calib = st.doubleAt(calib);
        r.calper = st.doubleAt(calper);
        rows->push_back(std::move(r));
    }
    if (rc != SQL_NO_DATA) return result(rc, st.message());
    return result(SQL_SUCCESS, {});
}

}  // namespace

KVR_SQL_RESULT kvrSelectFileListRows(KvrConnection& db, std::string_view filter,
                                     std::vector<KVR_FILELIST_ROW>* rows) {
    return selectFileListRows(db, filter, " order by STA,TBEGIN,CPATH", rows);
}

KVR_SQL_RESULT kvrSelectNewestFileListRow(KvrConnection& db, std::string_view filter,
                                          std::vector<KVR_FILELIST_ROW>* rows) {
    // The last row of kvrSelectFileListRows's order within one station, read without the others.
    return selectFileListRows(db, filter, " order by TBEGIN desc,CPATH desc limit 1", rows);
}

KVR_SQL_RESULT kvrSelectNewestRecorderRow(KvrConnection& db, std::string_view station,
                                          std::string_view channel, std::string_view location,
                                          std::vector<KVR_FILELIST_ROW>* rows) {
    const std::string filter = "sta='" + q(station) + "' and ch='" + q(channel) + "' and lcode='" +
                               q(location) + "' and creater='" + KVR_CREATER_RECORDER + "'";
    return kvrSelectNewestFileListRow(db, filter, rows);
}

KVR_SQL_RESULT kvrDeleteFileListRows(KvrConnection& db, std::string_view cpath) {
    return noDataIsSuccess(run(db, "delete from FILELIST where " + kvrFileListFilter(cpath)));
}

namespace {

std::string optionalNumber(bool present, double value) {
    return present ? kvrSqlNumber(value) : std::string("NULL");
}

std::string optionalText(std::string_view text) {
    if (text.empty()) return "NULL";
    std::string literal = "'";
    literal += q(text);
    literal += "'";
    return literal;
}

}  // namespace

KVR_SQL_RESULT kvrInsertFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row) {
    std::string sql =
        "insert into FILELIST (STA,SPS,GAIN,CPATH,DATATYPE,CH,CREATER,LDDATE,TBEGIN,TQTY,FOFF,"
        "LCODE,CALIB,CALPER) values ('" +
        q(row.sta) + "'," + n(row.sps) + "," + std::to_string(row.gain) + ",'" + q(row.cpath) +
        "'," + std::to_string(row.datatype) + ",'" + q(row.ch) + "','" + q(row.creater) + "'," +
        optionalText(row.lddate) + "," + n(row.tbegin) + "," + n(row.tqty) + "," +
        (row.hasFoff ? std::to_string(row.foff) : std::string("NULL")) + ",'" + q(row.lcode) +
        "'," + optionalNumber(row.hasCalib, row.calib) + "," +
        optionalNumber(row.hasCalib, row.calper) + ")";
    return run(db, sql);
}

KVR_SQL_RESULT kvrEditFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row) {
    std::string sql = "update FILELIST set STA='" + q(row.sta) + "',SPS=" + n(row.sps) +
                      ",GAIN=" + std::to_string(row.gain) +
                      ",DATATYPE=" + std::to_string(row.datatype) + ",CH='" + q(row.ch) +
                      "',CREATER='" + q(row.creater) + "',LDDATE=" + optionalText(row.lddate) +
                      ",TBEGIN=" + n(row.tbegin) + ",TQTY=" + n(row.tqty) +
                      ",FOFF=" + (row.hasFoff ? std::to_string(row.foff) : std::string("NULL")) +
                      ",LCODE='" + q(row.lcode) +
                      "',CALIB=" + optionalNumber(row.hasCalib, row.calib) +
                      ",CALPER=" + optionalNumber(row.hasCalib, row.calper) + " where " +
                      kvrFileListFilter(row.cpath);
    return run(db, sql);
}

KVR_SQL_RESULT kvrWriteFileListRow(KvrConnection& db, KVR_FILELIST_ROW row, KvrRowMode mode) {
    row.cpath = kvrCatalogPath(row.cpath);
    row.lcode = kvrStoredLocation(row.lcode);
    KvrTransaction transaction(db);
    if (!transaction.active()) return result(SQL_ERROR, db.message());
    std::vector<KVR_FILELIST_ROW> matching;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, kvrFileListFilter(row.cpath), &matching);
    if (!r.ok()) return r;
    if (mode == KvrRowMode::Insert || matching.empty()) {
        // Every old row of the path goes, not only the first, so the file ends with one row.
        if (!matching.empty()) {
            r = kvrDeleteFileListRows(db, row.cpath);
            if (!r.ok()) return r;
        }
        r = kvrInsertFileListRow(db, row);
    } else {
        if (matching.size() > 1) {
            r = kvrDeleteFileListRows(db, row.cpath);
            if (r.ok()) r = kvrInsertFileListRow(db, row);
        } else {
            r = kvrEditFileListRow(db, row);
        }
    }
    if (!r.ok()) return r;
    if (!transaction.commit()) return result(SQL_ERROR, db.message());
    return result(SQL_SUCCESS, {});
}

std::string kvrNowTimestamp() {
    std::tm tm{};
    platGmTime(int64_t(std::time(nullptr)), &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// ---- SITECHAN -------------------------------------------------------------------------------

KVR_SITECHAN_ROW kvrSitechanKey(std::string_view station, std::string_view channel,
                                std::string_view location, double sps) {
    KVR_SITECHAN_ROW r;
    r.sta = lower(station);
    r.chan = upper(channel);
    r.lcode = upper(kvrStoredLocation(location));
    r.sps = sps;
    return r;
}

KVR_SQL_RESULT kvrPutSitechan(KvrConnection& db, const KVR_SITECHAN_ROW& given) {
    KVR_SITECHAN_ROW row = kvrSitechanKey(given.sta, given.chan, given.lcode, given.sps);
    KvrTransaction transaction(db);
    if (!transaction.active()) return result(SQL_ERROR, db.message());
    KVR_SQL_RESULT r =
        noDataIsSuccess(run(db, "delete from SITECHAN where STA='" + q(row.sta) + "' and CHAN='" +
                                    q(row.chan) + "' and LCODE='" + q(row.lcode) + "'"));
    if (!r.ok()) return r;
    r = run(db, "insert into SITECHAN (STA,CHAN,LCODE,SPS) values ('" + q(row.sta) + "','" +
                    q(row.chan) + "','" + q(row.lcode) + "'," + n(row.sps) + ")");
    if (!r.ok()) return r;
    if (!transaction.commit()) return result(SQL_ERROR, db.message());
    return result(SQL_SUCCESS, {});
}

KVR_SQL_RESULT kvrSelectSitechan(KvrConnection& db, std::vector<KVR_SITECHAN_ROW>* rows) {
    rows->clear();
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    SQLRETURN rc = st.execute(
        "select coalesce(STA,''),coalesce(CHAN,''),coalesce(LCODE,''),SPS from SITECHAN order by "
        "STA,CHAN,LCODE");
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int sta = st.bindText(1), chan = st.bindText(2), lcode = st.bindText(3);
    int sps = st.bindDouble(4);
    while (kvrSqlOk(rc = st.fetch())) {
        rows->push_back({st.textAt(sta), st.textAt(chan), st.textAt(lcode), st.doubleAt(sps)});
    }
    if (rc != SQL_NO_DATA) return result(rc, st.message());
    return result(SQL_SUCCESS, {});
}

// ---- schema ---------------------------------------------------------------------------------

namespace {

struct SchemaObject {
    const char* name;
    bool isTable;
    const char* create;
};

// Text columns are NOT NULL: under the ODBC cursor library a NULL text value fetched into a bound
// buffer is copied from uninitialised memory (unixODBC 2.3), so the recorder's fixed statements
// must never meet one. Our own selects coalesce text for catalogues made elsewhere.
// varchar(255) and double precision read the same on both engines; the indexes serve every
// statement a running recorder issues: by CPATH (register, update, delete), by CREATER, STA and
// TBEGIN (loop size and loop list), and SITECHAN by its three codes.
constexpr SchemaObject kSchema[] = {
    {"filelist", true,
     "create table if not exists FILELIST (STA varchar(255) not null, CH varchar(255) not null, "
     "LCODE varchar(255) not null, TBEGIN double precision, TQTY double precision, SPS double "
     "precision, GAIN integer, CPATH varchar(255) not null, DATATYPE integer, CREATER "
     "varchar(255) not null, LDDATE timestamp, FOFF integer, CALIB double precision, CALPER "
     "double precision)"},
    {"sitechan", true,
     "create table if not exists SITECHAN (STA varchar(255) not null, CHAN varchar(255) not "
     "null, LCODE varchar(255) not null, SPS double precision)"},
    {"filelist_cpath", false, "create index if not exists filelist_cpath on FILELIST (CPATH)"},
    {"filelist_loop", false,
     "create index if not exists filelist_loop on FILELIST (CREATER, STA, TBEGIN)"},
    {"sitechan_key", false,
     "create index if not exists sitechan_key on SITECHAN (STA, CHAN, LCODE)"},
    // Which data directory each station's files are in (kvr/owners.h), and what a repair could
    // not know exactly of a file it registered (kvrdb check --adopt).
    {"datadir", true,
     "create table if not exists DATADIR (STA varchar(255) not null, CREATER varchar(255) not "
     "null, HOST varchar(255) not null, DIR varchar(1024) not null, LDDATE timestamp)"},
    {"filenote", true,
     "create table if not exists FILENOTE (CPATH varchar(255) not null, TBEGIN double precision, "
     "NOTE varchar(255) not null, LDDATE timestamp)"},
    {"filenote_cpath", false, "create index if not exists filenote_cpath on FILENOTE (CPATH)"},
};

// Whether an object exists, asked in each engine's own catalogue; tables by a probe that works
// anywhere.
bool exists(KvrConnection& db, const SchemaObject& object, bool postgres) {
    if (object.isTable) {
        KvrStatement st(db);
        return kvrSqlOk(
            st.execute(std::string("select count(*) from ") + object.name + " where 1=0"));
    }
    KvrStatement st(db);
    std::string sql = postgres
                          ? "select count(*) from pg_indexes where schemaname=current_schema() "
                            "and indexname='"
                          : "select count(*) from sqlite_master where type='index' and name='";
    if (!kvrSqlOk(st.execute(sql + object.name + "'"))) return false;
    int count = st.bindDouble(1);
    return kvrSqlOk(st.fetch()) && st.doubleAt(count) > 0;
}

}  // namespace

KVR_SQL_RESULT kvrCreateSchema(KvrConnection& db, std::vector<std::string>* created) {
    created->clear();
    std::string engine = lower(db.dbmsName());
    bool postgres = engine.find("postgres") != std::string::npos;
    for (const SchemaObject& object : kSchema) {
        bool had = exists(db, object, postgres);
        KVR_SQL_RESULT r = run(db, object.create);
        if (!r.ok()) return r;
        if (!had) created->push_back(object.name);
    }
    return result(SQL_SUCCESS, {});
}

KVR_SQL_RESULT kvrCreateTableIfMissing(KvrConnection& db, std::string_view table) {
    const std::string name = lower(table);
    bool found = false;
    for (const SchemaObject& object : kSchema) {
        // The table, then the indexes whose names begin with it.
        if (object.isTable ? name != object.name
                           : std::string_view(object.name).rfind(name + "_", 0) != 0)
            continue;
        found = found || object.isTable;
        KVR_SQL_RESULT r = run(db, object.create);
        if (!r.ok()) return r;
    }
    return found ? result(SQL_SUCCESS, {}) : result(SQL_ERROR, "no table " + name + " is known");
}

// ---- notes ----------------------------------------------------------------------------------

KVR_SQL_RESULT kvrPutFileNote(KvrConnection& db, const KVR_FILE_NOTE& note) {
    KVR_SQL_RESULT r = kvrCreateTableIfMissing(db, "FILENOTE");
    if (!r.ok()) return r;
    KvrTransaction transaction(db);
    if (!transaction.active()) return result(SQL_ERROR, db.message());
    r = noDataIsSuccess(run(db, "delete from FILENOTE where CPATH='" + q(note.cpath) + "'"));
    if (!r.ok()) return r;
    r = run(db, "insert into FILENOTE (CPATH,TBEGIN,NOTE,LDDATE) values ('" + q(note.cpath) + "'," +
                    n(note.tbegin) + ",'" + q(note.note) + "','" + kvrNowTimestamp() + "')");
    if (!r.ok()) return r;
    if (!transaction.commit()) return result(SQL_ERROR, db.message());
    return r;
}

KVR_SQL_RESULT kvrSelectFileNotes(KvrConnection& db, std::vector<KVR_FILE_NOTE>* notes) {
    notes->clear();
    KVR_SQL_RESULT r = kvrCreateTableIfMissing(db, "FILENOTE");
    if (!r.ok()) return r;
    KvrStatement st(db);
    if (!st.valid()) return result(SQL_ERROR, st.message());
    SQLRETURN rc = st.execute("select CPATH,TBEGIN,NOTE from FILENOTE order by CPATH");
    if (!kvrSqlOk(rc)) return result(rc, st.message());
    int cpath = st.bindText(1), tbegin = st.bindDouble(2), note = st.bindText(3);
    while (kvrSqlOk(rc = st.fetch()))
        notes->push_back(
            {st.textAt(cpath), st.isNull(tbegin) ? 0.0 : st.doubleAt(tbegin), st.textAt(note)});
    if (rc != SQL_NO_DATA) return result(rc, st.message());
    return result(SQL_SUCCESS, {});
}
