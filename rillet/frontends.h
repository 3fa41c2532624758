// The two front ends of the recorder, both thin layers over CRecorderSession. Each runs the
// start-up, records until a stop signal (or, in the window, a command) and ends the orderly way.
#pragma once

#include <string>

// Records without a window: status texts on standard output, start-up failures on standard
// error. Returns the exit status: 0 after an orderly stop, else a start-up failure's (startup.h).
// metricsFile, when not empty, replaces the settings' METRICS.
int RunHeadless(bool verbose, const std::string& metricsFile);

// Opens the main window and records until the program is ended. Returns the exit status: 0, a
// start-up failure's, or kExitUsage (2) when there is no display, or when this build of the
// program has no window (built without Qt 6 Widgets).
int RunWindow(char* programName, const std::string& metricsFile);
