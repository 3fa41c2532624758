// Stop signals. On POSIX hosts SIGINT, SIGTERM and SIGHUP; on Windows the console's control events
// (Ctrl-C, Ctrl-Break, closing the console window, logging off, shutting down), each reported as
// the C library's signal number that stands for it, so that callers print the same names.
#include "platform/signals.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");

// Records the first stop signal; false when one was recorded before.
bool recordStopSignal(int signo) {
    int none = 0;
    return g_stopSignal.compare_exchange_strong(none, signo);
}

#ifdef _WIN32

// Ctrl-C is an interrupt, Ctrl-Break a signal of its own, and the console closing, a log-off or a
// shut-down ask the program to terminate.
int signalOfEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return SIGINT;
        case CTRL_BREAK_EVENT: return SIGBREAK;
        default: return SIGTERM;
    }
}

// Runs on a thread the system starts. TRUE keeps the process alive so that it stops where it is
// safe to; an event after the first goes on to the default handler, which ends the program at
// once, as a second Ctrl-C does elsewhere. (For a closing console Windows ends the process itself
// some seconds after the handler returns.)
BOOL WINAPI onConsoleEvent(DWORD event) {
    return recordStopSignal(signalOfEvent(event)) ? TRUE : FALSE;
}

#else

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signo) {
    recordStopSignal(signo);
}

#endif

}  // namespace

void platInstallStopSignals() {
    g_stopSignal = 0;
#ifdef _WIN32
    // A write to a closed socket is an error on Windows, never a signal: nothing to ignore.
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signo : kStopSignals) sigaction(signo, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
#endif
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
#ifdef _WIN32
        case SIGBREAK: return "break";
#else
        case SIGHUP: return "hangup";
#endif
        default: return "signal";
    }
}
