// The recorder's settings: ".\\rillet.ini" in the current folder (server, groups, channel lists,
// and the resume times the recorder writes back), and the data directory of the KVR store
// (kvr/store.h), which every program reads by the same rule.
//
// rillet.ini:
//   [LOG]     DIR=..\log                   log directory
//   [SYSTEM]  SERVER=localhost PORT=39136 GROUPS=n
//   [GROUPk]  STATION= SIZEMB=1 FILELENGTH(MIN)=60 CHAN=BHZ,BHN.00;BHE
//             <channel>[.<location>]=<epoch seconds>   resume time, written while recording
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvr/store.h"
#include "platform/profile.h"
#include "rillet/groups.h"

class CRilletLog;

inline constexpr const char* kRilletIni = ".\\rillet.ini";
inline constexpr const char* kDefaultServer = "localhost";
inline constexpr int kDefaultPort = 39136;
inline constexpr int kBytesPerMegabyte = 1048576;
// The disk-loop total is a 32-bit byte count, so a loop must stay below 2048 MB.
inline constexpr int kMaxSizeMb = 2047;
inline constexpr int kDefaultFileLengthMin = 60;
// More group sections than this are not read (a garbage GROUPS would otherwise read for ever).
inline constexpr int kMaxGroups = 9999;

// What keeps the recorder from starting, found after LoadSettings.
enum class CStartProblem {
    None,
    NoDataDirectory,  // the store's data directory is not named, not there, or not writable
    NothingToRecord,  // no rillet.ini, no GROUPS, or no channel with a SITECHAN rate
};

class CRilletSettings {
  public:
    // SITECHAN look-up: (station lower case, channel upper case, location or "??") -> samples
    // per second, 0 when unknown.
    using RateLookup =
        std::function<double(const std::string&, const std::string&, const std::string&)>;

    // The settings files; tests point them elsewhere.
    explicit CRilletSettings(CRilletLog& log, std::string rilletIni = kRilletIni,
                             std::string kvrIni = KVR_PROFILE);

    // Reads both files and builds the group list. Turns the log on first. Missing files and keys
    // give defaults; what cannot be used is logged and skipped. Always true.
    bool LoadSettings(const RateLookup& lookupRate);

    // After LoadSettings: None, or the problem with a message naming what is missing and where
    // it was looked for: the store's words for a data directory that is not named, does not
    // exist or cannot be written.
    // forWriting (a recorder) asks also that the data directory can be written; a reader (the
    // status report) only needs it to exist.
    CStartProblem CheckStart(std::string* message, bool forWriting = true) const;

    // Adds the channels of a CHAN value to group g (already upper-cased by the caller).
    void ParseChannelList(size_t g, const std::string& text, const RateLookup& lookupRate);

    // Resume time of channel c of group g in epoch seconds (its fraction kept), 0 when none is
    // stored or the stored value is no time: none of the forms utilParseTime reads (epoch
    // seconds, yyyy:ddd-hh:mm:ss, ISO 8601 UTC, now-N), or later than a day from now (logged,
    // with the forms). Read from rillet.ini as LoadSettings read it, and as written since.
    double ReadResumeTime(size_t g, size_t c) const;
    // False when the settings file cannot be written (the caller logs it).
    bool WriteResumeTime(size_t g, size_t c, double seconds);
    // Writes the resume times of several channels in one rewrite of the settings file: all of
    // them, or none and false (errno tells why; the caller logs it). Epoch seconds, whole ones as
    // an integer, a fraction to the microsecond.
    struct ResumeTime {
        size_t g = 0;
        size_t c = 0;
        double seconds = 0;
    };
    bool WriteResumeTimes(const std::vector<ResumeTime>& times);
    // A number as the settings file and the log hold it: an integer when whole, else to the
    // sixth decimal without trailing zeros (resume times, rates).
    static std::string NumberText(double value);

    std::vector<CRecorderGroup>& Groups() { return groups_; }
    const std::vector<CRecorderGroup>& Groups() const { return groups_; }
    // The store's data directory (a host path without trailing separator; empty when KVR.ini
    // does not name one).
    const std::string& DataDirectory() const { return store_.dataDirectory; }
    const KVR_STORE& Store() const { return store_; }
    const std::string& LogDirectory() const { return logDirectory_; }    // ends in "\\"
    const std::string& Server() const { return server_; }
    // METRICS of [SYSTEM]: where the recorder writes its metrics; empty for none.
    const std::string& MetricsFile() const { return metricsFile_; }
    int Port() const { return port_; }
    const std::string& RilletIni() const { return rilletIni_; }
    // The "GROUP%d" section that holds group g's settings and resume times.
    std::string Section(size_t g) const { return "GROUP" + std::to_string(groups_.at(g).section); }

    // A settings or server text made safe for a log line (control bytes escaped).
    static std::string Printable(const std::string& text);
    // The host path a settings file name resolves to.
    static std::string IniPath(const std::string& file);

    // Host path of a file given relative to the data directory (either separator).
    std::string DataPath(const std::string& relative) const { return kvrStorePath(store_, relative); }

  private:
    // Marks the channels whose files must carry their location (CChannelConfig::locationInName)
    // and logs each such code once per station.
    void NameSharedChannelCodes();

    CRilletLog& log_;
    std::string rilletIni_;
    // rillet.ini as read by LoadSettings (one read, whatever the number of channels), with the
    // resume times written since.
    PlatProfileSnapshot ini_;
    std::string kvrIni_;
    std::vector<CRecorderGroup> groups_;
    KVR_STORE store_;
    bool storeNamed_ = false;  // KVR.ini names a data directory
    std::string storeError_;   // why it does not, when it does not
    bool rilletIniFound_ = false;
    int configuredGroups_ = 0;
    std::string logDirectory_;
    std::string server_ = kDefaultServer;
    std::string metricsFile_;
    int port_ = kDefaultPort;
};

// One CHAN entry: channel code and location code ("??" when none was given).
struct CChannelEntry {
    std::string channel;
    std::string location;
};
// The entries of a CHAN value in order, empty ones left out. Separators "," and ";"; "." starts the
// location code; blanks and tabs before a code are skipped and blanks inside one dropped.
std::vector<CChannelEntry> SplitChannelList(const std::string& text);

