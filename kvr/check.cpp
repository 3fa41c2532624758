// kvrdb check: rows against files and files against rows.
#include "kvr/check.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "kvr/catalog.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"

namespace fs = std::filesystem;

namespace {

// A row and its file agree when their sample counts differ by at most this many samples: TQTY is
// a sum of block durations and need not be an exact multiple of the interval.
constexpr double kSampleTolerance = 1.0;

// The row a file without one would have had, from its name and header.
bool rowFromFile(const std::string& dataDirectory, const std::string& cpath, KVR_FILELIST_ROW* row,
                 std::string* why) {
    KVR_FILE_INFO info;
    if (!kvrReadHeader(kvrFullPath(dataDirectory, cpath), &info, why)) return false;
    const std::string name = fs::path(cpath).filename().string();
    int a = 0, b = 0, c = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    // 4.0: DDDYYYY-HHMMSS-CCC[.LL].SSS; 2.0: DDMMYYYY-HHMMSS-CCC.SSS.
    const bool v40 = info.version == "4.0";
    const int fields = v40 ? std::sscanf(name.c_str(), "%3d%4d-%2d%2d%2d-%n", &a, &b, &hour,
                                         &minute, &second, &consumed) +
                                 1
                           : std::sscanf(name.c_str(), "%2d%2d%4d-%2d%2d%2d-%n", &a, &b, &c, &hour,
                                         &minute, &second, &consumed);
    if (fields != 6 || consumed == 0) {
        *why = "its name holds no time";
        return false;
    }
    std::vector<std::string> parts;
    std::string rest = name.substr(size_t(consumed));
    for (size_t start = 0;;) {
        const size_t dot = rest.find('.', start);
        parts.push_back(rest.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 2 && !(v40 && parts.size() == 3)) {
        *why = "its name holds no channel and station";
        return false;
    }
    auto trimmed = [](std::string text) {
        text.erase(0, text.find_first_not_of(' '));
        return text;
    };
    namespace chr = std::chrono;
    // 4.0 names count days of the year from 1; 2.0 names give day and month.
    const chr::year_month_day date =
        v40 ? chr::year_month_day(chr::year(b), chr::month(1), chr::day(1))
            : chr::year_month_day(chr::year(c), chr::month(unsigned(b)), chr::day(unsigned(a)));
    const chr::sys_days firstDay = chr::sys_days(date) + chr::days(v40 ? a - 1 : 0);
    const bool dateOk = date.ok() && (!v40 || (a >= 1 && a <= 366));
    row->sta = trimmed(parts.back());
    row->ch = trimmed(parts[0]);
    row->lcode = kvrStoredLocation(parts.size() == 3 ? parts[1] : "");
    row->tbegin = double(chr::duration_cast<chr::seconds>(firstDay.time_since_epoch()).count()) +
                  hour * 3600.0 + minute * 60.0 + second;
    row->sps = info.sps;
    row->tqty = info.sps > 0.0 ? double(info.sampleCount) / info.sps : 0.0;
    row->cpath = cpath;
    row->datatype = KVR_DATATYPE_FLOAT;
    row->creater = v40 ? KVR_CREATER_RETRIEVAL : KVR_CREATER_RECORDER;
    row->lddate = kvrNowTimestamp();
    row->hasFoff = v40;
    row->foff = int(KVR_HEADER_SIZE);
    if (!(info.sps > 0.0) || !dateOk || row->sta.empty() || row->ch.empty()) {
        *why = "its name or header is not a channel's";
        return false;
    }
    return true;
}

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
                     std::vector<KVR_CHECK_FINDING>* findings, std::string* error,
                     size_t* elsewhere) {
    findings->clear();
    if (elsewhere) *elsewhere = 0;
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, "", &rows);
    if (!r.ok()) {
        if (error) *error = "cannot read FILELIST: " + r.message;
        return false;
    }
    // The station folders here, spelt as they are on disk: on a file system that ignores case,
    // another host's "sc01" must not be taken for this one's "SC01".
    std::set<std::string> folders;
    std::error_code listError;
    for (const fs::directory_entry& e : fs::directory_iterator(dataDirectory, listError))
        if (std::error_code ec; e.is_directory(ec)) folders.insert(e.path().filename().string());
    std::set<std::string> named;
    for (const KVR_FILELIST_ROW& row : rows) {
        std::string cpath = kvrCatalogPath(row.cpath);
        named.insert(cpath);
        std::string path = kvrFullPath(dataDirectory, cpath);
        std::error_code ec;
        const size_t slash = cpath.find('/');
        if (slash != std::string::npos && !folders.count(cpath.substr(0, slash))) {
            if (elsewhere) ++*elsewhere;  // another host's station
            continue;
        }
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

bool kvrRepairCatalog(KvrConnection& db, const std::string& dataDirectory, bool adopt,
                      std::vector<KVR_CHECK_FINDING>* findings, std::vector<std::string>* done,
                      std::string* error) {
    std::vector<KVR_CHECK_FINDING> left;
    for (KVR_CHECK_FINDING& f : *findings) {
        std::string why;
        KVR_SQL_RESULT r;
        if (f.kind == KvrFindingKind::MissingFile) {
            r = kvrDeleteFileListRows(db, f.cpath);
            if (r.ok()) done->push_back("deleted the row of " + f.cpath + " (no file)");
        } else if (f.kind == KvrFindingKind::SizeMismatch) {
            std::vector<KVR_FILELIST_ROW> rows;
            r = kvrSelectFileListRows(db, kvrFileListFilter(f.cpath), &rows);
            if (!r.ok()) {
                if (error) *error = "cannot read FILELIST: " + r.message;
                return false;
            }
            std::error_code ec;
            const uintmax_t size = fs::file_size(kvrFullPath(dataDirectory, f.cpath), ec);
            if (rows.empty() || ec || size < KVR_HEADER_SIZE || !(rows[0].sps > 0.0)) {
                left.push_back(f);
                continue;
            }
            KVR_FILELIST_ROW row = rows[0];
            row.tqty = double((size - KVR_HEADER_SIZE) / KVR_SAMPLE_SIZE) / row.sps;
            r = kvrWriteFileListRow(db, row, KvrRowMode::Update);
            if (r.ok())
                done->push_back("set the length of " + f.cpath + " to its file's, " +
                                kvrSqlNumber(row.tqty) + " s");
        } else if (adopt) {
            KVR_FILELIST_ROW row;
            if (!rowFromFile(dataDirectory, f.cpath, &row, &why)) {
                f.detail += "; not adopted: " + why;
                left.push_back(f);
                continue;
            }
            r = kvrWriteFileListRow(db, row, KvrRowMode::Insert);
            if (r.ok()) done->push_back("registered " + f.cpath + " as " + row.creater);
        } else {
            left.push_back(f);
            continue;
        }
        if (!r.ok()) {
            f.detail += "; not mended: " + r.message;
            left.push_back(f);
        }
    }
    *findings = left;
    return true;
}
