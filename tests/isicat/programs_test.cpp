// The isi-sim and isicat executables together: exit statuses and output of the real programs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/clock.h"
#include "platform/net.h"
#include "server/server.h"
#include "support/stop_timing.h"

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

// A stop signal ends isicat within a second in every state a server can hold it in, with the
// status 128 + the signal and a line that says so.
TEST(IsicatStop, EndsWithinASecondOfTheSignalInEveryState) {
    std::vector<isisim::SimStream> streams;
    for (const char* text : {"SIM1.BHZ:50:100", "SIM2.VHZ:0.1:100"}) {
        isisim::SimStream s;
        ASSERT_TRUE(isisim::simParseStreamSpec(text, 100, 86400.0, &s, nullptr));
        streams.push_back(s);
    }
    isisim::SimServerOptions options;
    options.port = 0;
    options.heartbeat = 0.5;
    isisim::SimFault stall;
    ASSERT_TRUE(isisim::simParseFault("stall:5:120:100", &stall, nullptr));
    isisim::SimServerOptions stalling = options;
    stalling.faults.push_back(stall);
    isisim::SimServer server(streams, options), stalled(streams, stalling);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    ASSERT_TRUE(stalled.start(&error)) << error;
    // Accepts nothing: the connection is made by the system, the handshake never answered.
    PLAT_SOCKET silent = platListenTcp("127.0.0.1", 0, 4);
    ASSERT_NE(silent, PLAT_INVALID_SOCKET);
    auto at = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };

    struct State {
        const char* name;
        std::vector<std::string> args;
    };
    const State states[] = {
        {"connecting", {"cnf", at(platLocalPort(silent))}},
        {"stalled server", {"data", at(stalled.port()), "SIM1.BHZ", "--begin", "now-3600"}},
        {"heartbeats only", {"data", at(server.port()), "SIM2.VHZ"}},
        {"window in the future", {"data", at(server.port()), "SIM1.BHZ", "--begin", "now+60",
                                  "--end", "now+120"}},
        {"receiving", {"data", at(server.port()), "SIM1.*", "--begin", "beg", "--samples"}},
    };
    for (const State& state : states) {
        std::vector<std::string> argv = {ISICAT_EXE};
        argv.insert(argv.end(), state.args.begin(), state.args.end());
        stoptest::StopRun run = stoptest::runAndStop(argv, "", 1500);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.status, 128 + SIGINT) << state.name << ": " << run.err;
        EXPECT_LT(run.secondsToExit, 1.0) << state.name;
        EXPECT_NE(run.err.find("isicat: stopped by signal 2"), std::string::npos)
            << state.name << ": " << run.err;
    }
    platCloseSocket(silent);
    server.stop();
    stalled.stop();
}

}  // namespace
