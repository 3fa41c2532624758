// The daily log: its line form, one file per UTC day, and whole lines from two threads at once.
#include "rillet/log.h"

#include <regex>
#include <thread>

#include "rillet_test_support.h"

using rillet_test::LogLines;
using rillet_test::ReadText;
using rillet_test::ScratchDir;

TEST(RilletLog, LineFormatAndOneFilePerUtcDay) {
    ScratchDir dir;
    CRilletLog log;
    double now = 0;
    log.SetClock([&] { return now; });
    log.WriteLog("before open");  // logging is off until the log directory is known
    log.Open(dir.Path("log"));

    now = 1136246399.0;  // 2006-01-02 23:59:59 UTC
    log.WriteLog("Connected...");
    now = 1136246401.5;  // 2006-01-03 00:00:01 UTC
    log.WriteLog("Deleted file 'x'\r\n");

    EXPECT_EQ(ReadText(dir.Path("log/02012006.log")), "23:59:59 02.01.2006  #Connected...#\r\n");
    EXPECT_EQ(ReadText(dir.Path("log/03012006.log")),
              "00:00:01 03.01.2006  #Deleted file 'x'  #\r\n");
    EXPECT_EQ(LogLines(dir.Path("log")).size(), 2u);
}

TEST(RilletLog, TwoThreadsNeverMixTheirLines) {
    ScratchDir dir;
    CRilletLog log;
    log.Open(dir.Path("log") + "\\");
    constexpr int kLines = 400;
    auto writer = [&](char tag) {
        std::string message(150, tag);
        for (int i = 0; i < kLines; ++i) log.WriteLog(message);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();

    // The two threads may straddle midnight; every line still has its full form.
    std::regex line(R"(\d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}  #(a{150}|b{150})#\r)");
    auto lines = LogLines(dir.Path("log"));
    ASSERT_EQ(lines.size(), 2u * kLines);
    for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, line)) << l;
}
