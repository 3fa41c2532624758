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
// No operation below keeps a pointer or reference to its arguments or the connection after it
// returns.
struct KVR_SQL_RESULT {
    SQLRETURN rc = SQL_ERROR;
    std::string message;  // a failure's text, the driver's (or ours); empty after SQL_SUCCESS
                          // and SQL_NO_DATA, the driver's information after SQL_SUCCESS_WITH_INFO
    SQLLEN rows = -1;  // rows an INSERT, UPDATE or DELETE touched; -1 when unknown
    // kvrSqlOk(rc): SQL_NO_DATA is not ok.
    bool ok() const { return kvrSqlOk(rc); }
};

// ---- literals -----------------------------------------------------------------------------

// The text with every single quote doubled (without the enclosing quotes).
std::string kvrSqlQuote(std::string_view text);
// A double as "%f" prints it in the C locale: six decimals. A value that is not finite gives
// "inf", "-inf", "nan" or "-nan", which no engine takes as a number.
std::string kvrSqlNumber(double value);

// ---- the recorder's statements, as executed -------------------------------------------------
// The delete-before-insert, insert and update texts have every "\\" of the finished text turned
// into "/", which gives the stored form of a relative path. The location arguments are used as
// given; callers pass the stored form (kvrStoredLocation). Each returns the text and cannot fail;
// codes and paths are quoted with kvrSqlQuote, numbers printed with kvrSqlNumber.

// "delete from filelist where cpath='CPATH'".
std::string kvrStmtDeleteBeforeInsert(std::string_view cpath);
// The insert of a recorder row, creater 'NRTSDISKLOOP'.
std::string kvrStmtInsert(std::string_view station, double tbegin, double tqty, double sps,
                          int gain, std::string_view cpath, std::string_view channel,
                          std::string_view location, int datatype, double calib, double calper);
// Sets TBEGIN and TQTY of the row of cpath, station, channel and location.
std::string kvrStmtUpdate(double tbegin, double tqty, std::string_view cpath,
                          std::string_view station, std::string_view channel,
                          std::string_view location);
// The sum of sps*tqty*4+512 over the station's recorder rows with tqty > 0 (NULL for none).
std::string kvrStmtLoopSize(std::string_view station);
// cpath, sps and tqty of the station's recorder rows, by TBEGIN.
std::string kvrStmtLoopList(std::string_view station);
// Takes the cpath as read from the catalogue, unchanged: "delete from FILELIST where cpath='CPATH'"
// (no "\\" turned).
std::string kvrStmtDeleteRow(std::string_view cpath);
// SITECHAN's SPS of one station, channel and location, compared exactly as given.
std::string kvrStmtSampleRate(std::string_view station, std::string_view channel,
                              std::string_view location);

// ---- the recorder's operations ----------------------------------------------------------------

// Delete-before-insert (result not examined), then the insert with gain 1, datatype 3, creater
// 'NRTSDISKLOOP' and the stored location. Returns the insert's result: the recorder logs anything
// but SQL_SUCCESS. The two are not one transaction: when the insert fails, the path may be left
// without a row.
KVR_SQL_RESULT kvrRegisterNewFile(KvrConnection& db, std::string_view cpath,
                                  std::string_view station, double tbegin, double tqty, double sps,
                                  std::string_view channel, std::string_view location, double calib,
                                  double calper);
// The update of an extended file's TBEGIN and TQTY (the location in its stored form); SQL_NO_DATA
// when no row matched (not ok()), else the update's result with the rows it touched.
KVR_SQL_RESULT kvrUpdateFileRow(KvrConnection& db, std::string_view cpath, std::string_view station,
                                double tbegin, double tqty, std::string_view channel,
                                std::string_view location);
// Bytes the station's recorder files take (sps * tqty * 4 + 512 over rows with tqty > 0). total is
// 0 when nothing is counted or the statement fails, and saturates at 0xffffffff instead of
// wrapping, so an oversized loop still trims. Returns the select's result (SQL_SUCCESS when no
// row comes back); a fetch with information counts as one without.
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
// *refused is cleared first too.
KVR_SQL_RESULT kvrDiskLoopList(KvrConnection& db, std::string_view station,
                               std::vector<KVR_LOOP_ENTRY>* rows,
                               std::vector<KVR_REFUSED_ATTRIBUTE>* refused = nullptr);
// Deletes the rows of one cpath. A row that is already gone (SQL_NO_DATA) counts as deleted.
// SQL_SUCCESS with the rows deleted (0 for none), or the driver's refusal.
KVR_SQL_RESULT kvrDeleteFileRow(KvrConnection& db, std::string_view cpath);
// SITECHAN's rate for a channel; sps is 0 when there is no row, the value is NULL, or on failure.
// Returns the select's result, SQL_SUCCESS when there is no row.
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

// The filter that finds a file's row: "cpath='%s'" with the stored path. cpath is quoted but not
// changed otherwise: a path with "\\" finds nothing.
std::string kvrFileListFilter(std::string_view cpath);
// The rows that match a filter (empty: all rows), ordered by STA, TBEGIN, CPATH, into *rows
// (cleared first). The filter is SQL put after "where" as it stands: every value in it must be
// quoted with kvrSqlQuote. A NULL text reads as empty, a NULL number as 0 (hasFoff and hasCalib
// tell FOFF and CALIB from NULL); texts are cut at 255 characters. Returns the select's result;
// on failure *rows holds what was read before it.
KVR_SQL_RESULT kvrSelectFileListRows(KvrConnection& db, std::string_view filter,
                                     std::vector<KVR_FILELIST_ROW>* rows);
// The newest row that matches a filter: the one of latest TBEGIN, of those the greatest CPATH
// (for a filter of one station, the last row kvrSelectFileListRows gives). *rows holds it, or is
// empty when no row matches; only that row is read, however many match. Results and failures as
// kvrSelectFileListRows.
KVR_SQL_RESULT kvrSelectNewestFileListRow(KvrConnection& db, std::string_view filter,
                                          std::vector<KVR_FILELIST_ROW>* rows);
// The row of a channel's newest recorder file (creater 'NRTSDISKLOOP'; station, channel and
// location as the recorder stores them, the location in its stored form), as
// kvrSelectNewestFileListRow gives it: *rows holds that one row, or is empty when the channel has
// none.
KVR_SQL_RESULT kvrSelectNewestRecorderRow(KvrConnection& db, std::string_view station,
                                          std::string_view channel, std::string_view location,
                                          std::vector<KVR_FILELIST_ROW>* rows);
// Deletes every row of cpath (compared as given, so the stored form). SQL_SUCCESS with the rows
// deleted (0 when there was none), or the driver's refusal.
KVR_SQL_RESULT kvrDeleteFileListRows(KvrConnection& db, std::string_view cpath);
// Adds row as it stands (cpath and lcode are not normalised): LDDATE NULL when lddate is empty,
// FOFF NULL without hasFoff, CALIB and CALPER NULL without hasCalib. Returns the insert's result
// with the rows added; not a transaction of its own.
KVR_SQL_RESULT kvrInsertFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row);
// Rewrites every column but CPATH of the rows whose cpath is row.cpath (as given), with NULLs as
// kvrInsertFileListRow writes them; SQL_NO_DATA when none matched, else the update's result.
// The result's rows tells how many matched.
KVR_SQL_RESULT kvrEditFileListRow(KvrConnection& db, const KVR_FILELIST_ROW& row);
// One file's row in one transaction: filter by cpath, then delete and add (Insert) or edit, or add
// when missing (Update), then commit. Any error rolls the transaction back and returns the failing
// step's result with the driver's message (SQL_ERROR with the connection's message() when the
// transaction cannot begin or commit); the file on disk is not touched. A stored location is
// forced on the row, and "/" separators on its cpath (the row is taken by value). Update with
// several rows of the path replaces them by one. SQL_SUCCESS (empty message, rows -1) when
// committed. Not nested: inside an open transaction it commits that one (KvrTransaction).
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
// SQL_SUCCESS when committed; else the failing statement's result, or SQL_ERROR with the
// connection's message() when the transaction cannot begin or commit, nothing changed.
KVR_SQL_RESULT kvrPutSitechan(KvrConnection& db, const KVR_SITECHAN_ROW& row);
// Every SITECHAN row, by STA, CHAN, LCODE, into *rows (cleared first), as stored (not
// normalised); a NULL text reads as empty, a NULL SPS as 0. Returns the select's result; on
// failure *rows holds what was read before it.
KVR_SQL_RESULT kvrSelectSitechan(KvrConnection& db, std::vector<KVR_SITECHAN_ROW>* rows);

// ---- schema ---------------------------------------------------------------------------------

// Creates the tables and indexes that are missing; existing ones and their rows are kept. The same
// statements serve SQLite and PostgreSQL. created lists the objects this call made (cleared
// first; an object whose probe failed counts as made). Returns SQL_SUCCESS, or the first refused
// statement's result with the objects before it made and listed.
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
// Returns the failing statement's result, or the insert's; SQL_ERROR with the connection's
// message() when the transaction cannot begin or commit. LDDATE is now.
KVR_SQL_RESULT kvrPutFileNote(KvrConnection& db, const KVR_FILE_NOTE& note);
// Every note, by CPATH, into *notes (cleared first); makes the table when it is missing. A NULL
// TBEGIN reads as 0. Returns the select's (or the table's creation) result; on failure *notes
// holds what was read before it.
KVR_SQL_RESULT kvrSelectFileNotes(KvrConnection& db, std::vector<KVR_FILE_NOTE>* notes);
