// The KVR catalogue: the FILELIST and SITECHAN tables behind the data source "KVR".
//
// FILELIST, one row per KVR file (CPATH is the key both writers use):
//   STA varchar(255)     station code (the recorder writes it lower case)
//   CH varchar(255)      channel code
//   LCODE varchar(255)   location code, "??" for none; never empty, never blanks
//   TBEGIN double        epoch seconds of the first sample; fixed for the file's life
//   TQTY double          seconds of data in the file; grows with each append
//   SPS double           samples per second
//   GAIN integer         always 1
//   CPATH varchar(255)   path relative to the data directory, "/" as separator
//   DATATYPE integer     3 (FLOAT)
//   CREATER varchar(255) 'NRTSDISKLOOP' (recorder, may be deleted with its file) or 'Gleaner'
//   LDDATE timestamp     when the row was written (retrieval writer only)
//   FOFF integer         512 (retrieval writer only)
//   CALIB, CALPER double the recorder writes -1.0
// SITECHAN, one row per station channel: STA, CHAN, LCODE ("??" for none), SPS.
//
// Every text that goes into a statement is quoted with kvrSqlQuote, which doubles single quotes:
// ordinary codes and paths give exactly the recorder's statement texts, and a code holding a
// quote cannot end its literal early. Numbers are printed as "%f" would in the C locale, whatever
// locale the program set, so a decimal comma never reaches the SQL text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kvr/odbc.h"

inline constexpr const char* KVR_DSN = "KVR";
inline constexpr const char* KVR_USER = "KVR";
inline constexpr const char* KVR_PASSWORD = "JXQ";
inline constexpr const char* KVR_CREATER_RECORDER = "NRTSDISKLOOP";
inline constexpr const char* KVR_CREATER_RETRIEVAL = "Gleaner";
inline constexpr const char* KVR_NO_LOCATION = "??";

// The outcome of one statement: the raw ODBC result and the driver's message text.
struct KVR_SQL_RESULT {
    SQLRETURN rc = SQL_ERROR;
    std::string message;
    SQLLEN rows = -1;  // rows an INSERT, UPDATE or DELETE touched; -1 when unknown
    bool ok() const { return kvrSqlOk(rc); }
};

// ---- literals -----------------------------------------------------------------------------

// The text with every single quote doubled (without the enclosing quotes).
std::string kvrSqlQuote(std::string_view text);
// A double as "%f" prints it in the C locale: six decimals.
std::string kvrSqlNumber(double value);

// ---- the recorder's statements, as executed -------------------------------------------------
// The delete-before-insert, insert and update texts have every "\\" of the finished text turned
// into "/", which gives the stored form of a relative path. The location arguments are used as
// given; callers pass the stored form (kvrStoredLocation).

std::string kvrStmtDeleteBeforeInsert(std::string_view cpath);
std::string kvrStmtInsert(std::string_view station, double tbegin, double tqty, double sps,
                          int gain, std::string_view cpath, std::string_view channel,
                          std::string_view location, int datatype, double calib, double calper);
std::string kvrStmtUpdate(double tbegin, double tqty, std::string_view cpath,
                          std::string_view station, std::string_view channel,
                          std::string_view location);
std::string kvrStmtLoopSize(std::string_view station);
std::string kvrStmtLoopList(std::string_view station);
// Takes the cpath as read from the catalogue, unchanged.
std::string kvrStmtDeleteRow(std::string_view cpath);
std::string kvrStmtSampleRate(std::string_view station, std::string_view channel,
                              std::string_view location);

// ---- the recorder's operations ----------------------------------------------------------------

// Delete-before-insert (result not examined), then the insert with gain 1, datatype 3, creater
// 'NRTSDISKLOOP' and the stored location. Returns the insert's result: the recorder logs anything
// but SQL_SUCCESS.
KVR_SQL_RESULT kvrRegisterNewFile(KvrConnection& db, std::string_view cpath,
                                  std::string_view station, double tbegin, double tqty, double sps,
                                  std::string_view channel, std::string_view location, double calib,
                                  double calper);
// The update of an extended file's TBEGIN and TQTY; SQL_NO_DATA when no row matched.
KVR_SQL_RESULT kvrUpdateFileRow(KvrConnection& db, std::string_view cpath, std::string_view station,
                                double tbegin, double tqty, std::string_view channel,
                                std::string_view location);
// Bytes the station's recorder files take (sps * tqty * 4 + 512 over rows with tqty > 0). total is
// 0 when nothing is counted or the statement fails, and saturates at 0xffffffff instead of
// wrapping, so an oversized loop still trims.
KVR_SQL_RESULT kvrDiskLoopSize(KvrConnection& db, std::string_view station, uint32_t* total);

struct KVR_LOOP_ENTRY {
    std::string cpath;  // as stored, "/" separators
    double sps = 0.0;
    double tqty = 0.0;
};
// A statement attribute the driver refused, with the driver's text.
struct KVR_REFUSED_ATTRIBUTE {
    int attribute = 0;  // SQL_ATTR_*
    std::string message;
};
// The station's recorder rows, oldest TBEGIN first, read completely into *rows (cleared first)
// before returning; a NULL SPS or TQTY reads as 0. The statement asks for a static, read-by-value
// cursor with simulated unique positioning; these are hints, and each one the driver refuses is
// listed in *refused (when given) while the list is read without it. Returns the select's result:
// on failure *rows holds what was fetched before it, and the result's message the driver's text.
KVR_SQL_RESULT kvrDiskLoopList(KvrConnection& db, std::string_view station,
                               std::vector<KVR_LOOP_ENTRY>* rows,
                               std::vector<KVR_REFUSED_ATTRIBUTE>* refused = nullptr);
// Deletes the rows of one cpath. A row that is already gone (SQL_NO_DATA) counts as deleted.
KVR_SQL_RESULT kvrDeleteFileRow(KvrConnection& db, std::string_view cpath);
// SITECHAN's rate for a channel; sps is 0 when there is no row, the value is NULL, or on failure.
KVR_SQL_RESULT kvrLookupSampleRate(KvrConnection& db, std::string_view station,
                                   std::string_view channel, std::string_view location,
                                   double* sps);

// The size of one file as the loop counts it, in bytes.
inline double kvrLoopFileSize(double sps, double tqty) {
    return sps * tqty * 4.0 + 512.0;
}

// ---- FILELIST rows (the retrieval writer and the tools) -----------------------------------

struct KVR_FILELIST_ROW {
    std::string sta;
    std::string ch;
    std::string lcode = KVR_NO_LOCATION;
    double tbegin = 0.0;
    double tqty = 0.0;
    double sps = 0.0;
    int gain = 1;
    std::string cpath;  // "/" separators
    int datatype = 3;
    std::string creater;
    std::string lddate;  // "YYYY-MM-DD HH:MM:SS", empty for NULL
    bool hasFoff = false;
    int foff = 0;
    bool hasCalib = false;  // CALIB and CALPER, NULL in the retrieval writer's rows
    double calib = 0.0;
    double calper = 0.0;
};

enum class KvrRowMode {
    Insert,  // a new file: any row of the same cpath is deleted first, then a row is added
    Update,  // an extended file: the row of the cpath is rewritten, or added when missing
};

// The filter that finds a file's row: "cpath='%s'" with the stored path.
std::string kvrFileListFilter(std::string_view cpath);
// The rows that match a filter (empty: all rows), ordered by STA, TBEGIN, CPATH.
KVR_SQL_RESULT kvrSelectFileListRows(KvrConnection& db, std::string_view filter,
                                     std::vector<KVR_FILELIST_ROW>* rows);
// The newest row that matches a filter: the one of latest TBEGIN, of those the greatest CPATH
// (for a filter of one station, the last row kvrSelectFileListRows gives). *rows holds it, or is
// empty when no row matches; only that row is read, however many match.
KVR_SQL_RESULT kvrSelectNewestFileListRow(KvrConnection& db, std::string_view filter,
                                          std::vector<KVR_FILELIST_ROW>* rows);
// The row of a channel's newest recorder file (creater 'NRTSDISKLOOP'; station, channel and
// location as the recorder stores them, the location in its stored form), as
// kvrSelectNewestFileListRow gives it: *rows holds that one row, or is empty when the channel has
// none.
KVR_SQL_RESULT kvrSelectNewestRecorderRow(KvrConnection& db, std::string_view station,
                                          std::string_view channel, std::string_view location,
                                          std::vector<KVR_FILELIST_ROW>* rows);
KVR_SQL_RESULT kvrDeleteFileListRows(KvrConnection& db, std::string_view cpath);
KVR_SQL_RESULT kvrInsertFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row);
// Rewrites every column of the rows whose cpath is row.cpath; SQL_NO_DATA when none matched.
// The result's rows tells how many matched.
KVR_SQL_RESULT kvrEditFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row);
// One file's row in one transaction: filter by cpath, then delete and add (Insert) or edit, or add
// when missing (Update), then commit. Any error rolls the transaction back and returns false with
// the driver's message; the file on disk is not touched. A stored location is forced on the row.
KVR_SQL_RESULT kvrWriteFileListRow(KvrConnection& db, KVR_FILELIST_ROW row, KvrRowMode mode);
// The current UTC time in the LDDATE form.
std::string kvrNowTimestamp();

// ---- SITECHAN -------------------------------------------------------------------------------

struct KVR_SITECHAN_ROW {
    std::string sta;
    std::string chan;
    std::string lcode;
    double sps = 0.0;
};
// A channel written the way the recorder looks it up: station lower case, channel and location
// upper case, "??" for no location.
KVR_SITECHAN_ROW kvrSitechanKey(std::string_view station, std::string_view channel,
                                std::string_view location, double sps);
// Adds or replaces the row of one channel (normalised with kvrSitechanKey), in a transaction.
KVR_SQL_RESULT kvrPutSitechan(KvrConnection& db, const KVR_SITECHAN_ROW& row);
KVR_SQL_RESULT kvrSelectSitechan(KvrConnection& db, std::vector<KVR_SITECHAN_ROW>* rows);

// ---- schema ---------------------------------------------------------------------------------

// Creates the tables and indexes that are missing; existing ones and their rows are kept. The same
// statements serve SQLite and PostgreSQL. created lists the objects this call made.
KVR_SQL_RESULT kvrCreateSchema(KvrConnection& db, std::vector<std::string>* created);

// Creates one table of the schema above ("FILELIST", "SITECHAN", "DATADIR", "FILENOTE", any case)
// and its indexes when they are missing; existing ones are kept. SQL_ERROR with a message for a
// name the schema does not hold, or the engine's refusal.
KVR_SQL_RESULT kvrCreateTableIfMissing(KvrConnection& db, std::string_view table);

// ---- notes ----------------------------------------------------------------------------------
// FILENOTE holds what a repair could not know exactly of a file it registered: a note applies to
// the row of its CPATH while that row's TBEGIN is the note's (a later file of the same name is
// another file).

struct KVR_FILE_NOTE {
    std::string cpath;  // "/" separators
    double tbegin = 0.0;
    std::string note;
};
// Replaces the note of note.cpath, in one transaction; makes the table when it is missing.
// Returns the failing statement's result, or the insert's.
KVR_SQL_RESULT kvrPutFileNote(KvrConnection& db, const KVR_FILE_NOTE& note);
// Every note, by CPATH, into *notes (cleared first); makes the table when it is missing.
KVR_SQL_RESULT kvrSelectFileNotes(KvrConnection& db, std::vector<KVR_FILE_NOTE>* notes);
