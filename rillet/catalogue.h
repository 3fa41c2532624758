// The recorder's whole use of the KVR catalogue: the ODBC connection to data source "KVR",
// the rows of the files it writes (creater 'NRTSDISKLOOP'), the per-station disk loop, and the
// SITECHAN rates. Statement texts and quoting come from kvr/catalog.h.
//
// Disk loop: a station's files may together take at most its group's limit, counted from the rows
// as sps * tqty * 4 + 512 bytes. Before every write the loop is trimmed: oldest rows first, file
// and row deleted together, until the total is below the limit. Rows of other creaters
// ('Gleaner') are never counted or touched. Nothing but the recorder changes a loop between
// trims, so its size is counted from the rows once per station, and again after a trim that
// deleted something; the files the recorder registers and the appends it reports are added to
// it. The rows are counted again only when the kept size reaches the limit.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "kvr/catalog.h"
#include "rillet/recorder.h"

class CRilletLog;
class CRilletSettings;

class CKvrCatalogue : public CFileCatalogue {
  public:
    CKvrCatalogue(CRilletLog& log, const CRilletSettings& settings);

    // SQLConnect to "KVR" through the ODBC cursor library, as user "KVR" with password "JXQ"
    // unless the data source or the environment names others (kvrCatalogueCredentials). False
    // when it fails (the caller reports "KVR database open error").
    bool OpenKvrDatabase();
    // Opens with a full connection string instead (tests, tools); the cursor library may be left
    // out to see how a driver answers on its own.
    bool OpenConnectionString(const std::string& connection, bool cursorLibrary = true);
    KvrConnection& Connection() { return db_; }

    // Both log a failure with the file, the statement and the driver's text.
    bool RegisterNewFile(const std::string& cpath, const std::string& station, double tbegin,
                         double tqty, double sps, const std::string& channel,
                         const std::string& location, double calib, double calper) override;
    CRowUpdate UpdateFileRow(const std::string& cpath, const std::string& station, double tbegin,
                             double tqty, const std::string& channel,
                             const std::string& location) override;
    bool NewestFile(const std::string& station, const std::string& channel,
                    const std::string& location, CFileRow* row) override;
    void TrimDiskLoop(const std::string& station, uint32_t limit) override;
    void AddToDiskLoop(const std::string& station, double bytes) override;
    // Bytes the station's loop takes, counted from its rows (the kept size is set to it); 0 when
    // nothing is counted or the statement fails (logged).
    uint32_t DiskLoopSize(const std::string& station);
    // Deletes the row of a cpath as stored; a row already gone counts as deleted.
    bool DeleteFileRow(const std::string& cpath);
    // Logs the statement times of the connection since it was opened (kvr/odbc.h), in the form
    // "catalogue statements N, median X ms, 99th percentile Y ms, retried R, failed F".
    void LogStatementTimes() override;
    Counts StatementCounts() const override;
    bool KnownLoopSize(const std::string& station, uint32_t* bytes) const override;
    // Claims the disk loop of every station the settings record for their data directory
    // (kvr/owners.h). False, with *problem naming the station and the other data directory,
    // when another data directory holds one; a station moved from a folder of this host that is
    // gone, and a catalogue that cannot say (the check is then skipped), are logged.
    bool ClaimStations(std::string* problem);
    // SITECHAN rate of a channel; 0 when none is known.
    double LookupSampleRate(const std::string& station, const std::string& channel,
                            const std::string& location);

  private:
    // Counts the station's loop from its rows into the kept size; false (logged, nothing kept)
    // when the statement fails.
    bool CountDiskLoop(const std::string& station, uint32_t* total);
    // The loop list, read completely before anything is deleted.
    bool ReadLoopList(const std::string& station, std::vector<KVR_LOOP_ENTRY>* rows);
    void LogOdbcError(const std::string& message);
    void LogRowError(const std::string& cpath, const std::string& statement,
                     const std::string& message);

    CRilletLog& log_;
    const CRilletSettings& settings_;
    KvrConnection db_;
    // A catalogue away (locked, down, unreachable) fails every statement until it answers
    // again: one line when that starts, one when it ends.
    CFailureEpisode statements_{log_, "catalogue statements failing", "statements retried"};
    std::unordered_map<std::string, uint32_t> loopSizes_;  // kept size per station, bytes
};
