// Data source entries and driver libraries; see dsn.h.
#include "kvr/dsn.h"

#ifdef _WIN32
#include <windows.h>  // the ODBC headers of Windows build on its types
#endif
#include <odbcinst.h>
#include <sql.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/filewrite.h"
#include "platform/library.h"

namespace fs = std::filesystem;

namespace {

// Folders found when the project was configured (empty when the build found no driver).
constexpr const char* kBuiltSqliteDriver = KVR_SQLITE_ODBC_DRIVER_PATH;
constexpr const char* kBuiltPsqlDriver = KVR_PSQL_ODBC_DRIVER_PATH;
// Milliseconds an SQLite connection waits for another writer's lock.
constexpr int kSqliteBusyTimeoutMs = 30000;

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Makes file (created empty when missing, *created then true) readable and writable by its owner
// only, before a password goes into it: the rewrite keeps the mode of the file it replaces.
bool ownerOnly(const std::string& file, bool* created, std::string* error) {
    std::error_code ec;
    *created = !fs::exists(file, ec);
    if (*created) std::ofstream(file).close();
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                    ec);
    if (!ec) return true;
    if (error) *error = "cannot restrict " + file + " to its owner: " + ec.message();
    return false;
}

#ifdef _WIN32

// Windows knows its drivers by the names their installers register; these are the names of the
// drivers the library names stand for (the SQLite driver's, and psqlODBC's of each width).
std::vector<std::string> registeredNames(const std::string& libraryName) {
    if (libraryName == "libsqlite3odbc.so") return {"SQLite3 ODBC Driver"};
    if (libraryName == "psqlodbcw.so") return {"PostgreSQL Unicode(x64)", "PostgreSQL Unicode"};
    return {libraryName};
}

// The installer's reason for its last failure.
std::string installerError() {
    DWORD code = 0;
    char text[SQL_MAX_MESSAGE_LENGTH] = {};
    WORD length = 0;
    if (SQLInstallerError(1, &code, text, sizeof text, &length) == SQL_NO_DATA || text[0] == '\0')
        return "the ODBC installer failed";
    return text;
}

// Registers dsn as a user data source with exactly entry's keys (the old one, if any, removed
// first) through the driver's own set-up, without a dialog. The entry's "Driver" is the
// registered driver name.
bool registerDataSource(const std::string& dsn, const KVR_DSN_ENTRY& entry, std::string* error) {
    std::string driver;
    std::string attributes = "DSN=" + dsn + std::string(1, '\0');
    for (const auto& [key, value] : entry) {
        if (key == "Driver")
            driver = value;
        else
            attributes += key + "=" + value + std::string(1, '\0');
    }
    attributes += '\0';
    SQLConfigDataSource(nullptr, ODBC_REMOVE_DSN, driver.c_str(),
                        ("DSN=" + dsn + std::string(2, '\0')).c_str());
    if (SQLConfigDataSource(nullptr, ODBC_ADD_DSN, driver.c_str(), attributes.c_str())) return true;
    if (error) *error = "cannot register data source \"" + dsn + "\": " + installerError();
    return false;
}

#endif

}  // namespace

#ifdef _WIN32

std::string kvrFindOdbcDriver(const std::string& libraryName) {
    // SQLGetInstalledDrivers: names separated by NUL, the list ended by a second one.
    char list[16384] = {};
    WORD used = 0;
    if (!SQLGetInstalledDrivers(list, sizeof list, &used)) return {};
    for (const std::string& wanted : registeredNames(libraryName)) {
        for (const char* name = list; *name != '\0'; name += std::strlen(name) + 1) {
            if (sameName(name, wanted)) return name;
        }
    }
    return {};
}

std::string kvrUserDsnFile() {
    return KVR_WINDOWS_DSN_PLACE;
}

std::string kvrOdbcDriverLabel(const std::string& libraryName) {
    return "\"" + registeredNames(libraryName).back() + "\"";
}

const char* kvrUserDsnPlace() {
    return "the registry's user data sources";
}

bool kvrCheckUserDsnFile(std::string*) {
    return true;  // data sources live in the registry
}

#else

std::string kvrFindOdbcDriver(const std::string& libraryName) {
    std::vector<fs::path> candidates;
    for (const char* built : {kBuiltSqliteDriver, kBuiltPsqlDriver}) {
        if (*built) candidates.push_back(fs::path(built).parent_path() / libraryName);
    }
    std::string manager = platLibraryFolderOf(reinterpret_cast<const void*>(&SQLAllocHandle));
    if (!manager.empty()) {
        candidates.push_back(fs::path(manager) / "odbc" / libraryName);
        candidates.push_back(fs::path(manager) / libraryName);
    }
    for (const char* dir :
         {"/usr/lib/odbc", "/usr/local/lib/odbc", "/usr/lib64", "/usr/lib", "/usr/local/lib"})
        candidates.push_back(fs::path(dir) / libraryName);
    for (const fs::path& p : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return {};
}

std::string kvrOdbcDriverLabel(const std::string& libraryName) {
    return libraryName;
}

const char* kvrUserDsnPlace() {
    return "$ODBCINI or ~/.odbc.ini";
}

std::string kvrUserDsnFile() {
    const char* ini = std::getenv("ODBCINI");
    if (ini && *ini) return ini;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.odbc.ini";
}

bool kvrCheckUserDsnFile(std::string* error) {
    const char* ini = std::getenv("ODBCINI");
    std::error_code ec;
    if (ini == nullptr || *ini == '\0' || fs::exists(ini, ec)) return true;
    if (error)
        *error = std::string("ODBCINI names ") + ini +
                 ", which does not exist: correct the path, or write a data source there with "
                 "\"kvrdb dsn\"";
    return false;
}

#endif

KVR_DSN_ENTRY kvrSqliteDsnEntry(const std::string& driver, const std::string& databaseFile) {
    std::error_code ec;
    fs::path absolute = fs::absolute(databaseFile, ec);
    return {{"Description", "KVR catalogue (SQLite)"},
            {"Driver", driver},
            {"Database", ec ? databaseFile : absolute.lexically_normal().string()},
            {"JournalMode", "WAL"},
            {"SyncPragma", "NORMAL"},
            {"Timeout", std::to_string(kSqliteBusyTimeoutMs)}};
}

KVR_DSN_ENTRY kvrPostgresDsnEntry(const std::string& driver, const std::string& host, int port,
                                  const std::string& database, const std::string& user,
                                  const std::string& password) {
    KVR_DSN_ENTRY entry = {{"Description", "KVR catalogue (PostgreSQL)"},
                           {"Driver", driver},
                           {"Servername", host},
                           {"Port", std::to_string(port)},
                           {"Database", database}};
    if (!user.empty()) entry.emplace_back("UID", user);
    if (!password.empty()) entry.emplace_back("PWD", password);
    return entry;
}

bool kvrPasswordStorable(const std::string& password, std::string* error) {
    const bool control = std::any_of(password.begin(), password.end(), [](char c) {
        return std::iscntrl(static_cast<unsigned char>(c)) != 0;
    });
    std::string why;
    if (password.empty())
        why = "the password is empty";
    else if (control)
        why = "the password holds a control character";
    else if (trim(password) != password)
        why = "the password begins or ends with a blank, which odbc.ini does not keep";
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}

bool kvrWriteDsnSection(const std::string& file, const std::string& dsn, const KVR_DSN_ENTRY& entry,
                        std::string* error) {
#ifdef _WIN32
    if (file == kvrUserDsnFile()) return registerDataSource(dsn, entry, error);
#endif
    std::vector<std::string> lines;
    {
        std::ifstream in(file);
        std::error_code exists;
        // A file that is there but cannot be read would be replaced by this one section alone.
        if (!in && fs::exists(file, exists)) {
            if (error) *error = "cannot read " + file + ": " + std::strerror(errno);
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    // Drop the old section (its header and every line up to the next header), keep the rest.
    std::vector<std::string> kept;
    bool inOld = false;
    for (const std::string& line : lines) {
        std::string t = trim(line);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
            inOld = sameName(trim(t.substr(1, t.size() - 2)), dsn);
        if (!inOld) kept.push_back(line);
    }
    while (!kept.empty() && trim(kept.back()).empty()) kept.pop_back();
    std::ostringstream out;
    for (const std::string& line : kept) out << line << "\n";
    if (!kept.empty()) out << "\n";
    out << "[" << dsn << "]\n";
    for (const auto& [key, value] : entry) out << key << "=" << value << "\n";

    fs::path target(file);
    std::error_code ec;
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec)) {
        if (error) *error = "cannot write " + file + ": its folder does not exist";
        return false;
    }
    const bool holdsPassword =
        std::any_of(entry.begin(), entry.end(), [](const auto& key) { return key.first == "PWD"; });
    bool created = false;
    if (holdsPassword && !ownerOnly(file, &created, error)) {
        if (created) fs::remove(file, ec);
        return false;
    }
    std::string why;
    if (!platReplaceFileContents(file, out.str(), &why)) {
        if (error) *error = "cannot replace " + file + ": " + why;
        if (created) fs::remove(file, ec);  // no empty file left for a write that failed
        return false;
    }
    return true;
}

namespace {

// One key of a data source's entry in odbc.ini, empty when it has none.
std::string dataSourceKey(const std::string& dsn, const char* key) {
    char value[512] = {};
    int n = SQLGetPrivateProfileString(dsn.c_str(), key, "", value, sizeof value, "odbc.ini");
    return n > 0 ? std::string(value) : std::string();
}

std::string firstOf(const char* variable, const std::string& fromDsn, const std::string& fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
    return fromDsn.empty() ? fallback : fromDsn;
}

}  // namespace

KVR_CREDENTIALS kvrCatalogueCredentials(const std::string& dsn, const std::string& defaultUser,
                                        const std::string& defaultPassword) {
    KVR_CREDENTIALS c;
    c.user = firstOf(KVR_USER_VARIABLE, dataSourceKey(dsn, "UID"), defaultUser);
    c.password = firstOf(KVR_PASSWORD_VARIABLE, dataSourceKey(dsn, "PWD"), defaultPassword);
    return c;
}

bool kvrReadPasswordFile(const std::string& file, std::string* password, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        if (error != nullptr)
            *error = "cannot read the password file " + file +
                     (in ? ": it is empty" : std::string(": ") + std::strerror(errno));
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool control = std::any_of(line.begin(), line.end(), [](char c) {
        return std::iscntrl(static_cast<unsigned char>(c)) != 0;
    });
    if (line.empty() || control) {
        if (error != nullptr)
            *error = "the first line of the password file " + file +
                     (line.empty() ? " is empty" : " holds a control character");
        return false;
    }
    *password = line;
    return true;
}

std::string kvrConnectString(const std::string& dsn, const KVR_CREDENTIALS& credentials) {
    auto field = [](const char* key, const std::string& value) {
        std::string text = std::string(key) + "=";
        if (value.find_first_of(";{}") == std::string::npos && (value.empty() || value[0] != ' '))
            return text + value + ";";
        text += '{';
        for (char c : value) {
            text += c;
            if (c == '}') text += '}';
        }
        return text + "};";
    };
    return field("DSN", dsn) + field("UID", credentials.user) + field("PWD", credentials.password);
}
