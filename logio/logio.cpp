// logio: log handles and logioMsg.
#include "logio/logio.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr const char* kTimeFormat = "%Y:%j-%H:%M:%S";
constexpr const char* kFileMode = "a+";
constexpr const char* kDefaultIdent = "logioMsg";
// The tag (prefix, ident and "[pid:tid]") is cut to this many characters.
constexpr size_t kMaxTagLen = 577;

constexpr const char* kLevelNames[] = {"EMERG",   "ALERT",  "CRIT", "ERR",
                                       "WARNING", "NOTICE", "INFO", "DEBUG"};
constexpr const char* kLevelLongNames[] = {"LOG_EMERG",   "LOG_ALERT",  "LOG_CRIT", "LOG_ERR",
                                           "LOG_WARNING", "LOG_NOTICE", "LOG_INFO", "LOG_DEBUG"};

bool isLevel(int level) {
    return level >= LOG_EMERG && level <= LOG_DEBUG;
}

bool startsWithNoCase(const char* text, const char* start) {
    return strncasecmp(text, start, std::strlen(start)) == 0;
}

bool isStdout(const char* dest) {
    return std::strcmp(dest, "-") == 0 || strcasecmp(dest, "stdout") == 0;
}

bool isStderr(const char* dest) {
    return strcasecmp(dest, "stderr") == 0;
}

// The fields every handle starts with.
void resetHandle(LOGIO* lp) {
    lp->suspended = 0;
    lp->func = nullptr;
    lp->dest[0] = '\0';
    lp->prefix[0] = '\0';
    lp->ident[0] = '\0';
    lp->msgbuf[0] = '\0';
    utilCopyBounded(lp->tfmt, kTimeFormat, sizeof lp->tfmt);
    utilCopyBounded(lp->mode, kFileMode, sizeof lp->mode);
    utilCopyBounded(lp->hostname, platHostName().c_str(), sizeof lp->hostname);
    lp->threshold = LOGIO_DEFAULT_THRESHOLD;
}

// Messages of callers that pass no handle: standard output, ident "logioMsg", threshold 6.
LOGIO* defaultHandle() {
    static LOGIO* handle = [] {
        auto* lp = new LOGIO;
        resetHandle(lp);
        utilCopyBounded(lp->dest, "-", sizeof lp->dest);
        utilCopyBounded(lp->ident, kDefaultIdent, sizeof lp->ident);
        return lp;
    }();
    return handle;
}

// Writes one finished line; called with the handle's mutex held.
void writeLine(LOGIO* lp) {
    std::string tag;
    if (lp->prefix[0] != '\0') {
        tag += lp->prefix;
        tag += ' ';
    }
    tag += lp->ident;
    char ids[48];
    std::snprintf(ids, sizeof ids, "[%d:%u]", int(platProcessId()), platThreadId());
    tag += ids;
    if (tag.size() > kMaxTagLen) tag.resize(kMaxTagLen);
    if (lp->suspended) return;

    FILE* fp = nullptr;
    bool own = false;
    if (isStdout(lp->dest)) {
        fp = stdout;
    } else if (isStderr(lp->dest)) {
        fp = stderr;
    } else {
        fp = std::fopen(lp->dest, lp->mode);
        own = true;
    }
    if (fp == nullptr) return;
    std::string when = platLocalTimeText(lp->tfmt);
    std::fprintf(fp, "%s %s %s\n", when.c_str(), tag.c_str(), lp->msgbuf);
    if (own) {
        std::fclose(fp);
    } else {
        std::fflush(fp);
    }
}

}  // namespace

bool logioInit(LOGIO* lp, const char* dest, LOGIO_FUNC func, const char* ident) {
    if (lp == nullptr || (dest != nullptr && func != nullptr)) {
        platSetError(WSAEINVAL);
        return false;
    }
    std::lock_guard<std::mutex> lock(lp->mutex);
    resetHandle(lp);
    if (ident != nullptr) utilCopyBounded(lp->ident, ident, sizeof lp->ident);
    if (func != nullptr) {
        lp->func = func;
        return true;
    }
    if (dest == nullptr) dest = "-";
    if (isStdout(dest) || isStderr(dest)) {
        utilCopyBounded(lp->dest, dest, sizeof lp->dest);
        return true;
    }
    if (startsWithNoCase(dest, "syslog:") || startsWithNoCase(dest, "syslogd:")) {
        platSetError(WSAEINVAL);
        return false;
    }
    // Absolute as the host sees it ("/var/log/x" here, "C:\\logs\\x" on Windows).
    std::string path;
    if (std::filesystem::path(dest).is_absolute()) {
        path = dest;
    } else {
        std::error_code ec;
        std::filesystem::path cwd = std::filesystem::current_path(ec);
        if (ec) {
            platSetError(platErrorFromErrno(ec.value()));
            return false;
        }
        path = (cwd / dest).string();
    }
    // A path that does not fit the handle would name another file: refuse it.
    if (path.empty() || path.size() >= sizeof lp->dest) {
        platSetError(WSAEINVAL);
        return false;
    }
    utilCopyBounded(lp->dest, path.c_str(), sizeof lp->dest);
    FILE* fp = std::fopen(lp->dest, lp->mode);
    if (fp == nullptr) {
        platSetErrorFromErrno();
        lp->dest[0] = '\0';
        return false;
    }
    std::fclose(fp);
    return true;
}

int logioSetThreshold(LOGIO* lp, int level) {
    if (lp == nullptr || !isLevel(level)) {
        platSetError(WSAEINVAL);
        return -1;
    }
    std::lock_guard<std::mutex> lock(lp->mutex);
    lp->threshold = level;
    return level;
}

int logioGetThreshold(LOGIO* lp) {
    if (lp == nullptr) return -1;
    std::lock_guard<std::mutex> lock(lp->mutex);
    return lp->threshold;
}

void logioSetPrefix(LOGIO* lp, const char* prefix) {
    if (lp == nullptr) return;
    std::lock_guard<std::mutex> lock(lp->mutex);
    utilCopyBounded(lp->prefix, prefix != nullptr ? prefix : "", sizeof lp->prefix);
}

void logioSetSuspended(LOGIO* lp, bool suspended) {
    if (lp == nullptr) return;
    std::lock_guard<std::mutex> lock(lp->mutex);
    lp->suspended = suspended ? 1 : 0;
}

void logioVMsg(LOGIO* lp, int level, const char* format, va_list ap) {
    if (lp == nullptr) lp = defaultHandle();
    if (format == nullptr) return;
    std::lock_guard<std::mutex> lock(lp->mutex);
    if (level > lp->threshold) return;

    // The message buffer holds LOGIO_MAX_MSG_LEN characters in all, prefix included.
    const size_t size = LOGIO_MAX_MSG_LEN + 1;
    size_t used = 0;
    lp->msgbuf[0] = '\0';
    if (lp->prefix[0] != '\0') {
        int n = std::snprintf(lp->msgbuf, size, "%s ", lp->prefix);
        used = n < 0 ? 0 : (size_t(n) < size ? size_t(n) : size - 1);
    }
    std::vsnprintf(lp->msgbuf + used, size - used, format, ap);
    size_t len = std::strlen(lp->msgbuf);
    while (len > 0 && lp->msgbuf[len - 1] == '\n') lp->msgbuf[--len] = '\0';

    if (lp->func != nullptr) {
        lp->func(lp->msgbuf);
        return;
    }
    writeLine(lp);
}

void logioMsg(LOGIO* lp, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    logioVMsg(lp, level, format, ap);
    va_end(ap);
}

const char* logioLevelName(int level) {
    return isLevel(level) ? kLevelNames[level] : nullptr;
}

const char* logioLevelLongName(int level) {
    return isLevel(level) ? kLevelLongNames[level] : nullptr;
}
