// The samples one channel holds over one UTC day, read from the archive's KVR files through the
// catalogue's rows, for a day plot.
#pragma once

#include <string>
#include <vector>

#include "kvr/catalog.h"

// One file's samples within the day.
struct KVR_DAY_SEGMENT {
    double start = 0.0;  // epoch seconds of samples[0]
    double sps = 0.0;
    std::vector<float> samples;
};

struct KVR_CHANNEL_DAY {
    std::string station, channel, location;  // as the first row spelt them; "??" for none
    double dayStart = 0.0;                   // 00:00:00 UTC of the day
    std::vector<KVR_DAY_SEGMENT> segments;   // in time order
    std::vector<std::string> unread;         // "CPATH: reason" of files that could not be read
};

// 00:00:00 UTC of the day that holds t.
double kvrDayStart(double t);

// Reads the samples of station, channel and location (codes ignoring case; location none for
// "", blanks or "??") that lie in the day from dayStart, from every row of any creater, each
// file measured by its true length and read whole. The rows' rate must be positive. True with
// *day set (no segment when the day holds no sample); false with *error when the catalogue cannot
// be read. A file that cannot be read is listed in day->unread and left out.
bool kvrReadChannelDay(KvrConnection& db, const std::string& dataDirectory,
                       const std::string& station, const std::string& channel,
                       const std::string& location, double dayStart, KVR_CHANNEL_DAY* day,
                       std::string* error);
