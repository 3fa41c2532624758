// Which data directory a station's files are in, for a catalogue that several hosts share.
//
// FILELIST rows hold paths relative to a data directory and no word of which one: two hosts that
// record or fetch the same station into data directories of their own write rows that look alike.
// The table DATADIR says where each station's files of each writer are:
//   STA varchar(255)      station code as the writer spells it
//   CREATER varchar(255)  'NRTSDISKLOOP' (the recorder) or 'Gleaner'
//   HOST varchar(255)     the host the data directory is on
//   DIR varchar(1024)     the data directory, an absolute path on that host
//   LDDATE timestamp      when the row was written
// Stations compare without regard to case.
//
// A station's disk loop belongs to one data directory: the recorder claims it at start and is
// refused while another data directory holds it, because two loops of one station on one
// catalogue would trim, register again and delete each other's rows. The retrieval writer only
// registers where it wrote a station's files; several data directories may hold them. kvrdb check
// deletes a row whose file is missing only when the row can be this data directory's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/store.h"

struct KVR_DATADIR_ROW {
    std::string sta;
    std::string creater;
    std::string host;
    std::string dir;
    std::string lddate;  // "YYYY-MM-DD HH:MM:SS", empty for NULL
};

// How a data directory is named in DATADIR: this host's name and the store's folder as an
// absolute path without links ("HOST:DIR" in messages).
// The row of station and creater as given, lddate empty, DIR with "/" separators and no trailing
// one; a folder that cannot be resolved is named as the store names it. Nothing is looked up in
// the catalogue.
KVR_DATADIR_ROW kvrDataDirOf(const KVR_STORE& store, std::string_view station,
                             std::string_view creater);
// "HOST:DIR", for messages.
std::string kvrDataDirText(const KVR_DATADIR_ROW& row);
// True when the two rows name the same data directory (host and folder).
bool kvrSameDataDir(const KVR_DATADIR_ROW& a, const KVR_DATADIR_ROW& b);

// The DATADIR rows of a station (empty: of every station) and a creater (empty: of both), oldest
// first, into *rows (cleared first). Makes the table when it is missing. Returns the select's
// result; *rows holds what was read before a failure.
// Stations compare without case. The order is by station and creater, then oldest first. A
// refused select or fetch comes back as SQL_ERROR, whatever the driver returned.
KVR_SQL_RESULT kvrSelectDataDirs(KvrConnection& db, std::string_view station,
                                 std::string_view creater, std::vector<KVR_DATADIR_ROW>* rows);
// Adds row (its LDDATE now) unless the same station, creater and data directory is there.
// SQL_SUCCESS when it was there; else kvrSelectDataDirs's failure or the insert's result. Not a
// transaction: two callers at the same moment may both add it.
KVR_SQL_RESULT kvrRegisterDataDir(KvrConnection& db, const KVR_DATADIR_ROW& row);
// Deletes the rows of a station and creater in one data directory; SQL_NO_DATA counts as done.
// The result's rows tells how many went.
// Makes the table when it is missing; a failure returns that result or the delete's refusal.
KVR_SQL_RESULT kvrReleaseDataDir(KvrConnection& db, const KVR_DATADIR_ROW& row);

enum class KvrClaim {
    Claimed,  // the station's loop is this data directory's (registered now, or before)
    Moved,    // it was another folder of this host that no longer exists: it is this one's now
    Taken,    // another data directory holds it: *other names it
    Failed,   // the catalogue could not say: the result's message tells why
};

// The recorder's claim of a station's disk loop for the store's data directory. When another
// data directory holds it, Taken with *other set; a claim of this host whose folder is gone
// (a data directory moved) passes to this one (Moved, *other the old one). Two recorders that
// claim at the same moment agree on one winner: the oldest row, then the lesser host and folder.
// Failed sets *message; *message is untouched otherwise, and *other is set only for Moved and
// Taken. Not one transaction: Failed may come after an old claim was released or this one
// registered, and those changes stay. A Taken claim releases its own registration again (that
// release's result is not checked). A folder of this host that cannot be looked at counts as
// gone.
KvrClaim kvrClaimRecorderStation(KvrConnection& db, const KVR_STORE& store,
                                 std::string_view station, KVR_DATADIR_ROW* other,
                                 std::string* message);
