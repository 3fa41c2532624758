// Log handles: destinations, thresholds, line layout and trimming.
#include "logio/logio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_seen;
void sink(const char* message) {
    g_seen.emplace_back(message);
}

class LogioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen.clear();
        dir_ = fs::temp_directory_path() /
               ("found-logio-" + std::to_string(platProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> fileLines(const fs::path& path) const {
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    fs::path dir_;
};

TEST_F(LogioTest, ThresholdDecidesWhatIsWritten) {
    LOGIO lp;
    ASSERT_TRUE(logioInit(&lp, nullptr, sink, "t"));
    EXPECT_EQ(logioGetThreshold(&lp), LOG_INFO);
    for (int level = LOG_EMERG; level <= LOG_DEBUG; ++level)
        logioMsg(&lp, level, "level %d", level);
    EXPECT_EQ(g_seen.size(), 7u);  // level 7 waits for the threshold to be raised
    EXPECT_EQ(g_seen.back(), "level 6");

    EXPECT_EQ(logioSetThreshold(&lp, LOG_DEBUG), LOG_DEBUG);
    logioMsg(&lp, LOG_DEBUG, "now shown");
    EXPECT_EQ(g_seen.back(), "now shown");

    for (int bad : {8, -1}) {
        platSetError(0);
        EXPECT_EQ(logioSetThreshold(&lp, bad), -1);
        EXPECT_EQ(platGetError(), WSAEINVAL);
        EXPECT_EQ(logioGetThreshold(&lp), LOG_DEBUG);
    }
    EXPECT_EQ(logioSetThreshold(nullptr, 3), -1);
    EXPECT_EQ(logioGetThreshold(nullptr), -1);
}

TEST_F(LogioTest, TrailingNewlinesAreRemovedAndLongMessagesCut) {
    LOGIO lp;
    ASSERT_TRUE(logioInit(&lp, nullptr, sink, "t"));
    logioMsg(&lp, LOG_ERR, "two newlines\n\n");
    logioMsg(&lp, LOG_ERR, "inner\nkept\n");
    logioMsg(&lp, LOG_ERR, "%s", std::string(3000, 'x').c_str());
    logioSetPrefix(&lp, "PFX");
    logioMsg(&lp, LOG_ERR, "with prefix");
    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(g_seen[0], "two newlines");
    EXPECT_EQ(g_seen[1], "inner\nkept");
    EXPECT_EQ(g_seen[2], std::string(LOGIO_MAX_MSG_LEN, 'x'));
    EXPECT_EQ(g_seen[3], "PFX with prefix");
}

TEST_F(LogioTest, BadDestinationsFail) {
    struct Case {
        const char* dest;
        LOGIO_FUNC func;
    } cases[] = {
        {"syslog:local0", nullptr},
        {"SYSLOGD:user", nullptr},
        {"-", sink},
    };
    for (const auto& c : cases) {
        LOGIO lp;
        platSetError(0);
        EXPECT_FALSE(logioInit(&lp, c.dest, c.func, "t")) << c.dest;
        EXPECT_EQ(platGetError(), WSAEINVAL) << c.dest;
    }
    LOGIO lp;
    EXPECT_FALSE(logioInit(&lp, (dir_ / "no/such/dir/log").string().c_str(), nullptr, "t"));
    EXPECT_FALSE(logioInit(nullptr, "-", nullptr, "t"));
}

TEST_F(LogioTest, FileLineHasTimeTagAndMessage) {
    const fs::path file = dir_ / "test.log";
    LOGIO lp;
    ASSERT_TRUE(logioInit(&lp, file.string().c_str(), nullptr, "rillet"));
    EXPECT_TRUE(fs::exists(file));  // opened once to check it
    logioMsg(&lp, LOG_INFO, "%s: connection closed\n", "pid12@host");
    logioSetSuspended(&lp, true);
    logioMsg(&lp, LOG_INFO, "not written");
    logioSetSuspended(&lp, false);
    logioMsg(&lp, LOG_WARNING, "second");
    auto lines = fileLines(file);
    ASSERT_EQ(lines.size(), 2u);
    const std::string ids = "\\[" + std::to_string(platProcessId()) + ":[0-9]+\\]";
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("[0-9]{4}:[0-9]{3}-[0-9]{2}:[0-9]{2}:[0-9]{2} rillet" + ids +
                             " pid12@host: connection closed")))
        << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" second"));
}

TEST_F(LogioTest, RelativeFileNameIsKeptWithTheCurrentDirectory) {
    const fs::path old = fs::current_path();
    fs::current_path(dir_);
    LOGIO lp;
    bool ok = logioInit(&lp, "relative.log", nullptr, "t");
    fs::current_path(old);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(lp.dest), (dir_ / "relative.log").string());
    logioMsg(&lp, LOG_INFO, "here");
    EXPECT_EQ(fileLines(dir_ / "relative.log").size(), 1u);
}

TEST_F(LogioTest, DefaultHandleWritesToStandardOutput) {
    LOGIO lp;
    ASSERT_TRUE(logioInit(&lp, "STDOUT", nullptr, "ident"));
    ::testing::internal::CaptureStdout();
    logioMsg(nullptr, LOG_INFO, "from the library");
    logioMsg(nullptr, LOG_DEBUG, "hidden");
    logioMsg(&lp, LOG_INFO, "own handle");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex("[0-9:-]{17} logioMsg\\[[0-9]+:[0-9]+\\] from the library\n"
                        "[0-9:-]{17} ident\\[[0-9]+:[0-9]+\\] own handle\n")))
        << out;
}

TEST_F(LogioTest, LinesFromSeveralThreadsNeverMix) {
    const fs::path file = dir_ / "threads.log";
    LOGIO lp;
    ASSERT_TRUE(logioInit(&lp, file.string().c_str(), nullptr, "t"));
    const std::string body(200, 'y');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) logioMsg(&lp, LOG_INFO, "%d %s", t, body.c_str());
        });
    }
    for (auto& th : threads) th.join();
    auto lines = fileLines(file);
    ASSERT_EQ(lines.size(), 200u);
    for (const auto& line : lines) EXPECT_TRUE(line.ends_with(body)) << line;
}

}  // namespace
