// The recorder's state as an operator's monitoring check sees it: read from the settings folder
// and the catalogue alone, so that it can be asked while a recorder runs there. Nothing is locked
// and the catalogue is only read; nothing is written into the folder or its log (a setting the
// recorder would refuse is said on standard error).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

class CKvrCatalogue;

// How far the newest stored sample of a channel may lie behind now before it counts as lagging,
// beyond the samples the recorder holds by design before it writes them (kMaxPendingSamples at
// the channel's rate, for rates above one sample per second).
inline constexpr double kDefaultMaxLagSeconds = 300;

// Exit statuses of the report.
inline constexpr int kStatusCurrent = 0;  // every channel's newest sample within the lag
inline constexpr int kStatusLagging = 1;  // a channel lags more, has no data, or its resume time lags
inline constexpr int kStatusBadSetup = 2;  // no settings, no data directory, catalogue unreadable

struct RilletStatusOptions {
    std::string rilletIni;  // the recorder's settings file (".\\rillet.ini")
    std::string kvrIni;     // the shared "KVR.ini"
    double maxLagSeconds = kDefaultMaxLagSeconds;
    double now = 0;  // epoch seconds the lag is measured from
    // Opens the catalogue (the recorder's data source in the program, another in tests); false
    // with the reason in *why when it cannot.
    std::function<bool(CKvrCatalogue&, std::string*)> openCatalogue;
};

// Prints a line per channel of every group (its newest stored sample's time, the lag behind now,
// the file holding it, its resume time and a verdict) and a line per station (the disk loop's
// use against its SIZEMB) to out; what keeps the report from being made goes to err. Returns a
// kStatus* exit status. Codes read from the files are escaped before they are printed.
int rilletReportStatus(const RilletStatusOptions& options, FILE* out, FILE* err);
