#include "rillet/log.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/clock.h"
#include "platform/profile.h"

namespace {

bool SplitUtc(double epochSeconds, struct tm* out) {
    return platGmTime(static_cast<int64_t>(std::floor(epochSeconds)), out);
}

std::string FormatMessage(const char* format, va_list ap) {
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, format, ap);
    return buf;
}

}  // namespace

CRilletLog::CRilletLog() : clock_(platNow) {}

bool CRilletLog::Open(const std::string& logDirectory, std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    directory_ = logDirectory;
    if (directory_.empty() || directory_.back() != '\\') directory_ += '\\';
    open_ = true;
    if (fileless_) return true;
    MakeDirectory();
    FILE* fp = std::fopen(FileFor(clock_()).c_str(), "ab");
    if (fp == nullptr) {
        if (error != nullptr) *error = std::strerror(errno);
        return false;
    }
    std::fclose(fp);
    return true;
}

void CRilletLog::MakeDirectory() const {
    // Only the last level of the directory is created; an existing one (or a failure) is no
    // matter here, the open decides.
    std::string dir = platHostPath(directory_);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::create_directory(dir, ec);
}

std::string CRilletLog::FileFor(double epochSeconds) const {
    struct tm t {};
    if (!SplitUtc(epochSeconds, &t)) return {};
    char name[32];
    std::snprintf(name, sizeof name, "%02d%02d%04d.log", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    return platHostPath(directory_ + name);
}

void CRilletLog::WriteLog(const std::string& message) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_) return;
    double now = clock_();
    struct tm t {};
    if (!SplitUtc(now, &t)) return;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d.%02d.%04d  #", t.tm_hour, t.tm_min,
                  t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    // A message never breaks its line: driver texts may carry line ends of their own.
    std::string text = message;
    std::replace_if(
        text.begin(), text.end(), [](char ch) { return ch == '\r' || ch == '\n'; }, ' ');
    std::string line = stamp + text + "#\r\n";

    if (!fileless_) {
        MakeDirectory();
        if (FILE* fp = std::fopen(FileFor(now).c_str(), "ab")) {
            std::fwrite(line.data(), 1, line.size(), fp);
            std::fclose(fp);
        }
    }
    if (echo_) {
        std::fwrite(line.data(), 1, line.size() - 2, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

void CRilletLog::WriteLogf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string message = FormatMessage(format, ap);
    va_end(ap);
    WriteLog(message);
}

void CRilletLog::WriteWarning(const std::string& message) {
    WriteLog(message);
    if (warningEcho_) {
        std::fprintf(stderr, "rillet: %s\n", message.c_str());
        std::fflush(stderr);
    }
}

void CRilletLog::WriteWarningf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string message = FormatMessage(format, ap);
    va_end(ap);
    WriteWarning(message);
}

namespace {

// "HH:MM:SS" of a time, UTC, as the log's lines give it.
std::string ClockText(double t) {
    struct tm parts {};
    if (!SplitUtc(t, &parts)) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

}  // namespace

void CFailureEpisode::Failed(const std::string& firstLine) {
    if (failures_++ == 0) {
        since_ = log_.Now();
        log_.WriteWarning(firstLine);
    }
}

void CFailureEpisode::Succeeded() {
    if (failures_ == 0) return;
    // The first failure opened the episode; the rest were retries.
    log_.WriteWarningf("%s from %s to %s: %llu %s", what_.c_str(), ClockText(since_).c_str(),
                       ClockText(log_.Now()).c_str(),
                       static_cast<unsigned long long>(failures_ - 1), retries_.c_str());
    failures_ = 0;
}
