#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "platform/signals.h"

#ifndef _WIN32

// A waiter sleeps until the handler wakes it (no polling), a timed wait ends without a signal,
// every later wait sees the first signal at once, and installing again forgets it.
TEST(PlatformSignals, WaitersWakeAtTheFirstStopSignal) {
    platInstallStopSignals();
    EXPECT_EQ(platWaitForStopSignal(20), 0);

    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::raise(SIGHUP);
    });
    int first = 0;
    std::thread waiter([&] { first = platWaitForStopSignal(-1); });
    EXPECT_EQ(platWaitForStopSignal(-1), SIGHUP);
    waiter.join();
    sender.join();
    EXPECT_EQ(first, SIGHUP);
    EXPECT_EQ(platWaitForStopSignal(0), SIGHUP);
    EXPECT_STREQ(platStopSignalName(SIGHUP), "hangup");

    platInstallStopSignals();
    EXPECT_EQ(platStopSignal(), 0);
    EXPECT_EQ(platWaitForStopSignal(0), 0);
}

#endif
