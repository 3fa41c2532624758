// kvrdb check: rows against files and files against rows.
#include "kvr/check.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "kvr/catalog.h"
#include "kvr/kvrfile.h"
#include "kvr/owners.h"
#include "kvr/store.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace {

// A row and its file agree when their sample counts differ by at most this many samples: TQTY is
// a sum of block durations and need not be an exact multiple of the interval.
constexpr double kSampleTolerance = 1.0;
// A 4.0 name holds the first sample's time rounded to the millisecond before it is cut to the
// second: its first sample may lie this much before the second the name gives.
constexpr double kNameRounding = 0.0005;
// Rates that differ by less than this fraction are the same rate.
constexpr double kSameRate = 1e-9;

const char* const kWholeSecondOnly = "first sample known to the whole second only";

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string upperCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string describe(const char* fmt, double a, double b) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// "YYYY-MM-DD HH:MM:SS.mmm" (UTC), for the lines of a repair.
std::string timeText(double t) {
    UTIL_TSPLIT s;
    utilTimeSplit(t, &s);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%06.3f", s.year, s.month, s.mday,
                  s.hour, s.minute, std::floor(double(s.second) * 1000.0) / 1000.0);
    return text;
}

// Which data directories the catalogue says hold each station's files (kvr/owners.h).
class COwnership {
  public:
    enum class Verdict {
        Ours,       // registered to this data directory only
        Elsewhere,  // registered to other data directories only
        Shared,     // registered here and elsewhere, or not registered on a shared catalogue
        Unknown,    // not registered, and the catalogue knows no other data directory
    };

    COwnership(KvrConnection& db, const std::string& dataDirectory) {
        me_ = kvrDataDirOf(KVR_STORE{dataDirectory, ""}, "", "");
        // A catalogue that cannot hold the table (a user without the right to make it) knows no
        // data directories: the rows are judged by their folders, as before.
        if (!kvrSelectDataDirs(db, "", "", &dirs_).ok()) dirs_.clear();
        for (const KVR_DATADIR_ROW& d : dirs_) shared_ = shared_ || !kvrSameDataDir(d, me_);
    }

    Verdict Of(const KVR_FILELIST_ROW& row) const {
        bool ours = false, other = false;
        const std::string station = lowerCase(row.sta);
        for (const KVR_DATADIR_ROW& d : dirs_) {
            if (d.creater != row.creater || lowerCase(d.sta) != station) continue;
            (kvrSameDataDir(d, me_) ? ours : other) = true;
        }
        if (ours) return other ? Verdict::Shared : Verdict::Ours;
        if (other) return Verdict::Elsewhere;
        return shared_ ? Verdict::Shared : Verdict::Unknown;
    }

    // The other data directories of a row's station, for a finding's detail.
    std::string Others(const KVR_FILELIST_ROW& row) const {
        std::string text;
        const std::string station = lowerCase(row.sta);
        for (const KVR_DATADIR_ROW& d : dirs_)
            if (d.creater == row.creater && lowerCase(d.sta) == station && !kvrSameDataDir(d, me_))
                text += (text.empty() ? "" : ", ") + kvrDataDirText(d);
        return text.empty() ? "another data directory of this catalogue" : text;
    }

  private:
    KVR_DATADIR_ROW me_;
    std::vector<KVR_DATADIR_ROW> dirs_;
    bool shared_ = false;
};

// ---- adoption ---------------------------------------------------------------------------------

// A file without a row, and the row it is to get.
struct CAdoption {
    KVR_CHECK_FINDING finding;
    KVR_NAME_FIELDS name;
    KVR_FILELIST_ROW row;
    std::vector<std::string> unknown;  // what could not be known exactly
    std::string how;                   // where the first-sample time and location came from
};

// The row a file without one would have had, from its name and header; false with *why when
// they do not describe a channel.
bool rowFromFile(const std::string& dataDirectory, CAdoption* a, std::string* why) {
    KVR_FILE_INFO info;
    if (!kvrReadHeader(kvrFullPath(dataDirectory, a->finding.cpath), &info, why)) return false;
    if (!kvrParseFileName(a->finding.cpath, &a->name, why)) return false;
    const bool v40 = info.version == "4.0";
    if (!(info.sps > 0.0) || (info.version != "2.0" && !v40) ||
        a->name.version != (v40 ? 40 : 20)) {
        *why = "its name or header is not a channel's";
        return false;
    }
    KVR_FILELIST_ROW& row = a->row;
    row.sta = a->name.station;
    row.ch = a->name.channel;
    row.lcode = a->name.location;  // "??" when the name carries none
    row.tbegin = a->name.firstSecond;
    row.sps = info.sps;
    row.tqty = double(info.sampleCount) / info.sps;
    row.cpath = a->finding.cpath;
    row.datatype = KVR_DATATYPE_FLOAT;
    row.creater = v40 ? KVR_CREATER_RETRIEVAL : KVR_CREATER_RECORDER;
    row.lddate = kvrNowTimestamp();
    row.hasFoff = v40;
    row.foff = int(KVR_HEADER_SIZE);
    if (!v40 && !a->name.namesLocation) row.lcode.clear();  // to be found
    return true;
}

// The location of a 2.0 file whose name carries none: the one location of the channel's other
// recorder rows, else of its SITECHAN rows. A station that records the code under several
// locations names the located ones, so a plain name among them is the channel without one.
void findLocation(KvrConnection& db, CAdoption* a) {
    std::set<std::string> seen;
    std::vector<KVR_FILELIST_ROW> rows;
    const std::string filter = "lower(STA)=lower('" + kvrSqlQuote(a->row.sta) +
                               "') and upper(CH)='" + kvrSqlQuote(upperCase(a->row.ch)) +
                               "' and CREATER='" + KVR_CREATER_RECORDER + "'";
    if (kvrSelectFileListRows(db, filter, &rows).ok())
        for (const KVR_FILELIST_ROW& r : rows) seen.insert(kvrStoredLocation(r.lcode));
    std::string source = "the channel's other rows";
    if (seen.empty()) {
        std::vector<KVR_SITECHAN_ROW> sitechan;
        if (kvrSelectSitechan(db, &sitechan).ok())
            for (const KVR_SITECHAN_ROW& s : sitechan)
                if (lowerCase(s.sta) == lowerCase(a->row.sta) &&
                    upperCase(s.chan) == upperCase(a->row.ch))
                    seen.insert(kvrStoredLocation(s.lcode));
        source = "SITECHAN";
    }
    if (seen.size() == 1 || (seen.size() > 1 && seen.count(KVR_NO_LOCATION))) {
        a->row.lcode = seen.size() == 1 ? *seen.begin() : KVR_NO_LOCATION;
        a->how += "location " + a->row.lcode + " from " + source + "; ";
        return;
    }
    a->row.lcode = KVR_NO_LOCATION;
    a->unknown.push_back("location unknown (a 2.0 name carries none), registered as \"??\"");
}

bool sameRate(double a, double b) {
    return std::fabs(a - b) <= kSameRate * std::max(a, b);
}

// The first-sample time of an adopted file from the channel's files around it: the end of the
// file before it, or the start of the one after it less this file's length, when it falls within
// the second the name gives.
void findFirstSample(const std::vector<KVR_FILELIST_ROW>& neighbours, CAdoption* a) {
    const double low = a->name.firstSecond - kNameRounding;
    const double high = a->name.firstSecond + 1.0;
    const double length = a->row.tqty;
    for (const KVR_FILELIST_ROW& r : neighbours) {
        if (r.cpath == a->row.cpath || !sameRate(r.sps, a->row.sps)) continue;
        const double end = r.tbegin + r.tqty;
        if (end >= low && end < high) {
            a->row.tbegin = end;
            a->how += "first sample at the end of " + r.cpath;
            return;
        }
        const double before = r.tbegin - length;
        if (before >= low && before < high) {
            a->row.tbegin = before;
            a->how += "first sample its length before " + r.cpath;
            return;
        }
    }
    a->unknown.push_back(kWholeSecondOnly);
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
        case KvrFindingKind::Inexact:
            return "inexact";
    }
    return "?";
}

bool kvrCheckCatalog(KvrConnection& db, const std::string& dataDirectory,
                     std::vector<KVR_CHECK_FINDING>* findings, std::string* error,
                     size_t* elsewhere) {
    findings->clear();
    if (elsewhere) *elsewhere = 0;
    std::error_code ec;
    if (!fs::is_directory(dataDirectory, ec)) {
        if (error) *error = "no data directory " + dataDirectory;
        return false;
    }
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, "", &rows);
    if (!r.ok()) {
        if (error) *error = "cannot read FILELIST: " + r.message;
        return false;
    }
    const COwnership ownership(db, dataDirectory);
    std::map<std::string, KVR_FILE_NOTE> notes;
    std::vector<KVR_FILE_NOTE> noteList;
    if (kvrSelectFileNotes(db, &noteList).ok())
        for (KVR_FILE_NOTE& n : noteList) notes[n.cpath] = std::move(n);
    // The station folders here, spelt as they are on disk: on a file system that ignores case,
    // another host's "sc01" must not be taken for this one's "SC01".
    std::set<std::string> folders;
    for (const fs::directory_entry& e : fs::directory_iterator(dataDirectory, ec))
        if (std::error_code dirError; e.is_directory(dirError))
            folders.insert(e.path().filename().string());
    std::set<std::string> named;
    for (const KVR_FILELIST_ROW& row : rows) {
        const std::string cpath = kvrCatalogPath(row.cpath);
        named.insert(cpath);
        const COwnership::Verdict verdict = ownership.Of(row);
        const size_t slash = cpath.find('/');
        const bool folderHere = slash == std::string::npos || folders.count(cpath.substr(0, slash));
        if (verdict == COwnership::Verdict::Elsewhere ||
            (verdict != COwnership::Verdict::Ours && !folderHere)) {
            if (elsewhere) ++*elsewhere;  // another data directory's station
            continue;
        }
        const std::string path = kvrFullPath(dataDirectory, cpath);
        // One look at the file: file_size fails for anything but a regular file.
        std::error_code fileError;
        const uintmax_t size = fs::file_size(path, fileError);
        if (fileError) {
            KVR_CHECK_FINDING f{KvrFindingKind::MissingFile, cpath,
                                fileError == std::errc::no_such_file_or_directory
                                    ? "no file " + path
                                    : fileError.message()};
            if (verdict == COwnership::Verdict::Shared) {
                f.mayBeElsewhere = true;
                f.detail += "; " + ownership.Others(row) + " may hold it";
            }
            findings->push_back(std::move(f));
            continue;
        }
        const double expected = row.sps * row.tqty;
        const double actual = (static_cast<double>(size) - double(KVR_HEADER_SIZE)) / 4.0;
        if (!(std::fabs(expected - actual) <= kSampleTolerance))
            findings->push_back(
                {KvrFindingKind::SizeMismatch, cpath,
                 describe("row says %.1f samples, file holds %.1f", expected, actual)});
        auto note = notes.find(cpath);
        if (note != notes.end() && std::fabs(note->second.tbegin - row.tbegin) < 1e-6)
            findings->push_back({KvrFindingKind::Inexact, cpath, note->second.note});
    }

    fs::recursive_directory_iterator it(dataDirectory,
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        if (error) *error = "cannot read " + dataDirectory + ": " + ec.message();
        return false;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        // Lexically: the walk's paths begin with the folder given, so no link needs resolving.
        // A file a row names is not opened; only the others are looked into for a KVR magic.
        const std::string relative = it->path().lexically_relative(dataDirectory).generic_string();
        if (!named.count(relative) && kvrLooksLikeKvrFile(it->path().string()))
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
    std::vector<CAdoption> adoptions;
    for (KVR_CHECK_FINDING& f : *findings) {
        KVR_SQL_RESULT r;
        if (f.kind == KvrFindingKind::MissingFile) {
            if (f.mayBeElsewhere) {
                f.detail += "; its row is kept";
                left.push_back(f);
                continue;
            }
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
        } else if (f.kind == KvrFindingKind::NoRow && adopt) {
            CAdoption a;
            a.finding = f;
            std::string why;
            if (!rowFromFile(dataDirectory, &a, &why)) {
                f.detail += "; not adopted: " + why;
                left.push_back(f);
            } else {
                adoptions.push_back(std::move(a));
            }
            continue;
        } else {
            left.push_back(f);
            continue;
        }
        if (!r.ok()) {
            f.detail += "; not mended: " + r.message;
            left.push_back(f);
        }
    }

    // Locations first (a 2.0 file's may come from other rows), then each channel's files in time
    // order, so that a file adopted exactly can place the next one.
    for (CAdoption& a : adoptions)
        if (a.row.lcode.empty()) findLocation(db, &a);
    std::sort(adoptions.begin(), adoptions.end(), [](const CAdoption& x, const CAdoption& y) {
        return std::tie(x.row.sta, x.row.ch, x.row.lcode, x.row.creater, x.name.firstSecond) <
               std::tie(y.row.sta, y.row.ch, y.row.lcode, y.row.creater, y.name.firstSecond);
    });
    std::map<std::tuple<std::string, std::string, std::string, std::string>,
             std::vector<KVR_FILELIST_ROW>>
        neighbours;
    for (CAdoption& a : adoptions) {
        const auto key = std::make_tuple(lowerCase(a.row.sta), upperCase(a.row.ch),
                                         upperCase(a.row.lcode), a.row.creater);
        auto known = neighbours.find(key);
        if (known == neighbours.end()) {
            std::vector<KVR_FILELIST_ROW> rows;
            const std::string filter = "lower(STA)=lower('" + kvrSqlQuote(a.row.sta) +
                                       "') and upper(CH)='" + kvrSqlQuote(upperCase(a.row.ch)) +
                                       "' and upper(LCODE)='" +
                                       kvrSqlQuote(upperCase(a.row.lcode)) + "' and CREATER='" +
                                       kvrSqlQuote(a.row.creater) + "'";
            kvrSelectFileListRows(db, filter, &rows);
            known = neighbours.emplace(key, std::move(rows)).first;
        }
        findFirstSample(known->second, &a);
        KVR_SQL_RESULT r = kvrWriteFileListRow(db, a.row, KvrRowMode::Insert);
        if (!r.ok()) {
            a.finding.detail += "; not mended: " + r.message;
            left.push_back(a.finding);
            continue;
        }
        std::string line = "registered " + a.finding.cpath + " as " + a.row.creater +
                           ", first sample " + timeText(a.row.tbegin);
        std::string how = a.how;
        for (const std::string& u : a.unknown)
            how += (how.empty() || how.ends_with("; ") ? "" : "; ") + u;
        if (!how.empty()) line += " (" + how + ")";
        done->push_back(line);
        if (a.unknown.empty()) {
            // Exact: it may place the channel's next file.
            known->second.push_back(a.row);
            continue;
        }
        std::string note;
        for (const std::string& u : a.unknown) note += (note.empty() ? "" : "; ") + u;
        note += " (adopted by kvrdb check --repair --adopt)";
        KVR_SQL_RESULT noted = kvrPutFileNote(db, {a.row.cpath, a.row.tbegin, note});
        left.push_back(
            {KvrFindingKind::Inexact, a.finding.cpath,
             noted.ok() ? note : note + "; the note could not be kept: " + noted.message});
    }
    *findings = left;
    return true;
}
