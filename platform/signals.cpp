#include "platform/signals.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signo) {
    int none = 0;
    g_stopSignal.compare_exchange_strong(none, signo);
}

}  // namespace

void platInstallStopSignals() {
    g_stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signo : kStopSignals) sigaction(signo, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int platStopSignal() {
    return g_stopSignal.load();
}

int platWaitForStopSignal(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (int signo = platStopSignal()) return signo;
        if (timeoutMs >= 0 && Clock::now() >= deadline) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

const char *platStopSignalName(int signo) {
    switch (signo) {
        case SIGINT: return "interrupt";
        case SIGTERM: return "terminate";
        case SIGHUP: return "hangup";
        default: return "signal";
    }
}
