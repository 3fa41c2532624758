// ODBC handles that free themselves; see odbc.h for the driver facts they are built around.
#include "kvr/odbc.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// The message buffer the recorder logs from: 511 characters and a terminator.
constexpr SQLSMALLINT kMessageCapacity = 512;
constexpr SQLSMALLINT kMaxDiagnosticRecords = 8;

}  // namespace

std::string kvrOdbcMessage(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::string joined;
    if (handle == SQL_NULL_HANDLE) return joined;
    for (SQLSMALLINT i = 1; i <= kMaxDiagnosticRecords; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[kMessageCapacity] = {};
        SQLSMALLINT length = 0;
        SQLRETURN rc =
            SQLGetDiagRec(handleType, handle, i, state, &native, text, kMessageCapacity, &length);
        if (!kvrSqlOk(rc)) break;
        if (!joined.empty()) joined += "; ";
        joined += reinterpret_cast<const char*>(text);
    }
    return joined;
}

std::string kvrOdbcState(SQLSMALLINT handleType, SQLHANDLE handle) {
    if (handle == SQL_NULL_HANDLE) return {};
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[kMessageCapacity] = {};
    SQLSMALLINT length = 0;
    if (!kvrSqlOk(
            SQLGetDiagRec(handleType, handle, 1, state, &native, text, kMessageCapacity, &length)))
        return {};
    return reinterpret_cast<const char*>(state);
}

// ---- statement ----------------------------------------------------------------------------

KvrStatement::KvrStatement(KvrConnection& connection) : connection_(&connection) {
    if (!connection.inTransaction() && !connection.reopenIfLost()) {
        message_ = connection.message();
        return;
    }
    if (!connection.isOpen()) {
        message_ = "the database is not open";
        return;
    }
    generation_ = connection.generation();
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, connection.handle(), &stmt_);
    if (!kvrSqlOk(rc)) {
        message_ = kvrOdbcMessage(SQL_HANDLE_DBC, connection.handle());
        if (message_.empty()) message_ = "cannot allocate a statement";
        stmt_ = SQL_NULL_HSTMT;
    }
}

bool KvrStatement::valid() const {
    return stmt_ != SQL_NULL_HSTMT && connection_->generation() == generation_;
}

KvrStatement::~KvrStatement() {
    if (stmt_ != SQL_NULL_HSTMT && connection_->generation() == generation_)
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

SQLRETURN KvrStatement::record(SQLRETURN rc) {
    if (rc == SQL_SUCCESS || rc == SQL_NO_DATA) {
        message_.clear();
        state_.clear();
        return rc;
    }
    if (!valid()) return rc;
    message_ = kvrOdbcMessage(SQL_HANDLE_STMT, stmt_);
    state_ = kvrOdbcState(SQL_HANDLE_STMT, stmt_);
    if (message_.empty() && !kvrSqlOk(rc)) message_ = "ODBC error " + std::to_string(rc);
    if (!kvrSqlOk(rc)) connection_->noteFailure(state_);
    return rc;
}

SQLRETURN KvrStatement::setAttribute(SQLINTEGER attribute, SQLULEN value) {
    if (!valid()) return SQL_INVALID_HANDLE;
    return record(SQLSetStmtAttr(stmt_, attribute, reinterpret_cast<SQLPOINTER>(value), 0));
}

SQLRETURN KvrStatement::execute(std::string_view sql) {
    if (!valid()) return SQL_INVALID_HANDLE;
    std::string text(sql);
    const auto started = std::chrono::steady_clock::now();
    return recordExecution(started, SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()),
                                                  static_cast<SQLINTEGER>(text.size())));
}

SQLRETURN KvrStatement::recordExecution(std::chrono::steady_clock::time_point started,
                                        SQLRETURN rc) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    connection_->statementTimes().record(took.count(), !kvrSqlOk(rc) && rc != SQL_NO_DATA);
    return record(rc);
}

SQLRETURN KvrStatement::prepare(std::string_view sql) {
    if (!valid()) return SQL_INVALID_HANDLE;
    std::string text(sql);
    const auto started = std::chrono::steady_clock::now();
    SQLRETURN rc = SQLPrepare(stmt_, reinterpret_cast<SQLCHAR*>(text.data()),
                              static_cast<SQLINTEGER>(text.size()));
    return kvrSqlOk(rc) ? record(rc) : recordExecution(started, rc);
}

SQLRETURN KvrStatement::execute(std::span<const KVR_PARAMETER> values) {
    if (!valid()) return SQL_INVALID_HANDLE;
    // Binding is part of the execution: its refusal counts as a failed one.
    const auto started = std::chrono::steady_clock::now();
    parameterLengths_.assign(values.size(), 0);
    SQLRETURN rc = SQL_SUCCESS;
    for (size_t i = 0; i < values.size() && kvrSqlOk(rc); ++i) {
        const KVR_PARAMETER& value = values[i];
        const auto marker = static_cast<SQLUSMALLINT>(i + 1);
        if (value.isText) {
            parameterLengths_[i] = static_cast<SQLLEN>(value.text.size());
            // A column size of 0 is refused by some drivers, even for an empty text.
            rc = SQLBindParameter(stmt_, marker, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                  std::max<SQLULEN>(value.text.size(), 1), 0,
                                  const_cast<char*>(value.text.data()), parameterLengths_[i],
                                  &parameterLengths_[i]);
        } else {
            rc = SQLBindParameter(stmt_, marker, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0,
                                  const_cast<double*>(&value.number), 0, nullptr);
        }
    }
    if (kvrSqlOk(rc)) rc = SQLExecute(stmt_);
    return recordExecution(started, rc);
}

SQLRETURN KvrStatement::fetch() {
    if (!valid()) return SQL_INVALID_HANDLE;
    return record(SQLFetch(stmt_));
}

SQLLEN KvrStatement::rowCount() {
    SQLLEN rows = -1;
    if (!valid() || !kvrSqlOk(SQLRowCount(stmt_, &rows))) return -1;
    return rows;
}

int KvrStatement::bindDouble(SQLUSMALLINT column) {
    auto binding = std::make_unique<Binding>();
    if (valid())
        record(SQLBindCol(stmt_, column, SQL_C_DOUBLE, &binding->number, sizeof binding->number,
                          &binding->indicator));
    bindings_.push_back(std::move(binding));
    return static_cast<int>(bindings_.size()) - 1;
}

int KvrStatement::bindInteger(SQLUSMALLINT column) {
    auto binding = std::make_unique<Binding>();
    if (valid())
        record(SQLBindCol(stmt_, column, SQL_C_SBIGINT, &binding->integer, sizeof binding->integer,
                          &binding->indicator));
    bindings_.push_back(std::move(binding));
    return static_cast<int>(bindings_.size()) - 1;
}

int64_t KvrStatement::integerAt(int slot) const {
    if (isNull(slot)) return 0;
    return bindings_[static_cast<size_t>(slot)]->integer;
}

int KvrStatement::bindText(SQLUSMALLINT column, size_t capacity) {
    auto binding = std::make_unique<Binding>();
    binding->isText = true;
    binding->text.assign(std::max<size_t>(capacity, 1), '\0');  // room for the terminator at least
    if (valid())
        record(SQLBindCol(stmt_, column, SQL_C_CHAR, binding->text.data(),
                          static_cast<SQLLEN>(capacity), &binding->indicator));
    bindings_.push_back(std::move(binding));
    return static_cast<int>(bindings_.size()) - 1;
}

bool KvrStatement::isNull(int slot) const {
    return slot < 0 || static_cast<size_t>(slot) >= bindings_.size() ||
           bindings_[static_cast<size_t>(slot)]->indicator == SQL_NULL_DATA;
}

double KvrStatement::doubleAt(int slot) const {
    if (isNull(slot)) return 0.0;
    return bindings_[static_cast<size_t>(slot)]->number;
}

std::string KvrStatement::textAt(int slot) const {
    return std::string(textViewAt(slot));
}

std::string_view KvrStatement::textViewAt(int slot) const {
    if (isNull(slot)) return {};
    const Binding& b = *bindings_[static_cast<size_t>(slot)];
    // The buffer always ends in a terminator; a longer value arrives cut to capacity - 1.
    size_t length = b.indicator >= 0 ? static_cast<size_t>(b.indicator) : b.text.size();
    length = std::min(length, b.text.size() - 1);
    std::string_view s(b.text.data(), length);
    size_t nul = s.find('\0');
    if (nul != std::string_view::npos) s = s.substr(0, nul);
    return s;
}

// ---- statement times ---------------------------------------------------------------------

void KvrStatementTimes::record(double seconds, bool failed) {
    int bucket;
    // NaN and infinite times count as the longest, in the last bucket.
    if (!(seconds < kFirstBucketSeconds * std::exp2(double(kBuckets) / kBucketsPerOctave)))
        bucket = kBuckets - 1;
    else if (!(seconds > kFirstBucketSeconds))
        bucket = 0;
    else
        bucket = static_cast<int>(std::log2(seconds / kFirstBucketSeconds) * kBucketsPerOctave);
    buckets_[std::clamp(bucket, 0, kBuckets - 1)]++;
    ++count_;
    if (failed) ++failed_;
}

double KvrStatementTimes::quantile(double fraction) const {
    if (count_ == 0) return 0;
    // The rank of the execution sought, from 1: the median of 4 is the 2nd, the 99th percentile
    // of 10 the 10th.
    const auto rank = static_cast<unsigned long long>(
        std::max(1.0, std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(count_))));
    unsigned long long seen = 0;
    int bucket = 0;
    for (; bucket < kBuckets - 1; ++bucket) {
        seen += buckets_[bucket];
        if (seen >= rank) break;
    }
    return kFirstBucketSeconds * std::exp2((bucket + 0.5) / kBucketsPerOctave);
}

// ---- connection ---------------------------------------------------------------------------

KvrConnection::KvrConnection() = default;

KvrConnection::~KvrConnection() {
    close();
}

bool KvrConnection::prepare(const KVR_CONNECT_OPTIONS& options) {
    close();
    if (!kvrSqlOk(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
        env_ = SQL_NULL_HENV;
        message_ = "cannot allocate an ODBC environment";
        return false;
    }
    if (!kvrSqlOk(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                                reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        message_ = kvrOdbcMessage(SQL_HANDLE_ENV, env_);
        close();
        return false;
    }
    if (!kvrSqlOk(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
        dbc_ = SQL_NULL_HDBC;
        message_ = kvrOdbcMessage(SQL_HANDLE_ENV, env_);
        close();
        return false;
    }
    if (options.useCursorLibrary &&
        !kvrSqlOk(SQLSetConnectAttr(dbc_, SQL_ATTR_ODBC_CURSORS,
                                    reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_ODBC), 0))) {
        message_ = kvrOdbcMessage(SQL_HANDLE_DBC, dbc_);
        close();
        return false;
    }
    return true;
}

bool KvrConnection::open(const std::string& dsn, const std::string& user,
                         const std::string& password, const KVR_CONNECT_OPTIONS& options) {
    byString_ = false;
    dsn_ = dsn;
    user_ = user;
    password_ = password;
    options_ = options;
    return connect();
}

bool KvrConnection::openString(const std::string& connectionString,
                               const KVR_CONNECT_OPTIONS& options) {
    byString_ = true;
    connectionString_ = connectionString;
    options_ = options;
    return connect();
}

bool KvrConnection::connect() {
    lost_ = false;
    if (!prepare(options_)) return false;
    SQLRETURN rc;
    if (byString_) {
        std::string in = connectionString_;
        SQLCHAR out[1024];
        SQLSMALLINT outLength = 0;
        rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out,
                              sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    } else {
        std::string d = dsn_, u = user_, p = password_;
        rc = SQLConnect(dbc_, reinterpret_cast<SQLCHAR*>(d.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(u.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(p.data()), SQL_NTS);
    }
    if (!kvrSqlOk(rc)) {
        message_ = kvrOdbcMessage(SQL_HANDLE_DBC, dbc_);
        if (message_.empty())
            message_ = byString_ ? "cannot connect" : "cannot connect to data source " + dsn_;
        close();
        return false;
    }
    message_.clear();
    connected_ = true;
    return true;
}

void KvrConnection::noteFailure(const std::string& state) {
    if (!connected_) return;
    bool lost = state.size() >= 2 && state.compare(0, 2, "08") == 0;
    if (!lost) {
        // Some drivers report a broken link with a general state; the connection knows better.
        SQLUINTEGER dead = SQL_CD_FALSE;
        lost = kvrSqlOk(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
               dead == SQL_CD_TRUE;
    }
    if (lost) lost_ = true;
}

bool KvrConnection::reopenIfLost() {
    if (!lost_) return true;
    if (connect()) return true;
    // Still lost: the next statement tries again.
    lost_ = true;
    message_ = "the catalogue connection was lost and cannot be made again: " + message_;
    return false;
}

void KvrConnection::close() {
    prepared_.clear();  // freed while their connection still stands
    ++generation_;
    if (dbc_ != SQL_NULL_HDBC) {
        if (connected_) {
            if (inTransaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
            SQLDisconnect(dbc_);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = SQL_NULL_HDBC;
    }
    if (env_ != SQL_NULL_HENV) {
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
        env_ = SQL_NULL_HENV;
    }
    connected_ = false;
    inTransaction_ = false;
}

namespace {

// The rows a statement touched, by the rule of KvrConnection::execute.
SQLLEN rowsTouched(KvrStatement& statement, SQLRETURN rc) {
    if (rc == SQL_NO_DATA) return 0;
    return kvrSqlOk(rc) ? statement.rowCount() : -1;
}

}  // namespace

SQLRETURN KvrConnection::runWithRetry(const Attempt& attempt, SQLLEN* rowCount) {
    SQLLEN rows = -1;
    std::optional<SQLRETURN> rc = attempt(&rows);
    if (!rc) {
        // No statement could be made (no connection): it failed all the same, and counts so.
        times_.record(0.0, true);
        rc = SQL_ERROR;
    } else if (!kvrSqlOk(*rc) && *rc != SQL_NO_DATA && lost_ && !inTransaction_) {
        // The statement never reached a server that went away: once more on a new connection.
        // When even that cannot be made, the first failure stands, with the reconnect's message.
        times_.noteRetry();
        rows = -1;
        if (std::optional<SQLRETURN> again = attempt(&rows))
            rc = again;
        else
            times_.record(0.0, true);
    }
    if (rowCount != nullptr) *rowCount = rows;
    return *rc;
}

SQLRETURN KvrConnection::execute(std::string_view sql, SQLLEN* rowCount) {
    // The statement's handle is freed as each attempt ends, before a connection is made anew.
    return runWithRetry(
        [&](SQLLEN* rows) -> std::optional<SQLRETURN> {
            KvrStatement statement(*this);
            if (!statement.valid()) {
                message_ = statement.message();
                return std::nullopt;
            }
            SQLRETURN rc = statement.execute(sql);
            message_ = statement.message();
            *rows = rowsTouched(statement, rc);
            return rc;
        },
        rowCount);
}

SQLRETURN KvrConnection::preparedStatement(std::string_view sql, KvrStatement** statement) {
    *statement = nullptr;
    // A lost connection is made anew first: that closes it, and every kept handle goes with it.
    if (!inTransaction_ && !reopenIfLost()) return SQL_INVALID_HANDLE;
    auto kept = prepared_.find(sql);
    if (kept != prepared_.end() && kept->second->valid()) {
        *statement = kept->second.get();
        return SQL_SUCCESS;
    }
    if (kept != prepared_.end()) prepared_.erase(kept);
    auto made = std::make_unique<KvrStatement>(*this);
    if (!made->valid()) {
        message_ = made->message();
        return SQL_INVALID_HANDLE;
    }
    SQLRETURN rc = made->prepare(sql);
    if (!kvrSqlOk(rc)) {
        message_ = made->message();
        return rc;
    }
    *statement = made.get();
    prepared_.emplace(std::string(sql), std::move(made));
    return SQL_SUCCESS;
}

SQLRETURN KvrConnection::executePrepared(std::string_view sql,
                                         std::span<const KVR_PARAMETER> values, SQLLEN* rowCount) {
    return runWithRetry(
        [&](SQLLEN* rows) -> std::optional<SQLRETURN> {
            KvrStatement* statement = nullptr;
            SQLRETURN rc = preparedStatement(sql, &statement);
            if (rc == SQL_INVALID_HANDLE) return std::nullopt;
            if (statement == nullptr) return rc;
            rc = statement->execute(values);
            message_ = statement->message();
            *rows = rowsTouched(*statement, rc);
            // A handle that failed is not trusted again (and one on a lost connection must be
            // freed before the connection is made anew): the next execution prepares afresh.
            if (!kvrSqlOk(rc) && rc != SQL_NO_DATA) {
                if (auto kept = prepared_.find(sql); kept != prepared_.end()) prepared_.erase(kept);
            }
            return rc;
        },
        rowCount);
}

bool KvrConnection::begin() {
    if (!connected_) {
        message_ = "the database is not open";
        return false;
    }
    if (!kvrSqlOk(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
        message_ = kvrOdbcMessage(SQL_HANDLE_DBC, dbc_);
        return false;
    }
    inTransaction_ = true;
    return true;
}

bool KvrConnection::endTransaction(SQLSMALLINT completion) {
    if (!connected_ || !inTransaction_) return false;
    bool ok = kvrSqlOk(SQLEndTran(SQL_HANDLE_DBC, dbc_, completion));
    if (!ok) message_ = kvrOdbcMessage(SQL_HANDLE_DBC, dbc_);
    if (!ok && completion == SQL_COMMIT) return false;  // still open: the caller rolls back
    inTransaction_ = false;
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    return ok;
}

bool KvrConnection::commit() {
    return endTransaction(SQL_COMMIT);
}

bool KvrConnection::rollback() {
    return endTransaction(SQL_ROLLBACK);
}

std::string KvrConnection::dbmsName() {
    if (!connected_) return {};
    SQLCHAR name[128] = {};
    SQLSMALLINT length = 0;
    if (!kvrSqlOk(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &length))) return {};
    return reinterpret_cast<const char*>(name);
}
