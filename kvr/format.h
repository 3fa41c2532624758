// printf into a std::string, for the few texts of the kvr library that have fixed forms (file
// names, header lines). Internal to kvr/: not part of its interface.
#pragma once

#include <cstdio>
#include <string>

// The text printf would print for fmt and args; empty when the format fails.
template <typename... Args>
std::string kvrFormat(const char* fmt, Args... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(s.data(), s.size(), fmt, args...);
    s.resize(static_cast<size_t>(n));
    return s;
}
