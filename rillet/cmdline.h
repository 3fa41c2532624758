// The recorder's command line. It is parsed here rather than with the command-line library the
// other programs use: that library formats through the C++ streams, and linking them (with the
// locale machinery they start) costs an unattended recorder about 0.8 MB of resident memory.
// The behaviour is the one every program shares: "--help" and "--version" answer on standard
// output and exit 0; a usage error prints its cause and the usage on standard error and exits
// kExitUsage.
#pragma once

#include <cstdio>
#include <string>

// What the command line asks for.
struct RilletCommandLine {
    bool headless = false;  // --headless: record without a window
    bool verbose = false;   // --verbose: a status line per packet (with --headless)
    bool status = false;    // --status: report how far the folder's recorder has got, and exit
    double maxLag = 0;   // --max-lag: seconds a channel may lag (with --status); else the default
    std::string folder;  // -C: change into this folder first; empty: stay
    std::string metrics;  // --metrics: the metrics file (relative to the folder); empty: none
};

// Parses argv (argv[0] is the program's name as invoked). Returns -1 when the program should go
// on, with *line set; else the status to exit with: 0 after "-h"/"--help" (the usage printed on
// out) or "--version" ("NAME VERSION" printed on out), kExitUsage after a
// usage error (an unknown option or argument, a missing or malformed value, an option without
// the one it needs or with one it excludes; "PROGRAM: CAUSE" and the usage printed on err).
// Options may come in any order; a value follows its option as the next argument, or after "="
// ("--max-lag=60"), or attached to "-C" ("-C/srv/rec"). *line is left as it was unless -1 is
// returned. name and version make the "--version" line: the program's name as installed
// ("rillet", "rillet-headless") and the project's version.
int rilletParseCommandLine(int argc, const char* const* argv, const char* name, const char* version,
                           RilletCommandLine* line, FILE* out, FILE* err);
