// kvrdb check: rows against files and files against rows.
#include "kvr/check.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "kvr/catalog.h"
#include "kvr/kvrfile.h"

namespace fs = std::filesystem;

namespace {

// A row and its file agree when their sample counts differ by at most this many samples: TQTY is
// a sum of block durations and need not be an exact multiple of the interval.
constexpr double kSampleTolerance = 1.0;

std::string describe(const char* fmt, double a, double b) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

}  // namespace

const char* kvrFindingName(KvrFindingKind kind) {
    switch (kind) {
        case KvrFindingKind::MissingFile:
            return "missing";
        case KvrFindingKind::SizeMismatch:
            return "size";
        case KvrFindingKind::NoRow:
            return "no row";
    }
    return "?";
}

bool kvrCheckCatalog(KvrConnection& db, const std::string& dataDirectory,
                     std::vector<KVR_CHECK_FINDING>* findings, std::string* error) {
    findings->clear();
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, "", &rows);
    if (!r.ok()) {
        if (error) *error = "cannot read FILELIST: " + r.message;
        return false;
    }
    std::set<std::string> named;
    for (const KVR_FILELIST_ROW& row : rows) {
        std::string cpath = kvrCatalogPath(row.cpath);
        named.insert(cpath);
        std::string path = kvrFullPath(dataDirectory, cpath);
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            findings->push_back({KvrFindingKind::MissingFile, cpath, "no file " + path});
            continue;
        }
        uint64_t size = fs::file_size(path, ec);
        if (ec) {
            findings->push_back({KvrFindingKind::MissingFile, cpath, ec.message()});
            continue;
        }
        double expected = row.sps * row.tqty;
        double actual = (static_cast<double>(size) - 512.0) / 4.0;
        if (!(std::fabs(expected - actual) <= kSampleTolerance))
            findings->push_back(
                {KvrFindingKind::SizeMismatch, cpath,
                 describe("row says %.1f samples, file holds %.1f", expected, actual)});
    }

    std::error_code ec;
    if (!fs::is_directory(dataDirectory, ec)) {
        if (error) *error = "no data directory " + dataDirectory;
        return false;
    }
    fs::recursive_directory_iterator it(dataDirectory,
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        if (error) *error = "cannot read " + dataDirectory + ": " + ec.message();
        return false;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (!it->is_regular_file(ec) || !kvrLooksLikeKvrFile(it->path().string())) continue;
        std::string relative = fs::relative(it->path(), dataDirectory, ec).generic_string();
        if (!named.count(relative))
            findings->push_back({KvrFindingKind::NoRow, relative, "no FILELIST row"});
    }
    if (ec) {
        if (error) *error = "cannot read " + dataDirectory + ": " + ec.message();
        return false;
    }
    return true;
}
