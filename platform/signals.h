// Stop signals (SIGINT, SIGTERM, SIGHUP) turned into a value that long-running loops poll, so that
// a program stops where it is safe to and keeps what it has.
#pragma once

// Installs the handlers. The first stop signal is recorded, and the handler of each signal goes
// back to the default action once it has run, so the same signal sent again (a second Ctrl-C)
// ends the program at once. System calls interrupted by the
// signal are restarted. Safe to call again (tests): it forgets a recorded signal.
void platInstallStopSignals();

// The first stop signal received since installation (SIGINT, SIGTERM or SIGHUP); 0 for none.
// Callable from any thread.
int platStopSignal();
