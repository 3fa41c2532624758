// A log handle whose messages the test can read back.
//
// The handle's callback has no context pointer, so one CapturedLog at a time collects the
// messages of the process (tests run one per process under CTest).
#pragma once

#include <string>
#include <vector>

#include "logio/logio.h"

namespace iacptest {

class CapturedLog {
  public:
    explicit CapturedLog(int threshold = LOG_INFO);
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    LOGIO* handle() { return &log_; }
    std::vector<std::string> messages() const;
    // True when a message contains text.
    bool contains(const std::string& text) const;
    // How many messages contain text.
    int count(const std::string& text) const;
    void clear();

  private:
    LOGIO log_;
};

}  // namespace iacptest
