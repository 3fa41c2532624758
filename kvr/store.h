// The KVR store: the rules of the archive that the recorder, the retrieval writer, kvrdb and the
// export share, kept in one place so that no two of them can disagree.
//
// Where the archive lives. The data directory is DIR of section [DATA] in the bare-named
// "KVR.ini", which the profile layer finds in the Windows directory ($WINDIR, else /etc) in any
// letter case. Trailing separators are dropped; a relative DIR is taken relative to the folder of
// KVR.ini, never to the folder a program happens to start in. A missing file, a missing or empty
// DIR, a DIR that names the root and a DIR whose folder does not exist are refused, with the same
// message in every program. A program may instead be given its folder explicitly (a --data-dir
// option); rows are then relative to that folder.
//
// Layout under the data directory, paths relative to it with "\\" separators (the catalogue
// stores them with "/"):
//   2.0 (recorder):  station "\\" HH "\\" DDMMYYYY-HHMMSS-CCC.SSS     HH = hour of the first
//                    sample (one folder per hour of the day), e.g. abc\13\02012006-130405-BHZ.abc
//                    When the station records one channel code under several locations, each
//                    located channel's files carry the location as 4.0 names do:
//                    abc\13\02012006-130405-BHZ.00.abc, so that they can never share a file.
//   4.0 (retrieval): station "\\" DDDYYYY-HHMMSS-CCC[.LL].SSS        DDD = day of year, e.g.
//                    ABC\0452007-120000-BHZ.00.ABC; the location part only when it is meaningful
// CCC and SSS are "%3s": a shorter code is padded on the left with blanks, never cut. A 2.0 name
// holds the first sample's second cut to the whole second; a 4.0 name the time rounded to the
// millisecond and then cut to the whole second.
//
// Codes. A station, channel or location code names folders, files, rows and settings keys, and
// comes from settings, users and servers alike; one rule says which may: ASCII letters, digits,
// "-" and "_" only. A station and a channel have at least one character; a location may be empty,
// blanks or "??", which all mean "no location" (stored as "??").
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr const char* KVR_PROFILE = "KVR.ini";

// Where the archive of one program run lives.
struct KVR_STORE {
    std::string dataDirectory;  // host path, without trailing separator
    std::string origin;         // how it was named, for messages: "DIR of [DATA] in /etc/KVR.ini"
};

// ---- the data directory ---------------------------------------------------------------------

// Reads the data directory from the KVR profile (profile: a bare name is looked up as every
// profile is, a path is taken as it stands) and checks that the folder exists. True with *store
// set. False with *error set, *store untouched, and nothing made on disk:
//   "no data directory: PATH not found"
//   "no data directory: [DATA] DIR is not set in PATH"
//   "no data directory: [DATA] DIR in PATH names the root"
//   "no data directory: DIR (from PATH) does not exist"      (or "is not a folder")
bool kvrStoreFromProfile(KVR_STORE* store, std::string* error,
                         const std::string& profile = KVR_PROFILE);
// The reading alone, for a program that checks the folder later (the recorder checks it with its
// other start-up conditions): the first three refusals above, the folder not looked at. True with
// *store set; false with *error set and *store untouched.
bool kvrStoreReadProfile(KVR_STORE* store, std::string* error,
                         const std::string& profile = KVR_PROFILE);
// True when the store's folder exists; false with *error as kvrStoreFromProfile words it.
bool kvrStoreCheckFolder(const KVR_STORE& store, std::string* error);

// A data directory given explicitly; origin says how ("--data-dir"). With make set a missing
// folder is made with its parents. True with *store set; false with *error naming the folder and
// the cause ("no data directory: DIR (--data-dir) does not exist", "cannot make the data
// directory DIR: reason"), *store untouched.
bool kvrStoreFromFolder(const std::string& folder, const std::string& origin, bool make,
                        KVR_STORE* store, std::string* error);

// True when files can be made in the data directory (a writer asks before it starts). False with
// *error "data directory DIR (origin) cannot be written: reason"; the probe file it makes
// (".kvr-write-test-PID") is removed again either way.
bool kvrStoreCheckWritable(const KVR_STORE& store, std::string* error);

// The host path of a file or folder given relative to the data directory (either separator).
std::string kvrStorePath(const KVR_STORE& store, std::string_view relativePath);
// The host path of relativePath (either separator) under dataDirectory (either separator, with or
// without a trailing one); relativePath alone when dataDirectory is empty. Leading separators of
// relativePath are dropped; ".." is not looked at (kvrRelativePathIsSafe).
std::string kvrFullPath(std::string_view dataDirectory, std::string_view relativePath);
// The relative path as the catalogue stores it: every "\\" turned into "/".
std::string kvrCatalogPath(std::string_view relativePath);
// True when a stored path stays inside the data directory: relative, not empty, no drive colon and
// no ".." component. Nothing is deleted or written through a path that fails this.
bool kvrRelativePathIsSafe(std::string_view relativePath);

// ---- codes --------------------------------------------------------------------------------

enum class KvrCodeKind { Station, Channel, Location };

// True when code may name files, rows and keys (the rule above). False with *why (when given) the
// fault in words: "empty", "character '.'" or "byte 0x0d", for an escaped message.
bool kvrCodeIsValid(KvrCodeKind kind, std::string_view code, std::string* why = nullptr);
// A location that means "none": empty, only blanks, or "??".
bool kvrLocationIsNone(std::string_view location);
// The location as the catalogue stores it: "??" for none, else the code itself.
std::string kvrStoredLocation(std::string_view location);

// ---- names ----------------------------------------------------------------------------------
// Each returns an empty text when the time lies outside the years 1..9999 the calendar names.

// "\\DDMMYYYY-HHMMSS-CCC.SSS" and station "\\" HH plus that name.
std::string kvrFileName20(std::string_view station, std::string_view channel, double firstSample);
std::string kvrRelativePath20(std::string_view station, std::string_view channel,
                              double firstSample);
// The name of a located 2.0 file: "\\DDMMYYYY-HHMMSS-CCC.LL.SSS" (the plain name for a location
// that means none), and its relative path.
std::string kvrFileName20(std::string_view station, std::string_view channel,
                          std::string_view location, double firstSample);
std::string kvrRelativePath20(std::string_view station, std::string_view channel,
                              std::string_view location, double firstSample);
// The hour folder of a 2.0 file: station "\\" HH.
std::string kvrHourFolder20(std::string_view station, double firstSample);

// "\\DDDYYYY-HHMMSS-CCC[.LL].SSS" and station plus that name.
std::string kvrFileName40(std::string_view station, std::string_view channel,
                          std::string_view location, double firstSample);
std::string kvrRelativePath40(std::string_view station, std::string_view channel,
                              std::string_view location, double firstSample);

// Whether the recorder's files of (channel, location) carry the location in their names: true
// when the station's channels (every group of the station, as (channel, location) pairs) hold the
// channel code, ignoring case, under more than one location and this location is not none.
bool kvrRecorderNamesLocation(std::span<const std::pair<std::string, std::string>> stationChannels,
                              std::string_view channel, std::string_view location);

// What a file's name says of it.
struct KVR_NAME_FIELDS {
    int version = 0;           // 20 or 40, by the form of the name
    std::string station;       // without the "%3s" padding
    std::string channel;
    std::string location;      // "??" when the name carries none
    bool namesLocation = false;  // the name carries a location part
    double firstSecond = 0.0;  // epoch seconds of the first sample, cut to the whole second
};

// Reads a relative path's file name (either separator; only the last component counts) as one of
// the two forms above. False with *why ("its name holds no time", "its name holds no channel and
// station", "its name holds no date") when it is neither; *fields untouched then. why may be null.
bool kvrParseFileName(std::string_view relativePath, KVR_NAME_FIELDS* fields, std::string* why);
