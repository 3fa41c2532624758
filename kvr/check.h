// Consistency of the catalogue with the data directory, for kvrdb check.
#pragma once

#include <string>
#include <vector>

#include "kvr/odbc.h"

enum class KvrFindingKind {
    MissingFile,   // a row whose file is not under the data directory
    SizeMismatch,  // a row whose SPS x TQTY differs from the file's samples by more than one
    NoRow,         // a KVR file under the data directory that no row names
};

struct KVR_CHECK_FINDING {
    KvrFindingKind kind;
    std::string cpath;   // "/" separators, relative to the data directory
    std::string detail;  // what was expected and what was found
};

// The text kvrdb prints for a kind: "missing", "size", "no row".
const char* kvrFindingName(KvrFindingKind kind);

// Compares every FILELIST row of this data directory with its file and every KVR file (a file
// that starts with a KVR magic) under dataDirectory with the rows. False with a message only when
// the catalogue cannot be read or the folder cannot be walked; findings are the catalogue's
// faults.
//
// A catalogue that several hosts share holds rows relative to each host's own data directory.
// A row belongs to this one when its first path component (the station folder every writer puts
// its files in) names a folder under dataDirectory, spelt exactly so even where the file system
// ignores case (the recorder spells stations in lower case, a fetch as the server does); the rows of other hosts' stations are neither
// findings nor repaired, and only counted in *elsewhere when it is given. A station whose whole
// folder was removed here shows in that count, not as missing files.
bool kvrCheckCatalog(KvrConnection& db, const std::string& dataDirectory,
                     std::vector<KVR_CHECK_FINDING>* findings, std::string* error,
                     size_t* elsewhere = nullptr);

// Brings rows into agreement with their files, as after a crash between a file write and its
// row: a row whose size disagrees takes its file's true length (TQTY = whole samples / SPS), a
// row whose file is gone is deleted, and, when adopt is set, a file without a row is registered
// from its name and header (station, channel, location, rate, first sample to the second; a 4.0
// file as "Gleaner", a 2.0 file as the recorder's). Files are never changed. A finding that was
// mended is removed from findings; what is left (files without rows when adopt is not set, files
// whose name or header cannot be read, rows the database refused) stays, its detail saying why.
// done receives a line per mended finding. False only when a statement cannot run at all.
bool kvrRepairCatalog(KvrConnection& db, const std::string& dataDirectory, bool adopt,
                      std::vector<KVR_CHECK_FINDING>* findings, std::vector<std::string>* done,
                      std::string* error);
