// Data source entries for the catalogue in the user's ODBC data source file, and the driver
// libraries they name.
//
// unixODBC reads user data sources from $ODBCINI (else ~/.odbc.ini) and the driver list from
// $ODBCSYSINI/odbcinst.ini (else /etc). Debian's SQLite ODBC package registers a driver name whose
// library is not installed, so our entries name the driver by the path of its library.
//
// On Windows data sources live in the registry and drivers are known by their registered names:
// there the functions below register the data source through the ODBC installer.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The path of a driver library ("libsqlite3odbc.so", "psqlodbcw.so"): the folder found when the
// project was built, then the "odbc" folder beside the loaded driver manager, then the usual
// folders. Empty when none holds it. On Windows: the registered name of the installed driver the
// library stands for ("SQLite3 ODBC Driver", "PostgreSQL Unicode"), empty when not installed.
std::string kvrFindOdbcDriver(const std::string& libraryName);

// How a message names the driver kvrFindOdbcDriver looks for: the library's name
// ("libsqlite3odbc.so"), on Windows its registered name in quotes ("\"SQLite3 ODBC Driver\"").
std::string kvrOdbcDriverLabel(const std::string& libraryName);

// Where kvrWriteDsnSection puts a user's data source, for help texts: "$ODBCINI or ~/.odbc.ini",
// on Windows "the registry's user data sources". A constant text, never freed.
const char* kvrUserDsnPlace();

// The user's data source file: $ODBCINI, else $HOME/.odbc.ini. On Windows the text
// KVR_WINDOWS_DSN_PLACE, which names the registry's user data sources.
// An empty variable counts as unset; without HOME the path is "./.odbc.ini", relative to the
// folder the program runs in. Nothing is checked on disk.
std::string kvrUserDsnFile();
inline constexpr const char* KVR_WINDOWS_DSN_PLACE =
    "the registry (HKEY_CURRENT_USER\\Software\\ODBC\\ODBC.INI)";

// The keys and values of one data source section, in the order they are written.
using KVR_DSN_ENTRY = std::vector<std::pair<std::string, std::string>>;

// An SQLite catalogue in file: write-ahead journal, so readers do not block the recorder, and a
// busy time-out, so two writers wait for each other instead of failing.
// Keys Description, Driver, Database (databaseFile made absolute, as given when that fails),
// JournalMode=WAL, SyncPragma=NORMAL and Timeout=30000 (milliseconds). Nothing is made or checked
// on disk.
//
// SyncPragma=NORMAL: a commit reaches the write-ahead journal without waiting for the disk, which
// is synced at its checkpoints. The catalogue stays consistent after any crash; a power cut may
// take back the commits since the last sync (the recorder syncs the file system of its data
// directory every second, before it stores resume times, and brings rows to their files at its
// next start). FULL would sync every commit, and costs the recorder two to three times its CPU
// per sample.
KVR_DSN_ENTRY kvrSqliteDsnEntry(const std::string& driver, const std::string& databaseFile);
// A PostgreSQL catalogue: keys Description, Driver, Servername, Port and Database, the values as
// given. A non-empty user becomes the entry's UID and a non-empty password its PWD
// (kvrCatalogueCredentials reads both back); without them the programs log in as the environment
// or the defaults say.
KVR_DSN_ENTRY kvrPostgresDsnEntry(const std::string& driver, const std::string& host, int port,
                                  const std::string& database, const std::string& user = {},
                                  const std::string& password = {});

// Whether password can be kept as a PWD line of odbc.ini, which cannot carry a line break and
// loses blanks at either end. False with the reason in *error.
bool kvrPasswordStorable(const std::string& password, std::string* error);

// Writes section [dsn] with exactly entry's keys into file, keeping every other section and line,
// through a temporary file and a rename. The section name compares without case; the old
// section's lines, comments included, go. A missing file counts as empty; one that exists but
// cannot be read is refused, so that no other section is lost. The file's folder must exist: a
// mistyped path is refused rather than made. An entry with a PWD key leaves the file readable and
// writable by its owner only (mode 0600, set before the password is written). False with a
// message on failure ("cannot replace FILE: reason"); *error may be null. On Windows, with file
// equal to kvrUserDsnFile(), registers dsn as a user data source (entry's "Driver" being the
// registered driver name) through the ODBC installer instead, replacing an older one ("cannot
// register data source ...").
bool kvrWriteDsnSection(const std::string& file, const std::string& dsn, const KVR_DSN_ENTRY& entry,
                        std::string* error);

// False, with a message naming the file, when $ODBCINI is set and names no existing file. Call
// it before any ODBC call that looks a data source up: unixODBC creates the file it names, empty,
// on the first look-up, and then reports only that the data source is unknown.
bool kvrCheckUserDsnFile(std::string* error);

// Environment variables that name the catalogue's user and password for a deployment whose
// shared catalogue has credentials of its own.
inline constexpr const char* KVR_USER_VARIABLE = "KVR_CATALOGUE_USER";
inline constexpr const char* KVR_PASSWORD_VARIABLE = "KVR_CATALOGUE_PASSWORD";

struct KVR_CREDENTIALS {
    std::string user;
    std::string password;
};

// The user and password to connect to data source dsn with, each taken from the first place that
// has it: the environment variables above, the data source's own UID and PWD keys (user or system
// odbc.ini), the defaults (KVR_USER, KVR_PASSWORD). Callers never print the password.
KVR_CREDENTIALS kvrCatalogueCredentials(const std::string& dsn, const std::string& defaultUser,
                                        const std::string& defaultPassword);

// The password kept in file: its first line, without the line end (a file made by
// "printf '%s\n' PASSWORD > FILE" or by an editor). True with *password set; false with the
// reason in *error (the file cannot be read, or its first line is empty or holds a control
// character). The password is never put into a message.
bool kvrReadPasswordFile(const std::string& file, std::string* password, std::string* error);

// The connection string "DSN=dsn;UID=user;PWD=password;" for SQLDriverConnect, a value in braces
// (with "}" doubled) when it holds ";", "{", "}" or starts with a blank, so that no password can
// end its field early. It holds the password: never print it.
std::string kvrConnectString(const std::string& dsn, const KVR_CREDENTIALS& credentials);
