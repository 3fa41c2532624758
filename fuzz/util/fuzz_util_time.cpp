// The time parser: any text is a time or refused, never a crash; a time it takes is a moment of
// the calendar (no marker), printed and read back to the same millisecond.
#include <cmath>
#include <cstdint>
#include <string>

#include "util/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    constexpr double kNow = 1765188000.0;
    double t = 0.0;
    if (!utilParseTime(text.c_str(), kNow, &t)) return 0;
    if (!std::isfinite(t) || utilIsTimeMarker(t) || t < UTIL_TIME_FIRST_DATE ||
        t >= UTIL_TIME_END_DATE)
        __builtin_trap();
    // Code 0 gives the year-day form with milliseconds for any time at or after 1970.
    char printed[UTIL_TIMESTRING_STATIC_LEN];
    utilTimeString(t, 0, printed);
    double back = 0.0;
    if (t >= 0.0 && t < 4102444800.0 && utilParseTime(printed, kNow, &back) &&
        std::fabs(back - t) > 0.0006)
        __builtin_trap();
    return 0;
}
