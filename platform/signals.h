// Stop signals (SIGINT, SIGTERM, SIGHUP; on Windows the console's Ctrl-C, Ctrl-Break and close
// events as SIGINT, SIGBREAK and SIGTERM) turned into a value that long-running loops poll, so
// that a program stops where it is safe to and keeps what it has.
#pragma once

#include <atomic>

// Installs the handlers. The first stop signal is recorded, and the handler of each signal goes
// back to the default action once it has run, so the same signal sent again (a second Ctrl-C)
// ends the program at once. System calls interrupted by the
// signal are restarted. A write to a closed socket or pipe no longer raises SIGPIPE: it fails with
// an error the caller reports. Safe to call again (tests): it forgets a recorded signal.
void platInstallStopSignals();

// The first stop signal received since installation (SIGINT, SIGTERM or SIGHUP); 0 for none.
// Callable from any thread.
int platStopSignal();

// The same as a flag another layer can poll without knowing of signals: nonzero once a stop signal
// has been recorded (the connection layer's cancel option takes it, so that every wait for a
// server ends within a fraction of a second of the signal). Valid for the life of the program.
const std::atomic<int>* platStopSignalFlag();

// Waits until a stop signal has been recorded or timeoutMs milliseconds have passed, whichever is
// first (a negative timeout waits for ever). Returns the signal, or 0 when the time ran out.
// Needs platInstallStopSignals. Sleeps without waking in between: the signal handler wakes it.
// Callable from any thread, by several at once.
int platWaitForStopSignal(int timeoutMs);

// A short English name of a stop signal for messages ("interrupt", "terminate", "hangup",
// "break"), or
// "signal" for any other number. Never null; the text is static.
const char* platStopSignalName(int signo);
