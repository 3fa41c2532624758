// The UTC clock, sleeping, the calendar breakdown and process facts.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Seconds since 1970-01-01 00:00:00 UTC, to the millisecond.
double platNow();

// The same clock read cheaply, to within the system's tick (a few milliseconds): for times that
// are kept often and rarely looked at (the time of the last read of a connection, pacing once a
// second). Never more than one tick behind platNow.
double platNowCoarse();

void platSleepMs(uint32_t milliseconds);

// Milliseconds of a clock that only moves forwards (not the UTC clock, which may be set back):
// for deadlines and measured durations. Its zero is arbitrary.
int64_t platMonotonicMs();

// Thread-safe breakdown of whole seconds into UTC (or local) calendar fields. False when the time
// cannot be broken down.
bool platGmTime(int64_t seconds, struct tm* out);
bool platLocalTime(int64_t seconds, struct tm* out);

// The local time now formatted with strftime's format.
std::string platLocalTimeText(const char* format);

uint32_t platProcessId();
uint32_t platThreadId();
std::string platHostName();

// Lowers the calling thread's scheduling priority to the lowest the host allows.
void platSetThreadLowestPriority();
