// Data source "KVR" on an SQLite file of a test's own scratch folder.
//
// Header-only on purpose: it needs the catalogue library (kvrcat), which the test_support library
// does not link, so that tests of the lower areas keep off ODBC.
#pragma once

#include <fstream>
#include <string>

#include "kvr/dsn.h"
#include "support/test_host.h"

namespace kvrtest {

// Writes folder/odbc.ini with data source "KVR" on the SQLite file folder/kvr.db, an empty
// folder/odbcinst.ini beside it, and points ODBCINI and ODBCSYSINI at them, so the process's
// connections never touch the user's data sources. False, with *error set, when the SQLite ODBC
// driver is not installed or the file cannot be written.
inline bool UseSqliteDsn(const std::string& folder, std::string* error) {
    std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
    if (driver.empty()) {
        *error = "the SQLite ODBC driver is not installed";
        return false;
    }
    if (!kvrWriteDsnSection(folder + "/odbc.ini", KVR_DSN,
                            kvrSqliteDsnEntry(driver, folder + "/kvr.db"), error))
        return false;
    std::ofstream(folder + "/odbcinst.ini").close();
    testhost::setEnv("ODBCINI", folder + "/odbc.ini");
    testhost::setEnv("ODBCSYSINI", folder);
    return true;
}

}  // namespace kvrtest
