// kvrdb availability: which channels a stream pattern names, the spans from the rows or from the
// files' true lengths, and the report as text, CSV or JSON. The computation is availability.h's;
// this file is the command's own logic, free of any window system.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "kvr/availability.h"

// A stream pattern: STA.CHN or STA.CHN.LOC, "*" for any run of characters and "?" for any one,
// letters ignoring case. Without a location part every location matches; "--" is the location
// that means none.
struct KVR_STREAM_PATTERN {
    std::string text;  // as given
    std::string station, channel, location;
    bool anyLocation = false;
    bool noLocation = false;
    size_t matched = 0;  // channels it named, after kvrReadAvailabilityReport
};

// Parses one pattern. False with *why ("STA.CHN[.LOC] expected") when it has not two or three
// non-empty parts.
bool kvrParseStreamPattern(const std::string& text, KVR_STREAM_PATTERN* pattern, std::string* why);
// True when the pattern names the channel (location as stored: "??" for none).
bool kvrStreamPatternMatches(const KVR_STREAM_PATTERN& pattern, std::string_view station,
                             std::string_view channel, std::string_view location);

struct KVR_AVAILABILITY_REQUEST {
    KVR_AVAILABILITY_QUERY query;
    std::vector<KVR_STREAM_PATTERN> patterns;  // none: every channel
    double begin = 0.0;                        // 0: from the rows
    double end = 0.0;
    double tolerance = -1.0;  // < 0: half a sample interval
    // Spans from the files' true lengths under this data directory (--verify) instead of TQTY.
    bool verify = false;
    std::string dataDirectory;
};

// The report: the availability, and for --verify a line per row whose file disagrees with it.
struct KVR_AVAILABILITY_REPORT {
    KVR_AVAILABILITY availability;
    std::vector<KVR_ROW_PROBLEM> disagreements;  // what: "the row says ..., its file holds ..."
};

// Reads the catalogue for the request and finishes the availability; the patterns' matched
// counts are set. Returns the select's result (the report holds what was read before a failure).
KVR_SQL_RESULT kvrReadAvailabilityReport(KvrConnection& db, KVR_AVAILABILITY_REQUEST* request,
                                         KVR_AVAILABILITY_REPORT* report);

enum class KvrReportFormat { Text, Csv, Json };

// Writes the report: per channel the station, channel, location ("--" for none in text and CSV,
// "" in JSON), sample rate, earliest and latest sample time (ISO 8601 UTC, microseconds), the
// number of spans and the percent of the window they cover; with gaps, every gap and overlap
// with its start, end and length; then a line per row that could not count and per row that
// disagrees with its file. Codes are escaped as every printed code is.
void kvrWriteAvailabilityReport(std::FILE* out, const KVR_AVAILABILITY_REQUEST& request,
                                const KVR_AVAILABILITY_REPORT& report, KvrReportFormat format,
                                bool gaps);

// "YYYY-MM-DDTHH:MM:SS.ffffffZ" of epoch seconds.
std::string kvrIsoTime(double t);
