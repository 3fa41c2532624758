// Stopping a real program with a real signal, timed: the program is started with its standard
// error read on a thread, the signal is sent once the program has shown a cue (or after a pause),
// and the time from the signal to the program's end is measured. POSIX hosts only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

extern char** environ;

namespace stoptest {

struct StopRun {
    bool started = false;
    bool sawCue = false;
    int status = -1;             // the exit status, or -1 when the program did not exit normally
    double secondsToExit = 0.0;  // from the signal to the end
    std::string err;             // standard error, whole
};

// Runs argv, sends signo once standard error holds cue (an empty cue: at once) and at least
// pauseMs have passed, or after cueTimeoutMs in any case, and waits for the end.
inline StopRun runAndStop(const std::vector<std::string>& argv, const std::string& cue, int pauseMs,
                          int signo = SIGINT, int cueTimeoutMs = 20000) {
    StopRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (!spawned) {
        close(pipeFds[0]);
        return run;
    }
    run.started = true;
    std::mutex lock;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) {
            std::lock_guard<std::mutex> guard(lock);
            run.err.append(buf, size_t(n));
        }
    });
    const int64_t start = platMonotonicMs();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            run.sawCue = run.err.find(cue) != std::string::npos;
        }
        const int64_t waited = platMonotonicMs() - start;
        if ((run.sawCue && waited >= pauseMs) || waited >= cueTimeoutMs) break;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {  // ended before the signal
            pid = 0;
            break;
        }
        platSleepMs(10);
    }
    if (pid != 0) {
        const int64_t signalled = platMonotonicMs();
        kill(pid, signo);
        int raw = 0;
        waitpid(pid, &raw, 0);
        run.secondsToExit = double(platMonotonicMs() - signalled) / 1000.0;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    reader.join();
    close(pipeFds[0]);
    return run;
}

}  // namespace stoptest
