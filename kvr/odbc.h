// A thin layer over the ODBC call-level interface (unixODBC here): handles that free themselves,
// diagnostics as the driver's message text, and the raw SQLRETURN kept for callers whose success
// rule differs from "SQL_SUCCESS or SQL_SUCCESS_WITH_INFO".
//
// Driver facts the layer is built around:
//  - the ODBC cursor library is chosen on the connection before SQLConnect (afterwards the
//    driver manager answers 08002); with it, SQLFetch needs bound columns and SQLGetData would
//    need a static cursor, so every result column here is bound;
//  - a searched DELETE or UPDATE that touches no row returns SQL_NO_DATA;
//  - an aggregate over no rows fetches SQL_SUCCESS with a NULL indicator and whatever the bound
//    buffer held before: always read the indicator (KvrStatement::isNull);
//  - the SQLite driver (libsqlite3odbc 0.9998) parses a prepared text again at every SQLExecute:
//    there a prepared statement saves the statement handle and the text, not the parse.
#pragma once

#ifdef _WIN32
#include <windows.h>  // the ODBC headers of Windows build on its types
#endif
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// SQL_SUCCESS or SQL_SUCCESS_WITH_INFO.
// False for every other result, SQL_NO_DATA included.
inline bool kvrSqlOk(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// The diagnostic message texts of a handle, joined by "; " (empty when there are none).
// At most the first 8 records, each cut to 511 characters; empty for a null handle. The records
// are read, not cleared, and the handle is not kept.
std::string kvrOdbcMessage(SQLSMALLINT handleType, SQLHANDLE handle);
// The SQLSTATE of the first diagnostic record ("" when there is none, or for a null handle).
std::string kvrOdbcState(SQLSMALLINT handleType, SQLHANDLE handle);

struct KVR_CONNECT_OPTIONS {
    bool useCursorLibrary = true;  // both programs open the catalogue through the cursor library
                                   // (an open fails when the driver manager refuses it)
};

class KvrConnection;

// A value for one '?' of a prepared statement: a double (SQL_DOUBLE), or the text (SQL_VARCHAR)
// when isText.
struct KVR_PARAMETER {
    bool isText = false;
    double number = 0.0;
    std::string text;
};
// A number value; a text value, the parameter holding its own copy of the text.
inline KVR_PARAMETER kvrNumberParameter(double value) {
    return {false, value, {}};
}
inline KVR_PARAMETER kvrTextParameter(std::string text) {
    return {true, 0.0, std::move(text)};
}

// The execution times of a connection's statements, in constant memory: a count per log-spaced
// time bucket (kBucketsPerOctave a doubling, from kFirstBucketSeconds up; a longer time counts
// in the last bucket), so a quantile is known to within about 9%. Not synchronised: read it on
// the thread that uses the connection, or after that thread has ended.
class KvrStatementTimes {
  public:
    static constexpr int kBucketsPerOctave = 4;
    static constexpr int kBuckets = 30 * kBucketsPerOctave;  // 1 us to about 18 minutes
    static constexpr double kFirstBucketSeconds = 1e-6;

    // One execution that took the given seconds; failed when the driver refused it. A time of
    // kFirstBucketSeconds or less counts in the first bucket; a longer one than the last bucket
    // holds (NaN and infinity too) in the last.
    void record(double seconds, bool failed);
    // A statement run once more on a connection made anew: one more in retried().
    void noteRetry() { ++retried_; }

    // Executions recorded, statements retried, and executions that failed, since the times were
    // made (never reset, not by a close or a reconnect either).
    unsigned long long count() const { return count_; }
    unsigned long long retried() const { return retried_; }
    unsigned long long failed() const { return failed_; }
    // Seconds within which the given fraction (0 to 1) of the executions ended: the middle of
    // the bucket that holds it. 0 when nothing was executed; a fraction outside 0 to 1 is taken
    // as the nearer end.
    double quantile(double fraction) const;

  private:
    unsigned long long buckets_[kBuckets] = {};
    unsigned long long count_ = 0;
    unsigned long long retried_ = 0;
    unsigned long long failed_ = 0;
};

// One statement handle, freed on destruction. Bound buffers live inside the statement so that
// they stay valid for every fetch. The statement keeps a pointer to its connection, which must
// outlive it; it is not synchronised (one thread at a time, the connection's).
class KvrStatement {
  public:
    // Makes a handle on the connection. Outside a transaction a lost connection is made anew
    // first (see KvrConnection::reopenIfLost: every statement made before loses its handle). On
    // failure the statement is not valid() and message() says why: the reconnect's failure,
    // "the database is not open", or the driver's text (else "cannot allocate a statement").
    explicit KvrStatement(KvrConnection& connection);
    // Frees the handle, unless the connection was closed since (the disconnect freed it).
    ~KvrStatement();
    KvrStatement(const KvrStatement&) = delete;
    KvrStatement& operator=(const KvrStatement&) = delete;

    // False when the handle could not be made, or went with a connection closed since.
    bool valid() const;
    // The ODBC handle, still the statement's (never free it): SQL_NULL_HSTMT when none was made,
    // and no longer a handle once the connection has closed (check valid()).
    SQLHSTMT handle() const { return stmt_; }

    // Each returns the raw result; message() then holds the driver's text. Every call below that
    // reaches the driver clears message() and state() on SQL_SUCCESS or SQL_NO_DATA, sets them
    // otherwise (a refusal without text reads "ODBC error N"), and tells the connection of a
    // refusal (noteFailure). On a statement that is not valid() each returns SQL_INVALID_HANDLE
    // and leaves message() as it was. Texts are copied for the call and not kept.
    SQLRETURN setAttribute(SQLINTEGER attribute, SQLULEN value);
    SQLRETURN execute(std::string_view sql);
    // SQLPrepare: the text, with a '?' for each value, is parsed once for the executions that
    // follow. A refusal counts as a failed execution in the connection's statement times (the
    // text was not run), so the counts match those of executing the text directly. Returns the raw
    // result, message() as above.
    SQLRETURN prepare(std::string_view sql);
    // Executes the prepared text with the values bound to its '?' in order (one value a marker).
    // The values are read during the call only; the result is that of execute(sql). A binding the
    // driver refuses ends the call with its result, counted as a failed execution.
    SQLRETURN execute(std::span<const KVR_PARAMETER> values);
    // The next row into the bound buffers: SQL_SUCCESS (or SQL_SUCCESS_WITH_INFO), SQL_NO_DATA
    // after the last row, else the driver's refusal. Not counted in the statement times.
    SQLRETURN fetch();
    // Rows touched by the last INSERT, UPDATE or DELETE (-1 when the driver cannot tell, or the
    // statement is not valid); message() untouched.
    SQLLEN rowCount();

    // Binds result column (from 1) as a double or as text of up to capacity - 1 characters (a
    // longer value arrives cut; capacity must be at least 1). Returns the slot the fetched value is
    // read from with doubleAt/textAt/isNull. A slot is returned even when the statement is not
    // valid or the driver refuses the binding (message() then says why); it then reads as NULL.
    // The buffers are the statement's and live as long as it does.
    int bindDouble(SQLUSMALLINT column);
    // A capacity of 0 is taken as 1 (room for the terminator: the value reads as empty).
    int bindText(SQLUSMALLINT column, size_t capacity = 256);
    // Binds result column (from 1) as a 64-bit integer, read with integerAt.
    int bindInteger(SQLUSMALLINT column);
    // The value the last successful fetch left in a slot (a fetch that returns SQL_NO_DATA
    // leaves the earlier row's), a text ending at its first zero byte. isNull is true for a
    // NULL value, a slot that is not bound, and before the first fetch; doubleAt then gives 0.0
    // and textAt an empty text.
    double doubleAt(int slot) const;
    int64_t integerAt(int slot) const;  // 0 for NULL
    std::string textAt(int slot) const;
    // The same text without a copy: valid until the next fetch (empty for NULL).
    std::string_view textViewAt(int slot) const;
    bool isNull(int slot) const;

    // The driver's text and SQLSTATE of the last call that reached the driver, when it ended in
    // other than SQL_SUCCESS or SQL_NO_DATA (an SQL_SUCCESS_WITH_INFO keeps its information here),
    // or why the handle could not be made; empty otherwise. References into the statement, valid
    // while it lives.
    const std::string& message() const { return message_; }
    const std::string& state() const { return state_; }

  private:
    struct Binding {
        std::vector<char> text;
        double number = 0.0;
        int64_t integer = 0;
        SQLLEN indicator = SQL_NULL_DATA;
        bool isText = false;
    };
    SQLRETURN record(SQLRETURN rc);
    // One execution that began at started and ended now with rc, in the connection's statement
    // times (a refusal as failed); then record(rc).
    SQLRETURN recordExecution(std::chrono::steady_clock::time_point started, SQLRETURN rc);

    KvrConnection* connection_ = nullptr;
    unsigned generation_ = 0;  // the connection's, when the handle was made
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
    std::vector<std::unique_ptr<Binding>> bindings_;
    std::vector<SQLLEN> parameterLengths_;  // the text values' lengths, read by SQLExecute
    std::string message_;
    std::string state_;
};

// One environment and one connection, both freed (and disconnected) on destruction. Statements
// made on it keep a pointer to it: it must outlive them. Not synchronised: one thread at a time.
class KvrConnection {
  public:
    // Closed; nothing is allocated before open.
    KvrConnection();
    // close().
    ~KvrConnection();
    KvrConnection(const KvrConnection&) = delete;
    KvrConnection& operator=(const KvrConnection&) = delete;

    // SQLConnect to a data source by name, the way the recorder opens "KVR".
    bool open(const std::string& dsn, const std::string& user, const std::string& password,
              const KVR_CONNECT_OPTIONS& options = {});
    // SQLDriverConnect with a full connection string ("DSN=KVR;UID=KVR;PWD=JXQ;" or
    // "DRIVER=/path/libsqlite3odbc.so;Database=/tmp/x.db;").
    // Both close a connection already open first, whatever the outcome. True with message()
    // cleared; false with the connection closed and message() saying why (the driver's text,
    // else "cannot connect ..."). The parameters are copied and kept, password included, for a
    // connection made anew after a loss. The statement times are kept.
    bool openString(const std::string& connectionString, const KVR_CONNECT_OPTIONS& options = {});
    // Rolls back an open transaction, disconnects, and frees the handles and every kept prepared
    // statement; statements made before lose their handles (valid() false). Harmless when closed.
    // message(), the statement times and the parameters of the last open are kept, and so is
    // lost(): a connection lost before the close is made anew by the next statement made on it.
    void close();
    // True from a successful open until close, or a reconnect that failed. A connection the server
    // dropped still counts as open (see lost()).
    bool isOpen() const { return connected_; }

    // Executes one statement on a statement handle of its own; message() holds the text of a
    // failure. The raw result is returned (SQL_NO_DATA for a DELETE or UPDATE of no row). When
    // rowCount is given it receives the rows an INSERT, UPDATE or DELETE touched (0 for
    // SQL_NO_DATA, -1 when the statement failed or the driver cannot tell). A statement outside a
    // transaction that fails because the connection was lost (a catalogue server restarted) is
    // run once more on a connection made anew. SQL_ERROR when no statement handle could be made;
    // message() is cleared by SQL_SUCCESS and SQL_NO_DATA. The handle is freed before the return.
    SQLRETURN execute(std::string_view sql, SQLLEN* rowCount = nullptr);
    // The same for a text with a '?' for each value: prepared on its first use on this connection
    // and kept (one handle per text, freed when the connection closes), then executed with the
    // values, so that a statement run for every record needs no handle or text of its own, and
    // a driver that keeps the parse parses it once. Results, row count, message(), retry after a
    // lost connection and statement times are those of execute(sql); a handle prepared before
    // the connection was made anew is never used again: the text is prepared again. Callers pass
    // constant texts, so the handles kept stay few. The values are read during the call only; a
    // handle whose execution failed is freed, and the next call prepares the text again.
    SQLRETURN executePrepared(std::string_view sql, std::span<const KVR_PARAMETER> values,
                              SQLLEN* rowCount = nullptr);

    // A lost connection (SQLSTATE class 08, or a connection the driver reports dead) is made
    // anew, with the parameters of the last open, before the next statement outside a
    // transaction; a statement inside one fails, and the caller's rollback ends it. These tell
    // the statements of this connection about it; reopenIfLost returns true when the connection
    // is usable (it was not lost, or it was made anew), false with message() set otherwise.
    // noteFailure marks an open connection lost when state is of class 08 or the driver reports
    // the connection dead; it does nothing on a closed one. reopenIfLost opens a lost connection
    // again with open's effects (statements made before lose their handles, a transaction is
    // rolled back); on failure message() reads "the catalogue connection was lost and cannot be
    // made again: ..." and the connection stays closed and lost, to be tried again by the next
    // statement. lost() is true from the refusal that found the loss until the next open or
    // reconnect.
    void noteFailure(const std::string& state);
    bool reopenIfLost();
    bool lost() const { return lost_; }
    // Counts closes: a statement made before the last one has lost its handle with it (a
    // disconnect frees every statement of the connection).
    unsigned generation() const { return generation_; }

    // Transactions: begin turns autocommit off; commit and rollback end the transaction and turn
    // autocommit back on.
    // begin: true, also when a transaction is open already (it is not nested); false with
    // message() set ("the database is not open", or the driver's text). begin does not make a lost
    // connection anew.
    // commit and rollback: false, message() untouched, when not open or no transaction is open.
    // A refused commit returns false with message() set and leaves the transaction open, for the
    // caller to roll back. A refused rollback returns false with message() set, yet the
    // transaction counts as ended and autocommit is turned back on (whose result is not checked).
    bool begin();
    bool commit();
    bool rollback();
    // True from a successful begin until commit, rollback or close end the transaction.
    bool inTransaction() const { return inTransaction_; }

    // How long the statements of this connection took since it was made (every execution,
    // through execute() here or a KvrStatement, a retried statement's attempts each counted), and
    // how many were retried and refused. References into the connection, valid while it lives.
    const KvrStatementTimes& statementTimes() const { return times_; }
    KvrStatementTimes& statementTimes() { return times_; }

    // The engine name the driver reports ("SQLite", "PostgreSQL"), empty when unknown (not open,
    // or the driver does not say). message() untouched.
    std::string dbmsName();

    // The ODBC handles, still the connection's (never free them): null when closed, and made
    // anew by every open or reconnect.
    SQLHENV environment() const { return env_; }
    SQLHDBC handle() const { return dbc_; }
    // The text of the last failure of an open, a reconnect, execute, executePrepared or a
    // transaction call (see each); a reference into the connection. setMessage replaces it.
    const std::string& message() const { return message_; }
    void setMessage(std::string text) { message_ = std::move(text); }

  private:
    // One run of a statement: its result and, through the pointer, the rows it touched; nullopt
    // when no handle could be made (message_ says why).
    using Attempt = std::function<std::optional<SQLRETURN>(SQLLEN* rows)>;
    // Runs the attempt, and once more when it failed because the connection was lost outside a
    // transaction (the attempt has let go of its handle by then).
    SQLRETURN runWithRetry(const Attempt& attempt, SQLLEN* rowCount);
    // The prepared handle of a text on this connection in *statement, made (again) when missing
    // or made before a reconnect. SQL_SUCCESS; SQL_INVALID_HANDLE when no handle could be made,
    // or the driver's refusal of the text, with message_ set and *statement null.
    SQLRETURN preparedStatement(std::string_view sql, KvrStatement** statement);

    bool prepare(const KVR_CONNECT_OPTIONS& options);
    bool endTransaction(SQLSMALLINT completion);

    bool connect();

    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
    bool lost_ = false;
    unsigned generation_ = 0;
    // How the last open connected, for a connection made anew after a loss.
    bool byString_ = false;
    std::string dsn_, user_, password_, connectionString_;
    KVR_CONNECT_OPTIONS options_;
    bool inTransaction_ = false;
    std::string message_;
    KvrStatementTimes times_;
    std::map<std::string, std::unique_ptr<KvrStatement>, std::less<>> prepared_;
};

// Rolls back on destruction unless committed: every error path of a row operation ends the
// transaction. Keeps a reference to the connection, which must outlive it. Not nested: on a
// connection whose transaction is open already it joins that one, and ends it.
class KvrTransaction {
  public:
    // Begins (KvrConnection::begin); active() is false when that failed, the connection's
    // message() saying why.
    explicit KvrTransaction(KvrConnection& connection)
        : connection_(connection), active_(connection.begin()) {}
    ~KvrTransaction() {
        if (active_) connection_.rollback();
    }
    KvrTransaction(const KvrTransaction&) = delete;
    KvrTransaction& operator=(const KvrTransaction&) = delete;
    // True from a successful begin until commit.
    bool active() const { return active_; }
    // True when committed. False when not active (message() untouched), or when the commit was
    // refused: then it is rolled back, and the connection's message() holds the refusal (or the
    // rollback's, when that was refused too). Not active afterwards either way.
    bool commit() {
        if (!active_) return false;
        active_ = false;
        if (connection_.commit()) return true;
        connection_.rollback();
        return false;
    }

  private:
    KvrConnection& connection_;
    bool active_;
};
