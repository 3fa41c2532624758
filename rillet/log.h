// The recorder's daily log: one file per UTC day, "<logdir>DDMMYYYY.log", one CR LF line a message
// in the form "HH:MM:SS DD.MM.YYYY  #message#". Both the window thread and the worker write it;
// one lock keeps their lines whole.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "logio/logio.h"

class CRilletLog {
  public:
    using Clock = std::function<double()>;  // epoch seconds

    CRilletLog();

    // Turns logging on with the log directory as configured (a trailing "\\" is added when
    // missing). Before this call WriteLog does nothing. Creates the directory's last level and
    // tries today's file: false, with the system's reason in *error, when it cannot be written
    // (logging stays on, so that the log resumes when the directory becomes writable).
    bool Open(const std::string& logDirectory, std::string* error = nullptr);

    // Appends one line to today's file. A file that cannot be opened loses the line silently.
    void WriteLog(const std::string& message);
    // printf-style convenience for messages with a "%s".
    void WriteLogf(const char* format, ...) LOGIO_PRINTF_FORMAT(2, 3);

    // A problem an operator must see: logged, and also written to standard error when warnings
    // are echoed (headless).
    void WriteWarning(const std::string& message);
    void WriteWarningf(const char* format, ...) LOGIO_PRINTF_FORMAT(2, 3);
    void SetWarningEcho(bool on) { warningEcho_ = on; }

    // A log that never touches the log folder: Open only records the directory and lines go
    // nowhere but to the echoes. For readers of a recorder's folder (the status report), which
    // must not write into the recorder's own log.
    void SetFileless(bool on) { fileless_ = on; }

    // Lines also go to standard output (headless --verbose); off by default.
    void SetEcho(bool on) { echo_ = on; }
    // Replaces the clock (tests: the day change).
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // Epoch seconds by the log's clock.
    double Now() const { return clock_(); }
    // The directory as configured, ending in "\\".
    const std::string& Directory() const { return directory_; }
    // Host path of the file a line written at the given time goes to.
    std::string FileFor(double epochSeconds) const;

  private:
    void MakeDirectory() const;

    std::mutex lock_;
    bool open_ = false;
    bool echo_ = false;
    bool warningEcho_ = false;
    bool fileless_ = false;
    std::string directory_;
    Clock clock_;
};

// A failure that repeats for as long as it lasts (a full disk, a catalogue or a server away): a
// line when it starts, with what failed and why, and a line when it ends, with how long it
// lasted and how often it was retried; never a line per retry. Used by one thread.
class CFailureEpisode {
  public:
    // what names the failure in the closing line ("no space left on the data disk"); retries
    // names what was retried ("writes retried").
    CFailureEpisode(CRilletLog& log, std::string what, std::string retries)
        : log_(log), what_(std::move(what)), retries_(std::move(retries)) {}

    // One failure. The first of an episode logs firstLine as a warning; later ones are counted.
    void Failed(const std::string& firstLine);
    // One success: ends an episode under way with "WHAT from HH:MM:SS to HH:MM:SS: N RETRIES".
    void Succeeded();
    bool Active() const { return failures_ > 0; }
    // Failures of the episode under way (0 when none is).
    uint64_t Failures() const { return failures_; }

  private:
    CRilletLog& log_;
    std::string what_;
    std::string retries_;
    double since_ = 0;
    uint64_t failures_ = 0;
};
