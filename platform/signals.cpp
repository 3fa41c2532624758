// Stop signals. On POSIX hosts SIGINT, SIGTERM and SIGHUP; on Windows the console's control events
// (Ctrl-C, Ctrl-Break, closing the console window, logging off, shutting down), each reported as
// the C library's signal number that stands for it, so that callers print the same names.
#include "platform/signals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");

#ifdef _WIN32

// Set with the first signal and reset at installation: the waiters sleep on it.
HANDLE g_wakeEvent = nullptr;

void wake() {
    if (g_wakeEvent != nullptr) SetEvent(g_wakeEvent);
}

#else

// The self-pipe: the handler writes one byte after recording the first signal, and the byte stays
// there until the next installation, so every waiter sees the pipe readable from then on.
int g_wakePipe[2] = {-1, -1};

void wake() {
    if (g_wakePipe[1] >= 0) {
        const int saved = errno;  // the interrupted code may be reading errno
        const char byte = 1;
        (void)!::write(g_wakePipe[1], &byte, 1);
        errno = saved;
    }
}

#endif

// Records the first stop signal and wakes the waiters; false when one was recorded before.
bool recordStopSignal(int signo) {
    int none = 0;
    if (!g_stopSignal.compare_exchange_strong(none, signo)) return false;
    wake();
    return true;
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
    static std::once_flag once;
    std::call_once(once, [] {
        g_wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    });
    if (g_wakeEvent != nullptr) ResetEvent(g_wakeEvent);
#else
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe(g_wakePipe) != 0) {
            g_wakePipe[0] = g_wakePipe[1] = -1;  // waiters then poll the flag
            return;
        }
        for (int fd : g_wakePipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    });
    char drained[16];
    while (g_wakePipe[0] >= 0 && ::read(g_wakePipe[0], drained, sizeof drained) > 0) {
    }
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

const std::atomic<int>* platStopSignalFlag() {
    return &g_stopSignal;
}

int platWaitForStopSignal(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (int signo = platStopSignal()) return signo;
        // Sleeps until the handler wakes it, the time runs out, or (for ever waits) a minute has
        // passed; no wake-ups in between, so an idle program costs nothing.
        int64_t sliceMs = 60000;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - Clock::now())
                                  .count();
            if (left <= 0) return platStopSignal();
            sliceMs = std::min<int64_t>(sliceMs, left);
        }
#ifdef _WIN32
        if (g_wakeEvent != nullptr) {
            WaitForSingleObject(g_wakeEvent, static_cast<DWORD>(sliceMs));
            continue;
        }
#else
        if (g_wakePipe[0] >= 0) {
            pollfd pfd{g_wakePipe[0], POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(sliceMs));  // EINTR: the loop looks again
            continue;
        }
#endif
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(sliceMs, 20)));
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
