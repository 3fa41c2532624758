// Consistency of the catalogue with one data directory, for kvrdb check.
#pragma once

#include <string>
#include <vector>

#include "kvr/odbc.h"

enum class KvrFindingKind {
    MissingFile,   // a row whose file is not under the data directory
    SizeMismatch,  // a row whose SPS x TQTY differs from the file's samples by more than one
    NoRow,         // a KVR file under the data directory that no row names
    Inexact,       // a row registered from its file by a repair that could not know all of it
};

struct KVR_CHECK_FINDING {
    KvrFindingKind kind;
    std::string cpath;   // "/" separators, relative to the data directory
    std::string detail;  // what was expected and what was found
    // A row whose file is missing here but that another data directory may hold (the catalogue
    // is shared): a repair never deletes it.
    bool mayBeElsewhere = false;
};

// The text kvrdb prints for a kind: "missing", "size", "no row", "inexact".
const char* kvrFindingName(KvrFindingKind kind);

// Compares every FILELIST row of this data directory with its file and every KVR file (a file
// that starts with a KVR magic) under dataDirectory with the rows, and lists the rows a repair
// registered with a note (kvrPutFileNote) as Inexact. *findings is cleared first. False with
// *error only when the catalogue cannot be read or the folder cannot be walked; findings are the
// catalogue's faults.
//
// A catalogue that several hosts share holds rows relative to each host's own data directory.
// Which rows are this one's is told by the DATADIR table (kvr/owners.h): a row of a station and
// creater registered only to other data directories is another's, and only counted in *elsewhere
// (when given). A row whose station is registered here and elsewhere too, or not registered while
// the catalogue knows other data directories, is checked, but when its file is missing it is
// marked mayBeElsewhere. Without any registration the rows whose first path component (the
// station folder every writer puts its files in) names no folder under dataDirectory, spelt
// exactly so, are another host's, as before.
//
// *elsewhere (when given) is set to 0 first. False also when dataDirectory is not a folder ("no
// data directory DIR"); *error may be null, and *findings then holds what was found before.
// Files are only read, but the catalogue is not: reading DATADIR and FILENOTE makes those tables
// when they are missing. A failure to read them is not an error: the rows are then judged as if
// no data directory were registered, and no row is Inexact.
bool kvrCheckCatalog(KvrConnection& db, const std::string& dataDirectory,
                     std::vector<KVR_CHECK_FINDING>* findings, std::string* error,
                     size_t* elsewhere = nullptr);

// Brings rows into agreement with their files, as after a crash between a file write and its
// row: a row whose size disagrees takes its file's true length (TQTY = whole samples / SPS), a
// row whose file is gone is deleted (never one marked mayBeElsewhere), and, when adopt is set, a
// file without a row is registered from its name and header (a 4.0 file as "Gleaner", a 2.0 file
// as the recorder's). Files are never changed.
//
// An adopted row gets the most exact first-sample time there is: a file's name gives it to the
// whole second only, so the end of the channel's file before it (or the start of the one after
// it, less this file's length) is taken when it falls within that second; otherwise the whole
// second is kept. Its location comes from the name where the name has one; a 2.0 name has none
// unless the station records one channel code under several locations, so it is taken from the
// channel's other rows, or from SITECHAN, when those know one location only. What could not be
// known exactly is said in the line of the file and kept as a note (kvrPutFileNote), so that
// every later check lists the row as Inexact rather than saying the catalogue agrees.
//
// A finding that was mended is removed from *findings; what is left (files without rows when adopt
// is not set, files whose name or header cannot be read, rows the database refused, rows that may
// be elsewhere, inexact rows) stays, its detail saying why. *done receives a line per mended
// finding. False with *error only when a statement cannot run at all.
//
// *done is appended to, not cleared. The one failure that returns false is a row to be resized
// that cannot be read again (*error, when given, "cannot read FILELIST: ..."): *findings is then
// left as it came, although what was mended before it stays mended and its lines are in *done.
bool kvrRepairCatalog(KvrConnection& db, const std::string& dataDirectory, bool adopt,
                      std::vector<KVR_CHECK_FINDING>* findings, std::vector<std::string>* done,
                      std::string* error);
