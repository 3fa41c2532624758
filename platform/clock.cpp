// The UTC clock, sleeping, calendar breakdowns and process facts.
#include "platform/clock.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

double platNow() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return double(ms) / 1000.0;
}

void platSleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Like the Windows C library, times before 1970 have no calendar breakdown: callers rely on
// the failure to print their blank forms.
bool platGmTime(int64_t seconds, struct tm* out) {
    if (out == nullptr || seconds < 0) return false;
    time_t t = time_t(seconds);
    return gmtime_r(&t, out) != nullptr;
}

bool platLocalTime(int64_t seconds, struct tm* out) {
    if (out == nullptr || seconds < 0) return false;
    time_t t = time_t(seconds);
    return localtime_r(&t, out) != nullptr;
}

std::string platLocalTimeText(const char* format) {
    struct tm tm {};
    time_t now = time(nullptr);
    if (format == nullptr || localtime_r(&now, &tm) == nullptr) return std::string();
    char text[256];
    size_t len = strftime(text, sizeof text, format, &tm);
    return std::string(text, len);
}

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
