// The isi-sim and isicat executables together: exit statuses and output of the real programs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/clock.h"

namespace {

constexpr double kStartBoundSeconds = 20.0;

struct Output {
    int status = -1;
    std::string text;
    bool operator==(const Output&) const = default;
};

// Runs a shell command line and returns its exit status and standard output.
Output runProgram(const std::string& command) {
    Output out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.text.append(buf, n);
    int raw = pclose(pipe);
    out.status = raw >= 0 && (raw & 0x7f) == 0 ? (raw >> 8) & 0xff : -1;
    return out;
}

class ProgramsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("isisim-programs-" + std::to_string(platProcessId()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (!pid_.empty()) std::system(("kill " + pid_ + " 2>/dev/null").c_str());
        std::filesystem::remove_all(dir_);
    }

    // Starts isi-sim in the background on a free port; it also ends by itself after a minute.
    void startServer(const std::string& args) {
        std::string portFile = (dir_ / "port").string(), pidFile = (dir_ / "pid").string();
        std::string command = std::string(ISISIM_EXE) + " --port 0 --port-file " + portFile +
                              " --run-seconds 60 -q " + args + " & echo $! > " + pidFile;
        ASSERT_EQ(std::system(command.c_str()), 0);
        double until = platNow() + kStartBoundSeconds;
        while (!std::filesystem::exists(portFile) && platNow() < until) platSleepMs(20);
        std::ifstream(pidFile) >> pid_;
        std::ifstream(portFile) >> port_;
        ASSERT_FALSE(port_.empty()) << "isi-sim did not start";
    }

    std::filesystem::path dir_;
    std::string pid_, port_;
};

TEST_F(ProgramsTest, IsicatListsTheStreamsOfIsiSim) {
    startServer("--stream XA.BHZ.00:20 --stream XA.VHZ:0.1");
    std::string trace = (dir_ / "traffic.log").string();
    Output cnf =
        runProgram(std::string(ISICAT_EXE) + " cnf 127.0.0.1:" + port_ + " --traffic-log " + trace);
    EXPECT_EQ(cnf.status, 0);
    EXPECT_EQ(cnf.text, "XA\tBHZ\t00\t20.000000\nXA\tVHZ\t--\t0.100000\n");
    std::ifstream traceFile(trace);
    std::string traceText((std::istreambuf_iterator<char>(traceFile)), {});
    EXPECT_NE(traceText.find("RECV preamble"), std::string::npos);
    Output data = runProgram(std::string(ISICAT_EXE) + " data 127.0.0.1:" + port_ +
                             " XA.BHZ.00 --begin now-100 --end now-90 --compress 1");
    EXPECT_EQ(data.status, 0);
    EXPECT_NE(data.text.find("XA\tBHZ\t00\t"), std::string::npos) << data.text;

    // A stream the server lacks, and a window that ends before it begins, print nothing but
    // their cause (standard error only, below).
    const std::string isicat = std::string(ISICAT_EXE) + " data 127.0.0.1:" + port_;
    EXPECT_EQ(runProgram(isicat + " XA.BHZ.00+XB.BHZ --begin now-100 --end now-90 2>&1 >/dev/null"),
              (Output{3, "isicat: 127.0.0.1:" + port_ + " has no stream XB.BHZ\n"}));
    EXPECT_EQ(runProgram(isicat + " XA.BHZ.00 --begin now-90 --end now-100 2>&1 >/dev/null"),
              (Output{2, "isicat: the window begins after it ends\n"}));
}

TEST_F(ProgramsTest, FailuresEndWithStatusOneOrUsageAndNameTheirCause) {
    struct Case {
        const char* args;
        int status;
        const char* message;  // a piece of standard error
    };
    // Port 1 on loopback refuses: a failed connect ends at once with status 1.
    const Case cases[] = {
        {" cnf 127.0.0.1:1", 1, "configuration list: connection refused by 127.0.0.1:1"},
        {" soh nosuchhost.invalid", 1, "state-of-health list: no such host nosuchhost.invalid"},
        {" data 127.0.0.1:1 XA.BHZ", 1, "connection refused by 127.0.0.1:1"},
        {" data 127.0.0.1:1 XA --begin now", 2, "stream \"XA\": STA.CHN[.LOC] expected"},
        {" data 127.0.0.1:1 XA.BHZ.00.X", 2, "a fourth part \"X\""},
        {" data 127.0.0.1:1 LONGSTAT.BHZ", 2, "is longer than 7 characters"},
        {" data 127.0.0.1:1 XA.BHZ --begin yesterday", 2, "bad time \"yesterday\""},
        {" data 127.0.0.1:1 XA.BHZ --compress 3", 2, "--compress"}};
    for (const Case& c : cases) {
        Output out = runProgram(std::string(ISICAT_EXE) + c.args + " 2>&1 >/dev/null");
        EXPECT_EQ(out.status, c.status) << c.args;
        EXPECT_NE(out.text.find(c.message), std::string::npos) << c.args << ": " << out.text;
    }
}

}  // namespace
