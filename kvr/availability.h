// What the archive holds: the continuous spans of each channel, read from the catalogue's rows
// (or from the files' true lengths), the gaps and overlaps between them, and how much of a
// window they cover. kvrdb availability reports it, Gleaner's fetch asks the server only for
// what is missing, and the recorder's status counts the gaps of its disk loops.
//
// A channel is a station, channel code, location and sample rate: two rates of one code are two
// series whose samples do not line up. Codes are compared ignoring letter case; the catalogue's
// "??" means no location.
//
// A row covers [TBEGIN, TBEGIN + TQTY): its samples and one interval after the last. Rows are
// taken in start order; a row that begins within the tolerance of the end of what came before
// continues the span (a gap of exactly the tolerance is no gap), one that begins later opens a
// new span after a gap, one that begins more than the tolerance before that end overlaps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kvr/catalog.h"

// A stretch of time, [start, end), epoch seconds.
struct KVR_SPAN {
    double start = 0.0;
    double end = 0.0;
    double length() const { return end - start; }
};

// A gap: [start, end) holds no sample of the channel. bounded is set when data lie on both sides
// of it (unclipped); a gap at the window's edge has data on one side only.
struct KVR_GAP {
    double start = 0.0;
    double end = 0.0;
    bool bounded = true;
    double length() const { return end - start; }
};

// One channel's availability within a window, after kvrAvailabilityFinish.
struct KVR_CHANNEL_AVAILABILITY {
    std::string station;  // as the first row spelt it
    std::string channel;
    std::string location;  // "??" for none
    double sps = 0.0;
    size_t rows = 0;                 // rows that counted
    std::vector<KVR_SPAN> spans;     // merged, in time order, clipped to the window
    std::vector<KVR_GAP> gaps;       // stretches of the window without data, over the tolerance
    std::vector<KVR_SPAN> overlaps;  // stretches more than one row covers, clipped to the window
    double earliest = 0.0;           // first span's start, last span's end (0 when no span)
    double latest = 0.0;
    double coverage = 0.0;  // percent of the window the spans cover

    // The rows' stretches while rows are added; kvrAvailabilityFinish turns them into spans.
    std::vector<KVR_SPAN> pending;
};

// A row that cannot count, with the reason ("TQTY is 0", "SPS is NULL").
struct KVR_ROW_PROBLEM {
    std::string station, channel, location, cpath;
    std::string what;
};

// One FILELIST row as availability reads it. The has* flags are false for NULL values.
struct KVR_AVAILABILITY_ROW {
    std::string_view station, channel, location, cpath, creater;
    double tbegin = 0.0, tqty = 0.0, sps = 0.0;
    bool hasTbegin = true, hasTqty = true, hasSps = true;
};

// The rows of many channels, gathered row by row and then finished in one step.
struct KVR_AVAILABILITY {
    std::vector<KVR_CHANNEL_AVAILABILITY> channels;  // sorted by code and rate once finished
    std::vector<KVR_ROW_PROBLEM> problems;
    double begin = 0.0;  // the window the report is of, set by kvrAvailabilityFinish
    double end = 0.0;

    // kvrAvailabilityAddRow's own: every channel by its key, and the last row's channel.
    std::unordered_map<std::string, size_t> index;
    std::string lastKey;
    size_t lastChannel = 0;
};

// The seconds within which two rows join: half a sample interval of the channel's rate, unless
// tolerance is given (>= 0).
double kvrAvailabilityTolerance(double sps, double tolerance);

// Adds one row. A row whose TBEGIN is NULL or not finite, whose TQTY is NULL, 0 or less, or whose
// SPS is NULL, 0 or less is not counted: it goes into problems with the reason.
void kvrAvailabilityAddRow(KVR_AVAILABILITY* a, const KVR_AVAILABILITY_ROW& row);

// Merges every channel's rows into spans and finds gaps, overlaps and coverage within the window
// [begin, end). A bound that is 0 is taken from the rows: the earliest start or the latest end
// of all channels. tolerance < 0 means half a sample interval of each channel. Channels with no
// row inside the window are dropped. Sorts the channels by station, channel, location and rate.
void kvrAvailabilityFinish(KVR_AVAILABILITY* a, double begin, double end, double tolerance);

// The merge of one channel's stretches (any order) with the tolerance: spans, and the overlaps
// between rows. Not clipped to any window.
void kvrMergeSpans(std::vector<KVR_SPAN> rows, double tolerance, std::vector<KVR_SPAN>* spans,
                   std::vector<KVR_SPAN>* overlaps);

// The stretches of [begin, end) that no span covers. A stretch between two spans counts when it
// is longer than tolerance; one at the window's edge (data on one side only, or none) when it is
// at least edge long. spans must be merged (kvrMergeSpans) and in time order.
std::vector<KVR_GAP> kvrUncovered(const std::vector<KVR_SPAN>& spans, double begin, double end,
                                  double tolerance, double edge);

// What a request for the window [begin, end] (sample times, both included) still has to ask for,
// given the spans stored (merged, in time order) of a channel sampled every interval seconds:
// each stretch as a request window [start, end] whose first and last sample are missing ones
// (the bounds lie half an interval inside the stretch, so a server that takes "at or after" and
// "at or before" sends exactly those). A hole between spans counts when it is longer than half
// an interval; a stretch at the window's edge when a whole interval is missing there.
std::vector<KVR_SPAN> kvrMissingParts(const std::vector<KVR_SPAN>& spans, double begin, double end,
                                      double interval);

// Joins neighbouring parts (in time order) across the shortest stretches between them until at
// most `most` are left (at least one), so that the number of requests stays bounded; a joined
// part asks again for the stored samples between its pieces.
void kvrJoinParts(std::vector<KVR_SPAN>* parts, size_t most);

// ---- reading the catalogue ----------------------------------------------------------------

enum class KvrCreaterFilter { All, Recorder, Retrieval };

// Which rows to read: those of the creater (all creaters by default), and of one station (exact
// code) when station is not empty.
struct KVR_AVAILABILITY_QUERY {
    KvrCreaterFilter creater = KvrCreaterFilter::All;
    std::string station;
    // Every row's CPATH (to measure its file); without it only rows that cannot count have one.
    bool withPaths = false;
    // In the catalogue's listing order (station, start, path) instead of storage order.
    bool ordered = false;
};

// The select kvrReadAvailabilityRows runs, for a reader who wants to see its plan.
std::string kvrAvailabilitySelect(const KVR_AVAILABILITY_QUERY& query);

// Reads the FILELIST rows of the query in one pass, in storage order unless ordered (availability
// needs no sort in the engine: each channel's rows are put in order when finished), and hands
// each to visit; a row's texts are valid during the call only. kvrdb files lists through it too.
// Returns the select's result; on failure the rows before it have been visited.
KVR_SQL_RESULT kvrReadAvailabilityRows(
    KvrConnection& db, const KVR_AVAILABILITY_QUERY& query,
    const std::function<void(const KVR_AVAILABILITY_ROW&)>& visit);

// The gaps between the recorder's rows of one channel (its disk loop) within [begin, end): how
// many, and their length in all as far as they fall in the window. The time before the
// channel's first row and after its last is no gap (the loop had not begun; the newest samples
// are still to be written). Rows of the window and of one window's length before it are read,
// through the loop's index (CREATER, STA, TBEGIN). Codes are the stored ones (kvrSitechanKey).
struct KVR_GAP_TOTAL {
    size_t count = 0;
    double seconds = 0.0;
};
KVR_SQL_RESULT kvrLoopGaps(KvrConnection& db, std::string_view station, std::string_view channel,
                           std::string_view location, double begin, double end,
                           KVR_GAP_TOTAL* total);
