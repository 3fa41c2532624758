#include "platform/signals.h"

#include <signal.h>

#include <atomic>

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
}

int platStopSignal() {
    return g_stopSignal.load();
}
