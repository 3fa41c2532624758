// The UTC clock, sleeping, calendar breakdowns and process facts.
#include "platform/clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <thread>

double platNow() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return double(ms) / 1000.0;
}

double platNowCoarse() {
#if defined(CLOCK_REALTIME_COARSE)
    // Read from the kernel's last tick without touching the clock hardware: about a tenth of
    // a precise reading on a virtual machine.
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) == 0)
        return double(ts.tv_sec) + double(ts.tv_nsec / 1000000) / 1000.0;
#endif
    return platNow();
}

int64_t platMonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void platSleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Like the Windows C library, times before 1970 have no calendar breakdown: callers rely on
// the failure to print their blank forms. The breakdown is done here, in 64 bits, rather than
// by the C library, whose time_t is 32 bits on some targets (and ends in 2038 there).
bool platGmTime(int64_t seconds, struct tm* out) {
    using namespace std::chrono;
    // The calendar's range ends with the last day of year::max() (32767).
    constexpr int64_t kLastDay = sys_days{year::max() / December / 31}.time_since_epoch().count();
    if (out == nullptr || seconds < 0 || seconds / 86400 > kLastDay) return false;
    const sys_days day{days{seconds / 86400}};
    const int64_t ofDay = seconds % 86400;
    const year_month_day date{day};
    const sys_days newYear{date.year() / January / 1};
    *out = tm{};
    out->tm_year = int(date.year()) - 1900;
    out->tm_mon = int(unsigned(date.month())) - 1;
    out->tm_mday = int(unsigned(date.day()));
    out->tm_hour = int(ofDay / 3600);
    out->tm_min = int(ofDay / 60 % 60);
    out->tm_sec = int(ofDay % 60);
    out->tm_wday = int(weekday{day}.c_encoding());
    out->tm_yday = int((day - newYear).count());
    return true;
}

bool platLocalTime(int64_t seconds, struct tm* out) {
    if (out == nullptr || seconds < 0) return false;
    time_t t = time_t(seconds);
#ifdef _WIN32
    return localtime_s(out, &t) == 0;
#else
    return localtime_r(&t, out) != nullptr;
#endif
}

std::string platLocalTimeText(const char* format) {
    struct tm tm {};
    if (format == nullptr || !platLocalTime(int64_t(time(nullptr)), &tm)) return std::string();
    char text[256];
    size_t len = strftime(text, sizeof text, format, &tm);
    return std::string(text, len);
}

#ifdef _WIN32

uint32_t platProcessId() {
    return uint32_t(GetCurrentProcessId());
}

uint32_t platThreadId() {
    return uint32_t(GetCurrentThreadId());
}

std::string platHostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return std::string();
    return std::string(name, size);
}

void platSetThreadLowestPriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

#else

uint32_t platProcessId() {
    return uint32_t(getpid());
}

uint32_t platThreadId() {
    return uint32_t(syscall(SYS_gettid));
}

std::string platHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

void platSetThreadLowestPriority() {
    // On this host a thread's nice value is its own; 19 is the lowest priority.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 19);
}

#endif
