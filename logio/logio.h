// logio: every message of the library goes through logioMsg with a handle and a syslog level.
#pragma once

#include <cstdarg>
#include <mutex>

// Format checking of the printf-style functions. Windows builds format with mingw's C99 printf
// (which knows %zu and %lld), so they are checked against that, not the system's.
#ifdef __MINGW32__
#define LOGIO_PRINTF_FORMAT(string, first) __attribute__((format(gnu_printf, string, first)))
#else
#define LOGIO_PRINTF_FORMAT(string, first) __attribute__((format(printf, string, first)))
#endif

inline constexpr int LOG_EMERG = 0;
inline constexpr int LOG_ALERT = 1;
inline constexpr int LOG_CRIT = 2;
inline constexpr int LOG_ERR = 3;
inline constexpr int LOG_WARNING = 4;
inline constexpr int LOG_NOTICE = 5;
inline constexpr int LOG_INFO = 6;
inline constexpr int LOG_DEBUG = 7;

inline constexpr int LOGIO_MAX_MSG_LEN = 1024;
inline constexpr int LOGIO_DEFAULT_THRESHOLD = LOG_INFO;

// A program's own sink for finished message texts (no time, no tag).
typedef void (*LOGIO_FUNC)(const char* message);

struct LOGIO {
    std::mutex mutex;
    int suspended = 0;          // lines are built but not written
    LOGIO_FUNC func = nullptr;  // callback, or none
    char dest[256] = {};        // "-", "stdout", "stderr" or a file path
    char prefix[256] = {};      // empty unless a program sets one
    char ident[256] = {};
    char msgbuf[LOGIO_MAX_MSG_LEN + 1] = {};
    char tfmt[32] = {};  // "%Y:%j-%H:%M:%S"
    char mode[8] = {};   // "a+"
    char hostname[128] = {};
    int threshold = LOGIO_DEFAULT_THRESHOLD;
};

// Initialises a handle. Destination and callback are exclusive (WSAEINVAL when both are given);
// neither means "-" (standard output). Returns false on failure with the error variable set.
bool logioInit(LOGIO* lp, const char* dest, LOGIO_FUNC func, const char* ident);

// Sets the threshold (0..7) and returns it; -1 with WSAEINVAL for a bad level or no handle.
int logioSetThreshold(LOGIO* lp, int level);
// The threshold, or -1 for no handle.
int logioGetThreshold(LOGIO* lp);

// Sets the text placed before every message (empty for none).
void logioSetPrefix(LOGIO* lp, const char* prefix);
// While suspended, lines are built but not written.
void logioSetSuspended(LOGIO* lp, bool suspended);

// Writes one line when level <= threshold. No handle means the default handle: standard
// output, ident "logioMsg", threshold 6.
void logioMsg(LOGIO* lp, int level, const char* format, ...) LOGIO_PRINTF_FORMAT(3, 4);
void logioVMsg(LOGIO* lp, int level, const char* format, va_list ap);

// Level names: "EMERG".."DEBUG" and "LOG_EMERG".."LOG_DEBUG"; nullptr outside 0..7.
const char* logioLevelName(int level);
const char* logioLevelLongName(int level);
