#include "support/log_capture.h"

#include <mutex>

namespace iacptest {

namespace {

std::mutex g_mutex;
std::vector<std::string> g_messages;

void collect(const char* message) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.emplace_back(message);
}

}  // namespace

CapturedLog::CapturedLog(int threshold) {
    clear();
    logioInit(&log_, nullptr, collect, "test");
    logioSetThreshold(&log_, threshold);
}

CapturedLog::~CapturedLog() {
    clear();
}

std::vector<std::string> CapturedLog::messages() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_messages;
}

bool CapturedLog::contains(const std::string& text) const {
    return count(text) > 0;
}

int CapturedLog::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(g_mutex);
    int n = 0;
    for (const auto& m : g_messages) n += m.find(text) != std::string::npos ? 1 : 0;
    return n;
}

void CapturedLog::clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.clear();
}

}  // namespace iacptest
