// isicat: an operator's command-line client of an ISI server, on the protocol client library.
// The commands are functions writing to a stream, so tests run them in-process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "isi/isi.h"

// HOST or HOST:PORT (default port 39136). False when the port is no number in 1..65535.
bool isicatParseServer(const std::string& text, std::string* host, int* port);

// Exit statuses of the commands.
inline constexpr int kIsicatDone = 0;
inline constexpr int kIsicatFailed = 1;         // failed connect or request
inline constexpr int kIsicatUsage = 2;          // bad server, time, specifier or window
inline constexpr int kIsicatUnknownStream = 3;  // a specifier piece no stream of the server matches
inline constexpr int kIsicatStoppedBase = 128;  // + the stop signal

// A time argument: any form utilParseTime takes, or the request markers "beg", "end", "forever"
// (-2, -3, -4). False when the text is none of these.
bool isicatParseTime(const std::string& text, double now, double* time);
// False for a window whose begin lies after its end (markers are always possible).
bool isicatWindowIsPossible(double begin, double end);
// The pieces of a specifier ("STA.CHN[.LOC]" joined by "+", "*" and "?" as wildcards) that match
// no stream of the configuration list, codes compared without regard to case.
std::vector<std::string> isicatUnknownStreams(const std::string& specifier,
                                              const ISI_CNF_LIST& list);

// "--" for a blank location, else the location itself.
std::string isicatLocationText(const char* loc);

// One output line each (with the newline), tab-separated.
std::string isicatCnfLine(const ISI_STREAM_CNF& cnf);
std::string isicatSohLine(const ISI_STREAM_SOH& soh);
std::string isicatPacketLine(const ISI_TS_PACKET& packet, bool withSamples);

struct ISICAT_DATA_ARGS {
    std::string specifier;
    double begin = UTIL_TIME_END_OF_LOOP;
    double end = UTIL_TIME_FOREVER;
    uint32_t compress = ISI_COMP_IDA;
    uint32_t policy = ISI_REQUEST_POLICY_MIN_GAP;
    bool samples = false;
    long count = 0;  // stop after this many packets; 0: at request complete only
};

// The commands. Each returns the exit status (kIsicat*), with the cause of a failure in words on
// err. params carries the port, options, debug flag and log handle; a cancel flag in its options
// (the stop signal's, platStopSignalFlag) ends any wait for the server within a fraction of a
// second, and the command then returns kIsicatStoppedBase plus the flag's value.
// data first checks the window, the specifier (isiParseStreamNames) and that every name matches a
// stream of the server. It prints every packet; a packet the library refuses is counted and its
// cause said once. It fails (1) when the connection is lost for good, or when packets were refused
// and none was printed.
int isicatCnf(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err);
int isicatSoh(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err);
int isicatData(const std::string& host, const ISI_OPEN_PARAMS& params, const ISICAT_DATA_ARGS& args,
               FILE* out, FILE* err);
