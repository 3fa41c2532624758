// isicat: an operator's command-line client of an ISI server, on the protocol client library.
// The commands are functions writing to a stream, so tests run them in-process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "isi/isi.h"

// HOST or HOST:PORT (default port 39136). False when the port is no number in 1..65535.
bool isicatParseServer(const std::string& text, std::string* host, int* port);

// A time argument: epoch seconds, "YYYY:DDD-HH:MM:SS[.mmm]" (UTC), "now", "now-SECONDS", or the
// request markers "beg", "end", "forever" (-2, -3, -4). False when the text is none of these.
bool isicatParseTime(const std::string& text, double now, double* time);

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

// The commands. Each returns the exit status: 0 done, 1 failed connect or request (the error
// text on err). params carries the port, options, debug flag and log handle.
int isicatCnf(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err);
int isicatSoh(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err);
int isicatData(const std::string& host, const ISI_OPEN_PARAMS& params, const ISICAT_DATA_ARGS& args,
               FILE* out, FILE* err);
