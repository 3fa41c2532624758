// The recorder's daily log: one file per UTC day, "<logdir>DDMMYYYY.log", one CR LF line a message
// in the form "HH:MM:SS DD.MM.YYYY  #message#". Both the window thread and the worker write it;
// one lock keeps their lines whole.
#pragma once

#include <functional>
#include <mutex>
#include <string>

class CRilletLog {
  public:
    using Clock = std::function<double()>;  // epoch seconds

    CRilletLog();

    // Turns logging on with the log directory as configured (a trailing "\\" is added when
    // missing). Before this call WriteLog does nothing.
    void Open(const std::string& logDirectory);

    // Appends one line to today's file. A file that cannot be opened loses the line silently.
    void WriteLog(const std::string& message);
    // printf-style convenience for messages with a "%s".
    void WriteLogf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Lines also go to standard output (headless --verbose); off by default.
    void SetEcho(bool on) { echo_ = on; }
    // Replaces the clock (tests: the day change).
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // The directory as configured, ending in "\\".
    const std::string& Directory() const { return directory_; }
    // Host path of the file a line written at the given time goes to.
    std::string FileFor(double epochSeconds) const;

  private:
    std::mutex lock_;
    bool open_ = false;
    bool echo_ = false;
    std::string directory_;
    Clock clock_;
};
