#include "rillet/catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/owners.h"
#include "kvr/store.h"
#include "rillet/log.h"
#include "rillet/settings.h"

namespace {

// The size a row counts for in the loop. A row whose rate or length is not a sane number counts
// only its header, rather than an undefined conversion.
uint32_t RowBytes(double sps, double tqty) {
    double bytes = kvrLoopFileSize(sps, tqty);
    if (!std::isfinite(bytes) || bytes < 512.0) return 512;
    if (bytes >= 4294967295.0) return 0xffffffffu;
    return static_cast<uint32_t>(bytes);
}

}  // namespace

CKvrCatalogue::CKvrCatalogue(CRilletLog& log, const CRilletSettings& settings)
    : log_(log), settings_(settings) {}

bool CKvrCatalogue::OpenKvrDatabase() {
    KVR_CREDENTIALS credentials = kvrCatalogueCredentials(KVR_DSN, KVR_USER, KVR_PASSWORD);
    return db_.open(KVR_DSN, credentials.user, credentials.password);
}

bool CKvrCatalogue::OpenConnectionString(const std::string& connection, bool cursorLibrary) {
    KVR_CONNECT_OPTIONS options;
    options.useCursorLibrary = cursorLibrary;
    return db_.openString(connection, options);
}

void CKvrCatalogue::LogStatementTimes() {
    const KvrStatementTimes& times = db_.statementTimes();
    log_.WriteLogf(
        "catalogue statements %llu, median %.3f ms, 99th percentile %.3f ms, retried %llu, "
        "failed %llu",
        times.count(), times.quantile(0.5) * 1e3, times.quantile(0.99) * 1e3, times.retried(),
        times.failed());
}

CFileCatalogue::Counts CKvrCatalogue::StatementCounts() const {
    const KvrStatementTimes& times = db_.statementTimes();
    return {times.count(), times.retried(), times.failed()};
}

bool CKvrCatalogue::KnownLoopSize(const std::string& station, uint32_t* bytes) const {
    auto kept = loopSizes_.find(station);
    if (kept == loopSizes_.end()) return false;
    *bytes = kept->second;
    return true;
}

void CKvrCatalogue::LogOdbcError(const std::string& message) {
    statements_.Failed((message.empty() ? std::string("ODBC error") : message) +
                       " (a line when the catalogue answers again)");
}

void CKvrCatalogue::LogRowError(const std::string& cpath, const std::string& statement,
                                const std::string& message) {
    statements_.Failed("Catalogue error on '" + settings_.DataPath(cpath) + "': " + statement +
                       ": " + (message.empty() ? "ODBC error" : message) +
                       "; the run stays pending and is written again with its row (a line when "
                       "the catalogue answers again)");
}

bool CKvrCatalogue::RegisterNewFile(const std::string& cpath, const std::string& station,
                                    double tbegin, double tqty, double sps,
                                    const std::string& channel, const std::string& location,
                                    double calib, double calper) {
    const std::string lcode = kvrStoredLocation(location);
    KVR_SQL_RESULT r =
        kvrRegisterNewFile(db_, cpath, station, tbegin, tqty, sps, channel, lcode, calib, calper);
    if (r.ok()) {
        AddToDiskLoop(station, RowBytes(sps, tqty));
        statements_.Succeeded();
    }
    if (r.rc == SQL_SUCCESS) return true;
    const std::string statement =
        kvrStmtInsert(station, tbegin, tqty, sps, 1, cpath, channel, lcode, 3, calib, calper);
    if (r.ok()) {
        // With information: the row is there all the same; the driver's words are kept.
        log_.WriteLogf("Catalogue note on '%s': %s: %s", settings_.DataPath(cpath).c_str(),
                       statement.c_str(), r.message.c_str());
        return true;
    }
    LogRowError(cpath, statement, r.message);
    return false;
}

CRowUpdate CKvrCatalogue::UpdateFileRow(const std::string& cpath, const std::string& station,
                                        double tbegin, double tqty, const std::string& channel,
                                        const std::string& location) {
    const std::string lcode = kvrStoredLocation(location);
    KVR_SQL_RESULT r = kvrUpdateFileRow(db_, cpath, station, tbegin, tqty, channel, lcode);
    if (r.ok()) {
        statements_.Succeeded();
        return CRowUpdate::Done;
    }
    std::string statement = kvrStmtUpdate(tbegin, tqty, cpath, station, channel, lcode);
    if (r.rc == SQL_NO_DATA) {
        statements_.Succeeded();  // the catalogue answered
        log_.WriteLogf("Catalogue error on '%s': %s: no row; the file is registered again",
                       settings_.DataPath(cpath).c_str(), statement.c_str());
        return CRowUpdate::NoRow;
    }
    LogRowError(cpath, statement, r.message);
    return CRowUpdate::Failed;
}

bool CKvrCatalogue::NewestFile(const std::string& station, const std::string& channel,
                               const std::string& location, CFileRow* row) {
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r =
        kvrSelectNewestRecorderRow(db_, station, channel, kvrStoredLocation(location), &rows);
    if (!r.ok()) {
        LogOdbcError(r.message);
        return false;
    }
    if (rows.empty()) return false;
    const KVR_FILELIST_ROW& newest = rows.front();
    row->cpath = newest.cpath;
    row->tbegin = newest.tbegin;
    row->tqty = newest.tqty;
    row->sps = newest.sps;
    return true;
}

bool CKvrCatalogue::CountDiskLoop(const std::string& station, uint32_t* total) {
    KVR_SQL_RESULT r = kvrDiskLoopSize(db_, station, total);
    if (!r.ok()) {
        LogOdbcError(r.message);
        loopSizes_.erase(station);
        return false;
    }
    loopSizes_[station] = *total;
    return true;
}

uint32_t CKvrCatalogue::DiskLoopSize(const std::string& station) {
    uint32_t total = 0;
    return CountDiskLoop(station, &total) ? total : 0;
}

void CKvrCatalogue::AddToDiskLoop(const std::string& station, double bytes) {
    auto it = loopSizes_.find(station);
    if (it == loopSizes_.end() || !(bytes > 0)) return;
    // Saturating: a kept size past the limit only means the rows are counted again.
    it->second =
        bytes >= double(UINT32_MAX - it->second) ? UINT32_MAX : it->second + uint32_t(bytes);
}

bool CKvrCatalogue::DeleteFileRow(const std::string& cpath) {
    KVR_SQL_RESULT r = kvrDeleteFileRow(db_, cpath);
    if (!r.ok()) {
        LogOdbcError(r.message);
        return false;
    }
    return true;
}

bool CKvrCatalogue::ClaimStations(std::string* problem) {
    std::set<std::string> claimed;
    for (const CRecorderGroup& group : settings_.Groups()) {
        if (group.channels.empty() || !claimed.insert(group.station).second) continue;
        KVR_DATADIR_ROW other;
        std::string why;
        switch (kvrClaimRecorderStation(db_, settings_.Store(), group.station, &other, &why)) {
            case KvrClaim::Claimed:
                break;
            case KvrClaim::Moved:
                log_.WriteLogf("Station %s: its disk loop moved here from %s, which is gone",
                               group.station.c_str(), kvrDataDirText(other).c_str());
                break;
            case KvrClaim::Failed:
                log_.WriteWarningf(
                    "Station %s: the catalogue cannot say which data directory records it (%s); "
                    "recording without that check (kvrdb init makes the table it needs)",
                    group.station.c_str(), why.c_str());
                break;
            case KvrClaim::Taken:
                *problem =
                    "station " + group.station + " is recorded into " + kvrDataDirText(other) +
                    " on this catalogue; a second recorder of it in " + settings_.DataDirectory() +
                    " would delete that disk loop's rows. Record it there, or, when that "
                    "recorder is gone for good, release it with \"kvrdb datadir release " +
                    group.station + " --host " + other.host + " --dir " + other.dir + "\"";
                return false;
        }
    }
    return true;
}

double CKvrCatalogue::LookupSampleRate(const std::string& station, const std::string& channel,
                                       const std::string& location) {
    double sps = 0;
    KVR_SQL_RESULT r = kvrLookupSampleRate(db_, station, channel, location, &sps);
    if (!r.ok()) {
        LogOdbcError(r.message);
        return 0;
    }
    return sps;
}

bool CKvrCatalogue::ReadLoopList(const std::string& station, std::vector<KVR_LOOP_ENTRY>* rows) {
    std::vector<KVR_REFUSED_ATTRIBUTE> refused;
    KVR_SQL_RESULT r = kvrDiskLoopList(db_, station, rows, &refused);
    for (const KVR_REFUSED_ATTRIBUTE& a : refused)
        log_.WriteLogf("Cursor attribute %d refused, loop list read without it: %s", a.attribute,
                       a.message.c_str());
    if (r.ok()) return true;
    LogOdbcError(r.message);
    return false;
}

void CKvrCatalogue::TrimDiskLoop(const std::string& station, uint32_t limit) {
    auto kept = loopSizes_.find(station);
    if (kept != loopSizes_.end() && kept->second < limit) return;
    // First trim of the station, or the kept size reached the limit: the rows tell.
    uint32_t total = 0;
    if (!CountDiskLoop(station, &total) || total < limit) return;

    std::vector<KVR_LOOP_ENTRY> rows;
    if (!ReadLoopList(station, &rows)) return;
    bool deleted = false;

    for (const KVR_LOOP_ENTRY& row : rows) {
        std::string full = settings_.DataPath(row.cpath);
        std::error_code ec;
        if (!kvrRelativePathIsSafe(row.cpath)) {
            // Never delete outside the data directory: such a row is left, like a file that
            // cannot be deleted, and counted as freed.
            log_.WriteLogf("File outside the data directory kept '%s'", row.cpath.c_str());
        } else if (std::filesystem::exists(full, ec) || std::filesystem::is_symlink(full, ec)) {
            if (std::remove(full.c_str()) == 0) {
                log_.WriteLogf("Deleted file '%s'", full.c_str());
                if (!DeleteFileRow(row.cpath)) continue;
            }
        } else {
            if (!DeleteFileRow(row.cpath)) continue;
        }
        // Rows of tqty 0 were not in the total but count their header here: the total stops at
        // zero instead of wrapping round to a huge value that would empty the whole loop.
        uint32_t freed = RowBytes(row.sps, row.tqty);
        total = freed > total ? 0 : total - freed;
        deleted = true;
        if (total < limit) break;
    }
    if (deleted) CountDiskLoop(station, &total);
}
