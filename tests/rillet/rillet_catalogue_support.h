// A catalogue for the recorder tests: a fresh SQLite file through ODBC, or the throwaway
// PostgreSQL cluster of the test fixture (RILLET_PG_STATE), with the tables created.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "rillet/catalogue.h"
#include "rillet_test_support.h"

namespace rillet_test {

// busyMs: how long a statement waits for another connection's lock before it fails.
inline std::string SqliteConnection(const std::string& file, int busyMs = 10000) {
    return "DRIVER=" + kvrFindOdbcDriver("libsqlite3odbc.so") + ";Database=" + file +
           ";Timeout=" + std::to_string(busyMs) + ";";
}

// Opens the catalogue on an SQLite file and creates the tables; false with a reason.
inline bool OpenSqliteCatalogue(CKvrCatalogue& catalogue, const std::string& file, std::string* why,
                                bool cursorLibrary = true, int busyMs = 10000) {
    if (kvrFindOdbcDriver("libsqlite3odbc.so").empty()) {
        *why = "no SQLite ODBC driver";
        return false;
    }
    if (!catalogue.OpenConnectionString(SqliteConnection(file, busyMs), cursorLibrary)) {
        *why = catalogue.Connection().message();
        return false;
    }
    std::vector<std::string> created;
    KVR_SQL_RESULT r = kvrCreateSchema(catalogue.Connection(), &created);
    *why = r.message;
    return r.ok();
}

// The folder the PostgreSQL fixture wrote, or "" when PostgreSQL tests are to be skipped (with
// the reason).
inline std::string PostgresState(std::string* why) {
    const char* state = std::getenv("RILLET_PG_STATE");
    if (state == nullptr || *state == '\0') {
        *why = "RILLET_PG_STATE not set";
        return {};
    }
    std::string skip = ReadText(std::string(state) + "/skip");
    if (!skip.empty()) {
        *why = skip;
        return {};
    }
    if (ReadText(std::string(state) + "/odbc.ini").empty()) {
        *why = "no PostgreSQL cluster";
        return {};
    }
    return state;
}

// Opens the fixture's PostgreSQL database through data source "KVR" as the recorder does, with
// the tables created when missing.
inline bool OpenPostgresCatalogue(CKvrCatalogue& catalogue, const std::string& state,
                                  std::string* why) {
    ::setenv("ODBCINI", (state + "/odbc.ini").c_str(), 1);
    ::setenv("ODBCSYSINI", state.c_str(), 1);
    if (!catalogue.OpenKvrDatabase()) {
        *why = catalogue.Connection().message();
        return false;
    }
    std::vector<std::string> created;
    KVR_SQL_RESULT r = kvrCreateSchema(catalogue.Connection(), &created);
    if (!r.ok()) {
        *why = r.message;
        return false;
    }
    return true;
}

}  // namespace rillet_test
