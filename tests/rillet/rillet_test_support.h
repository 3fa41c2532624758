// Shared helpers of the recorder tests: a private scratch folder per test and small file readers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace rillet_test {

// A folder of its own under /tmp for one test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Numbered, so that a test's several folders (two recorders, say) are apart.
        static int made = 0;
        std::string name = std::string("rillet-") + (info ? info->name() : "x") + "-" +
                           std::to_string(::getpid()) + "-" + std::to_string(made++);
        for (char& ch : name)
            if (ch == '/') ch = '_';
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string Path(const std::string& rel = "") const {
        return rel.empty() ? path_.string() : (path_ / rel).string();
    }

  private:
    std::filesystem::path path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every line of the text files in a folder, in file-name order.
inline std::vector<std::string> LogLines(const std::string& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(folder)) return {};
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    std::vector<std::string> lines;
    for (const auto& n : names) {
        std::stringstream ss(ReadText(n));
        std::string line;
        while (std::getline(ss, line)) lines.push_back(line);
    }
    return lines;
}

inline bool AnyLineHas(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace rillet_test
