// What tests need of the host that the library does not offer: environment variables and scratch
// folders, the same on POSIX hosts and on Windows.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/clock.h"

namespace testhost {

inline void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

// On Windows an empty value removes the variable.
inline void unsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

// A new empty folder under the system's temporary folder, named prefix-PID-N; the caller removes
// it. Its path uses "/" on every host.
inline std::string makeTempDir(const std::string& prefix) {
    static std::atomic<unsigned> serial{0};
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (prefix + "-" + std::to_string(platProcessId()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.generic_string();
}

}  // namespace testhost
