// util: time values and their text forms, calendar conversions, byte order and big-endian
// packing, bounded copies, field splitting, a linked list, the hex dump and the socket start.
//
// A time is a double of seconds since 1970-01-01 00:00:00 UTC with fractions; no leap seconds.
// The values -1.0, -2.0, -3.0 and -4.0 are request markers (undefined, beginning of the disk
// loop, end of the disk loop, forever).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/net.h"

typedef double REAL64;
typedef float REAL32;

inline constexpr double UTIL_TIME_UNDEFINED = -1.0;
inline constexpr double UTIL_TIME_BEG_OF_LOOP = -2.0;
inline constexpr double UTIL_TIME_END_OF_LOOP = -3.0;
inline constexpr double UTIL_TIME_FOREVER = -4.0;

// True for the four request markers above (exactly -1.0 to -4.0); any other value, negative or
// not, is a moment.
inline bool utilIsTimeMarker(double t) {
    return t == UTIL_TIME_UNDEFINED || t == UTIL_TIME_BEG_OF_LOOP || t == UTIL_TIME_END_OF_LOOP ||
           t == UTIL_TIME_FOREVER;
}

// Format codes of 1000 and more take the time from 1999-01-01 00:00:00 UTC.
inline constexpr double UTIL_1999_EPOCH_OFFSET = 915148800.0;
inline constexpr int UTIL_TIMESTRING_STATIC_LEN = 42;

// The calendar covers the years 1 to 9999 (proleptic Gregorian): times from 0001-01-01 00:00:00
// up to, not including, 10000-01-01 00:00:00. Beyond it (and for NaN or infinities) the
// conversions give a documented "no date" result instead of a year: a time from a peer may be
// anything.
inline constexpr double UTIL_TIME_FIRST_DATE = -62135596800.0;
inline constexpr double UTIL_TIME_END_DATE = 253402300800.0;
inline constexpr int UTIL_SHORT_TIMESTRING_LEN = 26;

struct UTIL_TSPLIT {
    REAL64 time;
    int32_t yyyyddd;  // year * 1000 + day of year
    int32_t year;
    int32_t month;  // 1..12
    char mname[4];  // "Jan".."Dec"
    int32_t mday;
    int32_t yday;  // from 1
    int32_t hour;
    int32_t minute;
    REAL32 second;  // with fraction
};

// ---- time ---------------------------------------------------------------------------------
bool utilIsLeapYear(int year);
// Counts backwards before 1970. Outside years 1..9999, NaN or infinite: the record keeps the time
// and has no date (all other fields 0, month name "   ").
void utilTimeSplit(REAL64 time, UTIL_TSPLIT* out);
// Text of time in format code (0..15, or 1000..1015 for the 1999 epoch). With no buffer the
// text goes into one static buffer of 42 characters. The buffer must hold the longest form.
// A time with no printable date gives the code's blanks (an empty text for codes 14 and 15):
// before 1970, from 10000-01-01 on once rounded to the millisecond, NaN or infinite.
char* utilTimeString(REAL64 time, int code, char* buf);
// The recorder's short form: always the one static buffer of 26 characters.
char* utilLttostr(REAL64 time, int code);
// The display program's older formatter (one static buffer of 26 characters); the same range as
// utilTimeString, blanks outside it.
char* util_dttostr(REAL64 time, int code);

// Any int year gives a finite time (proleptic Gregorian); day 0 counts as 1.
REAL64 utilYdhmsmToTime(int year, int yday, int hour, int minute, int second, int msec);
REAL64 utilYdToTime(int32_t yyyyddd);
void utilYdayToMonthDay(int year, int yday, int* month, int* mday);
int utilMonthDayToYday(int year, int month, int mday);
// Outside years 1..9999 (after the millisecond carry), NaN or infinite: every field 0.
void utilTimeToYdhmsm(REAL64 time, int* year, int* yday, int* hour, int* minute, int* second,
                      int* msec);
// Thread-safe calendar breakdown of whole seconds (UTC). False before the calendar can tell.
bool utilGmtime(int64_t seconds, struct tm* out);
// Parses "YYYY:DDD-HH:MM:SS[.mmm]", "YYYY:DDD-HH:MM", "YYYY:DDD", or plain epoch seconds.
// Returns -1.0 (undefined) when the text is none of these.
REAL64 utilAttodt(const char* text);
// The time texts of every program where a time is typed: epoch seconds (a decimal number,
// negative before 1970), "YYYY:DDD-HH:MM:SS[.mmm]" in full, ISO 8601 UTC
// "YYYY-MM-DDTHH:MM:SS[.fff][Z]", "now", "now-SECONDS" and "now+SECONDS" (now is the caller's
// clock). Any time of the calendar's years 1 to 9999 is taken, except the four request markers
// -1.0 to -4.0 (the last seconds of 1969), which a server would read as markers. True with *t
// set; false, *t untouched, for anything else.
bool utilParseTime(const char* text, double now, double* t);
// The forms utilParseTime accepts, for error messages.
inline constexpr const char* UTIL_TIME_FORMS =
    "epoch seconds (1796724000, -181882115), YYYY:DDD-HH:MM:SS[.mmm] (2026:342-10:00:00), "
    "ISO 8601 UTC (2026-12-08T10:00:00Z), now, now-SECONDS, now+SECONDS";

// ---- byte order and packing ----------------------------------------------------------------
void utilSwap16(uint16_t* array, long count);
void utilSwap32(uint32_t* array, long count);
void utilSwap64(uint64_t* array, long count);

// Each returns the number of bytes produced or consumed. Multi-byte values are big-endian.
int utilPackUINT16(uint8_t* out, uint16_t value);
int utilPackUINT32(uint8_t* out, uint32_t value);
int utilPackINT16(uint8_t* out, int16_t value);
int utilPackINT32(uint8_t* out, int32_t value);
int utilPackUINT64(uint8_t* out, uint64_t value);
int utilPackREAL32(uint8_t* out, REAL32 value);
int utilPackREAL64(uint8_t* out, REAL64 value);
int utilPackBytes(uint8_t* out, const uint8_t* in, int len);
int utilUnpackUINT16(const uint8_t* in, uint16_t* value);
int utilUnpackUINT32(const uint8_t* in, uint32_t* value);
int utilUnpackINT16(const uint8_t* in, int16_t* value);
int utilUnpackINT32(const uint8_t* in, int32_t* value);
int utilUnpackUINT64(const uint8_t* in, uint64_t* value);
int utilUnpackREAL32(const uint8_t* in, REAL32* value);
int utilUnpackREAL64(const uint8_t* in, REAL64* value);
// Copies len raw bytes; adds no terminator.
int utilUnpackBytes(const uint8_t* in, uint8_t* out, int len);

// ---- strings -------------------------------------------------------------------------------
// Copies src when shorter than size, else its first size-1 characters and a terminator.
// Returns dest, or nullptr when a pointer is none or size is 0.
char* utilCopyBounded(char* dest, const char* src, size_t size);
// Splits text in place at runs of separator characters into at most maxfield fields.
// Returns the count (0 for empty text), or -1 with WSAEINVAL when maxfield < 1.
int utilSplitFields(char* text, char** fields, int maxfield, const char* separators, char quote);
// Copies text for a terminal or a log line, with every byte that could forge a line or steer a
// terminal written visibly: "\\n", "\\r", "\\t", "\\\\" for a backslash and "\\xHH" for any other
// byte below 0x20, 0x7f and above. Printable ASCII stands as it is. The copy is cut (whole escapes
// only) to fit size and always terminated. Returns dest, or nullptr when a pointer is none or
// size is 0. Use it for every name that came from a server or a file before it is printed.
char* utilPrintable(char* dest, const char* text, size_t size);
// utilPrintable of a whole text, never cut.
inline std::string utilPrintableString(std::string_view text) {
    // Most texts need no escape: they are copied as they are.
    bool plainOnly = true;
    for (unsigned char c : text) plainOnly = plainOnly && c >= 0x20 && c < 0x7f && c != '\\';
    if (plainOnly) return std::string(text);
    std::string plain(text);
    std::string out(plain.size() * 4 + 1, '\0');
    utilPrintable(out.data(), plain.c_str(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

// True when text matches pattern, where "*" stands for any run of characters (none included)
// and "?" for any one, and letters compare without regard to case (as stream names do).
bool utilWildcardMatch(const char* pattern, const char* text);

// ---- list ----------------------------------------------------------------------------------
struct UTIL_LIST_NODE {
    UTIL_LIST_NODE* next;
    UTIL_LIST_NODE* prev;
    void* data;  // own copy
    size_t length;
};

struct UTIL_LIST {
    UTIL_LIST_NODE head;  // sentinel
    long count;
    void** array;    // view of the node data, built on demand
    bool allocated;  // the list record itself was allocated by utilCreateList
};

// Creates a list (allocating the record when list is none). Returns the list or nullptr.
UTIL_LIST* utilCreateList(UTIL_LIST* list);
// Appends a copy of length bytes; appending 0 bytes does nothing and succeeds.
bool utilAppendEntry(UTIL_LIST* list, const void* data, size_t length);
UTIL_LIST_NODE* utilFirstNode(UTIL_LIST* list);
UTIL_LIST_NODE* utilNextNode(UTIL_LIST* list, UTIL_LIST_NODE* node);  // nullptr after the last
bool utilRemoveNode(UTIL_LIST* list, UTIL_LIST_NODE* node);
// Builds (or rebuilds) the array view; false when memory runs out.
bool utilArrayifyList(UTIL_LIST* list);
void utilDestroyList(UTIL_LIST* list);
// The fields of text as separate strings.
UTIL_LIST* utilTokenList(const char* text, const char* separators, char quote);

// ---- other ---------------------------------------------------------------------------------
bool utilNetworkInit();
void utilSleep(uint32_t milliseconds);
// 16 bytes a line: "%08x" offset, " %02x" per byte, " | ", printable 7-bit bytes or ".".
void utilHexDump(FILE* fp, const uint8_t* bytes, long length);
// Fills address from host (none means any address) and port. False with ENOENT (2) when the
// name cannot be resolved either as a host name or as a dotted address.
bool utilSetHostAddr(PLAT_INADDR* address, const char* host, int port);
