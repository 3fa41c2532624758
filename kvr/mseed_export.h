// Export of catalogued KVR files to miniSEED, so that the field's common tools (ObsPy, SAC through
// mseed2sac, viewers, SeisComP) can read what the recorder and the retrieval writer stored.
//
// Layout: the SDS archive that SeisComP and ObsPy read,
//   OUT/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DOY
// one file per channel and UTC day; a KVR file that crosses midnight is split there. Records are
// 4096 bytes, big-endian, 32-bit float encoding (the KVR samples' own type, so nothing is lost),
// data quality "D". Start times are the FILELIST rows' TBEGIN (a 4.0 header carries none), sample
// i of a file at TBEGIN + i / SPS, the rate from the row's SPS. Codes are written upper case
// (the recorder stores stations lower case); a location of "??" becomes empty. KVR has no
// network code: the caller gives one.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kvr/odbc.h"

struct KVR_EXPORT_OPTIONS {
    std::string dataDirectory;  // the folder CPATH values are relative to
    std::string outputFolder;   // the SDS root; made when missing
    std::string network = "XX";  // 1 or 2 characters
    std::string station;        // only this station (any case); empty for all
    std::string channel;        // only this channel (any case); empty for all
    // Only samples at or after begin and before end (epoch seconds, before 1970 too); an infinite
    // value (the defaults) sets no limit.
    double begin = -HUGE_VAL;
    double end = HUGE_VAL;
};

struct KVR_EXPORT_SUMMARY {
    uint64_t rows = 0;     // catalogue rows looked at (after the station and channel filter)
    uint64_t files = 0;    // miniSEED day files written to or looked at
    uint64_t records = 0;  // miniSEED records written
    uint64_t samples = 0;  // samples written
    uint64_t samplesPresent = 0;  // samples left out: their day file held them already
    // One line per row that could not be exported whole: a missing or unreadable file, or a file
    // whose size disagrees with its row (what the file holds is exported then).
    std::vector<std::string> warnings;
};

// Writes the samples of every catalogued file that passes the options' filters into the SDS tree.
// A day file that exists is kept and only appended to: samples whose time its records already
// cover (an earlier export of the same window, or another row of the same stream in this one)
// are left out and counted in samplesPresent, so exporting a window again leaves the files as
// they were. A day file that is not miniSEED is refused, untouched. Rows are read in station, channel, location
// and time order. Returns false with *error set when the catalogue cannot be read, an option is
// invalid, or an output file cannot be written (what was written before stays); per-row problems
// are warnings in *summary and do not fail the call.
// *summary is reset first and counts what was done up to a failure. A day file that is not
// miniSEED fails the call there. The whole of FILELIST is read and filtered here; the
// connection, the options and *summary are not kept after the return, and every file is closed.
bool kvrExportMiniSeed(KvrConnection& db, const KVR_EXPORT_OPTIONS& options,
                       KVR_EXPORT_SUMMARY* summary, std::string* error);
