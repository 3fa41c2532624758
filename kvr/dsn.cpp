// Data source entries and driver libraries; see dsn.h.
#include "kvr/dsn.h"

#include <dlfcn.h>
#include <odbcinst.h>
#include <sql.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

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

}  // namespace

std::string kvrFindOdbcDriver(const std::string& libraryName) {
    std::vector<fs::path> candidates;
    for (const char* built : {kBuiltSqliteDriver, kBuiltPsqlDriver}) {
        if (*built) candidates.push_back(fs::path(built).parent_path() / libraryName);
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&SQLAllocHandle), &info) && info.dli_fname) {
        fs::path manager = fs::path(info.dli_fname).parent_path();
        candidates.push_back(manager / "odbc" / libraryName);
        candidates.push_back(manager / libraryName);
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

std::string kvrUserDsnFile() {
    const char* ini = std::getenv("ODBCINI");
    if (ini && *ini) return ini;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.odbc.ini";
}

KVR_DSN_ENTRY kvrSqliteDsnEntry(const std::string& driver, const std::string& databaseFile) {
    std::error_code ec;
    fs::path absolute = fs::absolute(databaseFile, ec);
    return {{"Description", "KVR catalogue (SQLite)"},
            {"Driver", driver},
            {"Database", ec ? databaseFile : absolute.lexically_normal().string()},
            {"JournalMode", "WAL"},
            {"Timeout", std::to_string(kSqliteBusyTimeoutMs)}};
}

KVR_DSN_ENTRY kvrPostgresDsnEntry(const std::string& driver, const std::string& host, int port,
                                  const std::string& database) {
    return {{"Description", "KVR catalogue (PostgreSQL)"},
            {"Driver", driver},
            {"Servername", host},
            {"Port", std::to_string(port)},
            {"Database", database}};
}

bool kvrWriteDsnSection(const std::string& file, const std::string& dsn, const KVR_DSN_ENTRY& entry,
                        std::string* error) {
    std::vector<std::string> lines;
    {
        std::ifstream in(file);
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
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    fs::path temporary = target;
    temporary += ".tmp" + std::to_string(::getpid());
    {
        std::ofstream tmp(temporary, std::ios::trunc);
        tmp << out.str();
        tmp.close();
        if (!tmp) {
            if (error) *error = "cannot write " + temporary.string();
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        if (error) *error = "cannot replace " + file + ": " + ec.message();
        fs::remove(temporary, ec);
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
