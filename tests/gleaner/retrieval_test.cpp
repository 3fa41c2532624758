// Retrieval runs end to end: the stand-in server in-process on loopback, the run on the test's
// thread with a scripted host, KVR 4.0 files and FILELIST rows on SQLite.
#include "gleaner/retrieval.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "gleaner/fetch.h"
#include "gleaner/selection.h"
#include "gleaner_test_support.h"
#include "isi/loopback_peer.h"
#include "isi/packet_builder.h"
#include "kvr/check.h"
#include "platform/clock.h"
#include "server/server.h"
#include "server/synthetic.h"
#include "support/stop_timing.h"

namespace {

constexpr uint32_t kTestPauseMs = 50;  // the product waits 5000 ms before each reconnect

// Records what the run shows and answers the i/o question from a script.
class ScriptedHost : public CRetrievalHost {
  public:
    void SetStatusText(const std::string& text) override {
        statuses.push_back(text);
        // "STA:CHN YYYY:DDD-HH:MM:SS.mmm": remember the last sample time per stream.
        size_t blank = text.find(' ');
        if (blank != std::string::npos && text.find(':') < blank) {
            lastSeen[text.substr(0, blank)] = utilAttodt(text.c_str() + blank + 1);
            if (++packets == stopAfterPackets && onPacketLimit) onPacketLimit();
        }
    }
    void SetProgress(int position) override { progress.push_back(position); }
    void SetWaitCursor(bool wait) override { waitCursor = wait; }
    void ShowMessage(const std::string& text, const std::string& title, bool icon) override {
        messages.push_back(title + "|" + text + (icon ? "|error" : ""));
    }
    IoAnswer AskIoError(const std::string& text, const std::string& title) override {
        EXPECT_EQ(title, "Siphon");
        EXPECT_EQ(text, kIoErrorQuestion);
        ++questions;
        if (beforeAnswer) beforeAnswer();
        if (answers.empty()) return IoAnswer::Ignore;
        IoAnswer a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    void RunFinished() override { ++finished; }

    bool Saw(const std::string& status) const {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }

    std::vector<std::string> statuses;
    std::vector<int> progress;
    std::vector<std::string> messages;
    std::map<std::string, double> lastSeen;  // "STA:CHN" -> time of last sample received
    std::vector<IoAnswer> answers;
    std::function<void()> beforeAnswer;
    std::function<void()> onPacketLimit;
    int stopAfterPackets = -1;
    int packets = 0;
    int questions = 0;
    int finished = 0;
    bool waitCursor = true;
};

class RetrievalTest : public gleanertest::ScratchTest {
  protected:
    void SetUp() override {
        ScratchTest::SetUp();
        OpenCatalogue();
        isiSetReconnectPauseForTests(kTestPauseMs);
        logioInit(&log_, "stderr", nullptr, "test");
        logioSetThreshold(&log_, LOG_ERR);
        spool_ = dir_ + "/spool";
        std::filesystem::create_directory(spool_);
    }
    void TearDown() override {
        if (server_) server_->stop();
        ScratchTest::TearDown();
    }

    // fault: "close:N" ends the first connection after N packets.
    void StartServer(uint16_t port = 0, const char* fault = nullptr) {
        std::vector<isisim::SimStream> streams;
        for (const std::string& option : specs_) {
            isisim::SimStream s;
            std::string error;
            ASSERT_TRUE(isisim::simParseStreamSpec(option, 100, 7200.0, &s, &error)) << error;
            streams.push_back(s);
        }
        isisim::SimServerOptions options;
        options.host = "127.0.0.1";
        options.port = port;
        if (fault != nullptr) {
            isisim::SimFault f;
            ASSERT_TRUE(isisim::simParseFault(fault, &f, nullptr));
            options.faults.push_back(f);
        }
        server_ = std::make_unique<isisim::SimServer>(std::move(streams), options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        port_ = server_->port();
    }
    // The server closes the connection after packets packets and the run stops it when it has
    // read them, so the reconnect finds nobody listening: status 2.
    void StartServerThatGoesAway(ScriptedHost& host, int packets) {
        StartServer(0, ("close:" + std::to_string(packets)).c_str());
        host.stopAfterPackets = packets;
        host.onPacketLimit = [this] { server_->stop(); };
    }
    // Back on the same port, without the fault.
    void RestartServer() {
        server_.reset();
        StartServer(port_);
    }

    RETRIEVAL_INPUT Input(double begin, double end, const std::string& streams) {
        RETRIEVAL_INPUT in;
        in.server = "127.0.0.1";
        in.port = port_;
        in.begin = begin;
        in.end = end;
        in.streams = gleanertest::Names(streams);
        in.dataDirectory = data_;
        in.spoolDirectory = spool_;
        in.log = &log_;
        in.connectRetryClass = IACP_ERR_NONE;  // a refused connection fails at once
        in.progressIntervalSeconds = 0.0;      // the host counts packets by their status
        return in;
    }

    const isisim::SimStream& Stream(const std::string& text) {
        for (const isisim::SimStream& s : server_->streams())
            if (s.text() == text) return s;
        throw std::runtime_error("no stream " + text);
    }

    // The files and rows of one stream hold exactly samples first..last, with no hole or
    // duplicate: consecutive files join, every sample is the synthetic one.
    void ExpectStoredExactly(const isisim::SimStream& s, const std::string& station,
                             const std::string& channel, int64_t first, int64_t last) {
        std::vector<KVR_FILELIST_ROW> rows;
        for (const KVR_FILELIST_ROW& r : Rows())
            if (r.sta == station && r.ch == channel) rows.push_back(r);
        ASSERT_FALSE(rows.empty()) << s.text();
        std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.tbegin < b.tbegin; });
        const uint64_t hash = isisim::simStreamHash(s.name());
        int64_t k = first;
        for (const KVR_FILELIST_ROW& r : rows) {
            ASSERT_DOUBLE_EQ(r.tbegin, s.timeOf(k)) << s.text() << " hole or overlap at " << k;
            std::vector<float> samples = Samples(r.cpath);
            ASSERT_NEAR(r.tqty, double(samples.size()) / r.sps, 1e-6) << r.cpath;
            for (float v : samples)
                ASSERT_EQ(v, float(isisim::simSyntheticSample(hash, k++))) << s.text() << " " << k;
        }
        EXPECT_EQ(k, last + 1) << s.text();
    }

    bool SpoolStillOpen() const {
        for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(e.path(), ec);
            if (!ec && target.string().rfind(spool_, 0) == 0) return true;
        }
        return false;
    }

    std::vector<std::string> specs_ = {"ANMO.BHZ.00:20:50", "ANMO.BHN:20:64", "KONO.LHZ:1:30"};
    std::unique_ptr<isisim::SimServer> server_;
    uint16_t port_ = 0;
    std::string spool_;
    LOGIO log_;
};

TEST_F(RetrievalTest, WindowOfSeveralChannelsArrivesSampleExactWithRows) {
    StartServer();
    const double begin = std::floor(platNow()) - 3000.0 + 0.013;
    const double end = begin + 777.7;
    ScriptedHost host;
    RETRIEVAL_RESULT result;
    EXPECT_EQ(
        RetrievalThread(Input(begin, end, "+ANMO.BHZ.00+ANMO.BHN.  +KONO.LHZ.  "), host, &result),
        0);
    EXPECT_TRUE(result.complete);
    EXPECT_FALSE(result.runFailed);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.finished, 1);
    EXPECT_FALSE(host.waitCursor);
    EXPECT_TRUE(host.Saw("Decoding data"));
    EXPECT_TRUE(host.Saw("Writing wfdisc"));
    EXPECT_EQ(host.statuses.back(), "");
    for (auto [text, station, channel] :
         {std::tuple{"ANMO.BHZ.00", "ANMO", "BHZ"}, std::tuple{"ANMO.BHN", "ANMO", "BHN"},
          std::tuple{"KONO.LHZ", "KONO", "LHZ"}}) {
        const isisim::SimStream& s = Stream(text);
        ExpectStoredExactly(s, station, channel, s.indexAtOrAfter(begin), s.indexAtOrBefore(end));
    }
    ASSERT_EQ(result.results.size(), 3u);
    for (const GLEANER_RESULT_ENTRY& e : result.results) {
        EXPECT_GE(e.firstSample, begin);
        EXPECT_LE(e.lastSample, end);
        EXPECT_GT(e.sps, 0.0);
    }
    for (const KVR_FILELIST_ROW& r : Rows()) EXPECT_EQ(r.creater, "Gleaner");
    EXPECT_FALSE(SpoolStillOpen());
    EXPECT_TRUE(std::filesystem::is_empty(spool_));
}

TEST_F(RetrievalTest, RetryAfterTheServerIsBackContinuesWithoutHoleOrDuplicate) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    ScriptedHost host;
    StartServerThatGoesAway(host, 40);
    const double begin = std::floor(platNow()) - 3000.0;
    const double end = begin + 600.0;
    host.beforeAnswer = [this] { RestartServer(); };
    host.answers = {IoAnswer::Retry};
    RETRIEVAL_RESULT result;
    EXPECT_EQ(RetrievalThread(Input(begin, end, "+ANMO.BHZ.00+KONO.LHZ"), host, &result), 0);
    EXPECT_EQ(host.questions, 1);
    EXPECT_TRUE(result.complete);
    EXPECT_FALSE(result.runFailed);
    for (auto [text, station, channel] :
         {std::tuple{"ANMO.BHZ.00", "ANMO", "BHZ"}, std::tuple{"KONO.LHZ", "KONO", "LHZ"}}) {
        const isisim::SimStream& s = Stream(text);
        ExpectStoredExactly(s, station, channel, s.indexAtOrAfter(begin), s.indexAtOrBefore(end));
    }
}

TEST_F(RetrievalTest, IgnoreConvertsExactlyWhatArrived) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    ScriptedHost host;
    StartServerThatGoesAway(host, 30);
    const double begin = std::floor(platNow()) - 3000.0;
    const double end = begin + 1200.0;
    host.answers = {IoAnswer::Ignore};
    RETRIEVAL_RESULT result;
    EXPECT_EQ(RetrievalThread(Input(begin, end, "+ANMO.BHZ.00+KONO.LHZ"), host, &result), 0);
    EXPECT_EQ(host.questions, 1);
    EXPECT_FALSE(result.complete);
    EXPECT_FALSE(result.runFailed);
    for (auto [text, station, channel] :
         {std::tuple{"ANMO.BHZ.00", "ANMO", "BHZ"}, std::tuple{"KONO.LHZ", "KONO", "LHZ"}}) {
        const isisim::SimStream& s = Stream(text);
        const std::string key = std::string(station) + ":" + channel;
        ASSERT_TRUE(host.lastSeen.count(key)) << key;
        const int64_t last = s.indexAtOrBefore(host.lastSeen[key] + 0.0005);
        EXPECT_LT(last, s.indexAtOrBefore(end));
        ExpectStoredExactly(s, station, channel, s.indexAtOrAfter(begin), last);
    }
}

TEST_F(RetrievalTest, AbortLeavesNoSpoolAndNoOutput) {
    specs_ = {"ANMO.BHZ.00:20:20"};
    ScriptedHost host;
    StartServerThatGoesAway(host, 20);
    const double begin = std::floor(platNow()) - 3000.0;
    host.answers = {IoAnswer::Abort};
    host.beforeAnswer = [this] { EXPECT_TRUE(SpoolStillOpen()); };
    RETRIEVAL_RESULT result;
    EXPECT_EQ(RetrievalThread(Input(begin, begin + 1200.0, "+ANMO.BHZ.00"), host, &result), -1);
    EXPECT_TRUE(result.runFailed);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.finished, 1);
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(SpoolStillOpen());
    EXPECT_TRUE(std::filesystem::is_empty(spool_));
}

TEST_F(RetrievalTest, EmptyAnswerDecodesAndWritesNothing) {
    StartServer();
    // Older than the server's two hours of disk loop: request complete at once.
    const double begin = std::floor(platNow()) - 86400.0;
    ScriptedHost host;
    RETRIEVAL_RESULT result;
    EXPECT_EQ(RetrievalThread(Input(begin, begin + 60.0, "+ANMO.BHZ.00"), host, &result), 0);
    EXPECT_EQ(result.packets, 0u);
    EXPECT_FALSE(result.runFailed);  // the Results dialog is shown, with no entry
    EXPECT_TRUE(result.results.empty());
    EXPECT_EQ(host.statuses, (std::vector<std::string>{"Decoding data", "Decoding data",
                                                       "Writing wfdisc", "Writing wfdisc", ""}));
    // Each phase ends at 100%.
    EXPECT_EQ(std::count(host.progress.begin(), host.progress.end(), 100), 3);
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(Rows().empty());
}

TEST_F(RetrievalTest, FailuresEndTheRunWithTheirMessages) {
    StartServer();
    const double begin = std::floor(platNow()) - 3000.0;
    struct Case {
        const char* name;
        std::function<void(RETRIEVAL_INPUT&)> change;
        const char* message;
        int returnValue;
    } cases[] = {
        {"database", [](RETRIEVAL_INPUT& in) { in.connectString = "DSN=NOSUCHKVR;"; },
         "|KVR Database open error\n", -1},
        {"spool folder", [this](RETRIEVAL_INPUT& in) { in.spoolDirectory = dir_ + "/absent"; },
         "Siphon|Temporary file creation error|error", -1},
        {"no stream", [](RETRIEVAL_INPUT& in) { in.streams.clear(); },
         "Siphon|Alloc Simple Data Request error|error", 1},
        {"server", [this](RETRIEVAL_INPUT& in) { in.port = 1; },
         "Siphon|Initiate Data Request error: connection refused by 127.0.0.1:1 (nothing listens "
         "there)|error",
         1},
        // Checked before the request: a long fetch must not end with nowhere to put it.
        {"data directory", [this](RETRIEVAL_INPUT& in) { in.dataDirectory = dir_ + "/absent"; },
         nullptr, -1},
        {"catalogue without FILELIST",
         [this](RETRIEVAL_INPUT&) { db_.execute("alter table FILELIST rename to FILELIST_AWAY"); },
         "Siphon|KVR database FILELIST cannot be read: ", -1},
    };
    // The database case opens "KVR" through the connect string; the others use the test's.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHost host;
        RETRIEVAL_INPUT in = Input(begin, begin + 60.0, "+ANMO.BHZ.00");
        c.change(in);
        RETRIEVAL_RESULT result;
        EXPECT_EQ(RetrievalThread(in, host, &result), c.returnValue);
        EXPECT_TRUE(result.runFailed);
        ASSERT_EQ(host.messages.size(), 1u);
        const std::string expected = c.message ? c.message
                                               : "Siphon|no data directory: " + dir_ +
                                                     "/absent (--data-dir) does not exist|error";
        EXPECT_EQ(host.messages[0].substr(0, expected.size()), expected);
        EXPECT_EQ(host.finished, 1);
        EXPECT_EQ(result.packets, 0u);
    }
    db_.execute("alter table FILELIST_AWAY rename to FILELIST");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/absent"));
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(Rows().empty());
}

TEST_F(RetrievalTest, SpoolWriteFailureKeepsWhatWasSpooledConvertedAndRegistered) {
    specs_ = {"ANMO.BHZ.00:20:50"};
    StartServer();
    const double begin = std::floor(platNow()) - 3000.0;
    ScriptedHost host;
    RETRIEVAL_INPUT in = Input(begin, begin + 600.0, "+ANMO.BHZ.00");
    // Room for ten packets of up to 50 samples (112 + 200 bytes each) and part of an eleventh.
    in.spoolLimitBytesForTests = 10 * (112 + 200) + 150;
    RETRIEVAL_RESULT result;
    EXPECT_EQ(RetrievalThread(in, host, &result), 0);
    EXPECT_TRUE(result.runFailed);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Siphon|Temporary file write error|error"});
    EXPECT_EQ(host.finished, 1);
    const isisim::SimStream& s = Stream("ANMO.BHZ.00");
    const int64_t first = s.indexAtOrAfter(begin);
    // The first packet is cut at the window's start; nine whole ones follow it.
    ExpectStoredExactly(s, "ANMO", "BHZ", first, s.packetEnd(first) + 9 * 50);
}

TEST_F(RetrievalTest, ServerQueriesFillStationsAndTimesAndFailAtOnceWhenRefused) {
    StartServer();
    CStationMap map;
    ASSERT_TRUE(gleanerQueryConfiguration("127.0.0.1", port_, &log_, &map));
    ASSERT_EQ(map.Count(), 2u);
    CChannelEntry* lhz = map.FindChannel("KONO", "LHZ.  ");
    ASSERT_NE(lhz, nullptr);
    EXPECT_DOUBLE_EQ(lhz->sps, 1.0);
    EXPECT_EQ(lhz->tbeg, 0.0);
    EXPECT_EQ(map.Find("ANMO")->channels.size(), 2u);
    ASSERT_TRUE(gleanerQueryTimes("127.0.0.1", port_, &log_, &map));
    EXPECT_GT(lhz->tbeg, 0.0);
    EXPECT_GT(lhz->tend, lhz->tbeg);
    server_->stop();
    EXPECT_FALSE(gleanerQueryTimes("127.0.0.1", port_, &log_, &map));
    EXPECT_GT(lhz->tbeg, 0.0);  // a failed update keeps the times
    EXPECT_FALSE(gleanerQueryConfiguration("127.0.0.1", port_, &log_, &map));
    EXPECT_EQ(map.Count(), 0u);
}

class FetchTest : public RetrievalTest {
  protected:
    FETCH_OPTIONS Options(double begin, double end) {
        FETCH_OPTIONS options;
        options.server = "127.0.0.1:" + std::to_string(port_);
        options.begin = std::to_string(int64_t(begin));
        options.end = std::to_string(int64_t(end));
        options.dataDirectory = data_;
        options.spoolDirectory = spool_;
        options.kvrProfile = dir_ + "/kvr.ini";
        options.streams = {"ANMO.BHZ.00", "KONO.LHZ"};
        return options;
    }
    // Runs a fetch; its standard error is kept in err_.
    int Fetch(const FETCH_OPTIONS& options) {
        std::FILE* f = std::tmpfile();
        int status = gleanerFetch(options, f);
        std::rewind(f);
        err_.clear();
        char line[4096];
        while (std::fgets(line, sizeof line, f)) err_ += line;
        std::fclose(f);
        return status;
    }
    void ExpectFilesAndRowsAgree() {
        std::vector<KVR_CHECK_FINDING> findings;
        std::string error;
        ASSERT_TRUE(kvrCheckCatalog(db_, data_, &findings, &error)) << error;
        for (const KVR_CHECK_FINDING& f : findings) ADD_FAILURE() << f.cpath << ": " << f.detail;
    }
    std::string err_;
};

// Without a data directory nothing is asked of the server and nothing is written anywhere, the
// folder the fetch was started in included; the message is the store's, as in every program.
TEST_F(FetchTest, WithoutADataDirectoryNothingIsFetchedOrWritten) {
    specs_ = {"ANMO.BHZ.00:20:20"};
    StartServer();
    const std::string cwd = dir_ + "/cwd";
    std::filesystem::create_directories(cwd);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    { std::ofstream(dir_ + "/nodir.ini") << "[DATA]\n"; }
    { std::ofstream(dir_ + "/root.ini") << "[DATA]\nDIR=\\\n"; }
    const double begin = std::floor(platNow()) - 3000.0;
    const struct {
        std::string profile;
        const char* says;
    } cases[] = {{dir_ + "/none.ini", " not found"},
                 {dir_ + "/nodir.ini", "[DATA] DIR is not set in "},
                 {dir_ + "/root.ini", "names the root"}};
    for (const auto& c : cases) {
        FETCH_OPTIONS o = Options(begin, begin + 60.0);
        o.dataDirectory.clear();
        o.kvrProfile = c.profile;
        EXPECT_EQ(Fetch(o), kFetchUsage) << err_;
        EXPECT_NE(err_.find("gleaner fetch: no data directory: "), std::string::npos) << err_;
        EXPECT_NE(err_.find(c.says), std::string::npos) << err_;
    }
    std::filesystem::current_path(before);
    EXPECT_TRUE(std::filesystem::is_empty(cwd));
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_TRUE(Rows().empty());
}

// Every exit status, each with its line; a repeated fetch is complete and writes nothing.
TEST_F(FetchTest, EveryExitStatusIsReachedAndSaysWhy) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    StartServer();
    const double begin = std::floor(platNow()) - 3000.0;
    const FETCH_OPTIONS options = Options(begin, begin + 120.0);
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    EXPECT_EQ(Rows().size(), 2u);
    EXPECT_NE(err_.find("KONO.LHZ: received 121 samples"), std::string::npos) << err_;
    EXPECT_NE(err_.find("warning: the rows will be relative to"), std::string::npos) << err_;
    const auto files = Files();
    const auto rows = Rows();
    // The window is stored whole: the server is not asked again.
    const size_t asked = server_->requests().size();
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    EXPECT_EQ(server_->requests().size(), asked);
    EXPECT_NE(err_.find("ANMO.BHZ.00: already stored whole, nothing asked"), std::string::npos)
        << err_;
    EXPECT_EQ(Files(), files);
    ASSERT_EQ(Rows().size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(Rows()[i].lddate, rows[i].lddate);

    struct Case {
        const char* name;
        std::function<void(FETCH_OPTIONS&)> change;
        int status;
        const char* says;
    } cases[] = {
        {"unsafe stream", [](FETCH_OPTIONS& o) { o.streams = {"ANMO/BHZ"}; }, kFetchUsage,
         "bad stream: stream \"ANMO/BHZ\": STA.CHN[.LOC] expected"},
        {"hostile stream name", [](FETCH_OPTIONS& o) { o.streams = {"AB\nC.BHZ"}; }, kFetchUsage,
         "bad stream: stream \"AB\\nC.BHZ\": station code \"AB\\nC\" holds a character"},
        {"a fourth part", [](FETCH_OPTIONS& o) { o.streams = {"ANMO.BHZ.00.X"}; }, kFetchUsage,
         "a fourth part \"X\""},
        {"an over-long code", [](FETCH_OPTIONS& o) { o.streams = {"ANMO.BHZZ"}; }, kFetchUsage,
         "channel code \"BHZZ\" is longer than 3 characters"},
        {"empty window", [](FETCH_OPTIONS& o) { o.end = o.begin; }, kFetchUsage,
         "Wrong time interval"},
        {"bad time", [](FETCH_OPTIONS& o) { o.begin = "yesterday"; }, kFetchUsage,
         "ISO 8601 UTC (2026-12-08T10:00:00Z), now, now-SECONDS"},
        {"data directory under a file",
         [this](FETCH_OPTIONS& o) { o.dataDirectory = dir_ + "/kvr.ini/data"; }, kFetchUsage,
         "cannot make the data directory"},
        {"a stream the server lacks, among others",
         [](FETCH_OPTIONS& o) { o.streams.push_back("NONE.BHZ"); }, kFetchPartial,
         "NONE.BHZ: the server has no such stream"},
        {"outside the disk loop",
         [begin](FETCH_OPTIONS& o) {
             o.begin = std::to_string(int64_t(begin - 86400.0));
             o.end = std::to_string(int64_t(begin - 86000.0));
         },
         kFetchNothing, "gleaner fetch: nothing received (exit 3)"},
        {"new folder", [this](FETCH_OPTIONS& o) { o.dataDirectory = dir_ + "/new/data"; },
         kFetchComplete, "complete (exit 0)"},
        {"server gone, asked for what is not stored",
         [this, begin](FETCH_OPTIONS& o) {
             o.server = "127.0.0.1:1";
             o.end = std::to_string(int64_t(begin + 180.0));
         },
         kFetchFailed, "Initiate Data Request error: connection refused by 127.0.0.1:1"},
    };
    { std::ofstream(dir_ + "/kvr.ini") << "[DATA]\nDIR=" << data_ << "\n"; }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FETCH_OPTIONS o = options;
        c.change(o);
        EXPECT_EQ(Fetch(o), c.status) << err_;
        EXPECT_NE(err_.find(c.says), std::string::npos) << err_;
        // The catalogue's data directory is data_ now: only another folder is warned of.
        EXPECT_EQ(err_.find("warning") != std::string::npos, c.status == kFetchComplete) << err_;
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/new/data/ANMO"));
    // A catalogue without FILELIST: nothing is fetched or written.
    ASSERT_TRUE(kvrSqlOk(db_.execute("drop table FILELIST")));
    EXPECT_EQ(Fetch(options), kFetchFailed) << err_;
    EXPECT_NE(err_.find("FILELIST cannot be read"), std::string::npos) << err_;
    EXPECT_EQ(Files(), files);
}

// A window whose stream has holes in its stored files is fetched hole by hole, one request a
// round, together with a stream that has nothing stored; afterwards every sample is stored once.
TEST_F(FetchTest, ARefetchAsksOnlyForWhatTheStoredFilesLack) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    StartServer();
    const double begin = std::floor(platNow()) - 3000.0;
    FETCH_OPTIONS options = Options(begin, begin + 100.0);
    options.streams = {"ANMO.BHZ.00"};
    ASSERT_EQ(Fetch(options), kFetchComplete) << err_;
    options.begin = std::to_string(int64_t(begin + 110.0));
    options.end = std::to_string(int64_t(begin + 200.0));
    ASSERT_EQ(Fetch(options), kFetchComplete) << err_;
    options.begin = std::to_string(int64_t(begin + 215.0));
    options.end = std::to_string(int64_t(begin + 300.0));
    ASSERT_EQ(Fetch(options), kFetchComplete) << err_;

    const size_t before = server_->requests().size();
    options = Options(begin, begin + 300.0);
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    const std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_EQ(requests.size(), before + 2) << err_;
    const std::vector<ISI_TWIND_ITEM>& first = requests[before].items;
    const std::vector<ISI_TWIND_ITEM>& second = requests[before + 1].items;
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    // The samples 100.05 .. 109.95 and 200.05 .. 214.95 s after the start, and the whole window
    // of the stream with nothing stored.
    EXPECT_NEAR(first[0].beg, begin + 100.025, 1e-6);
    EXPECT_NEAR(first[0].end, begin + 109.975, 1e-6);
    EXPECT_STREQ(first[1].name.sta, "KONO");
    EXPECT_DOUBLE_EQ(first[1].beg, begin);
    EXPECT_DOUBLE_EQ(first[1].end, begin + 300.0);
    EXPECT_NEAR(second[0].beg, begin + 200.025, 1e-6);
    EXPECT_NEAR(second[0].end, begin + 214.975, 1e-6);
    EXPECT_NE(err_.find("ANMO.BHZ.00: received 498 samples"), std::string::npos) << err_;
    ExpectFilesAndRowsAgree();
    const isisim::SimStream& bhz = Stream("ANMO.BHZ.00");
    ExpectStoredExactly(bhz, "ANMO", "BHZ", bhz.indexAtOrAfter(begin),
                        bhz.indexAtOrBefore(begin + 300.0));
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    EXPECT_EQ(server_->requests().size(), before + 2);

    // A row shorter than its file (a run stopped between an append and the row): the file's
    // stretch is asked for again, and the row put right.
    const std::string cpath = Rows().front().cpath;
    ASSERT_TRUE(
        kvrSqlOk(db_.execute("update FILELIST set TQTY=TQTY-50 where CPATH='" + cpath + "'")));
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    EXPECT_EQ(server_->requests().size(), before + 3);
    ExpectFilesAndRowsAgree();
}

// A stop while receiving keeps what arrived; one while converting ends it with what is converted
// and says what is not. Either way files and rows agree, the status names the signal, and the
// same fetch again completes the window.
TEST_F(FetchTest, StopSignalsKeepWhatArrivedWithFilesAndRowsAgreeing) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    StartServer();
    const double begin = std::floor(platNow()) - 3600.0;
    FETCH_OPTIONS options = Options(begin, begin + 1800.0);
    int packets = 0;
    options.onStatusForTests = [&packets](const std::string& status) {
        if (status.find(':') == 4 && ++packets == 1) raise(SIGINT);
    };
    EXPECT_EQ(Fetch(options), kFetchStoppedBase + SIGINT) << err_;
    EXPECT_NE(err_.find("stopped by signal 2"), std::string::npos) << err_;
    ExpectFilesAndRowsAgree();
    std::vector<KVR_FILELIST_ROW> rows = Rows();
    ASSERT_FALSE(rows.empty());
    const isisim::SimStream& bhz = Stream("ANMO.BHZ.00");
    double stored = 0.0;
    for (const KVR_FILELIST_ROW& r : rows)
        if (r.ch == "BHZ") stored += r.tqty;
    ASSERT_GT(stored, 0.0);
    EXPECT_LT(stored, 1800.0);
    ExpectStoredExactly(bhz, "ANMO", "BHZ", bhz.indexAtOrAfter(begin),
                        bhz.indexAtOrAfter(begin) + int64_t(stored * 20.0 + 0.5) - 1);

    EXPECT_NE(err_.find("gleaner: stopping: storing the "), std::string::npos) << err_;

    bool sent = false;  // a second SIGTERM would end the program, as it should
    options.onStatusForTests = [&sent](const std::string& status) {
        if (status == kDecodingStatus && !sent) sent = raise(SIGTERM) == 0;
    };
    EXPECT_EQ(Fetch(options), kFetchStoppedBase + SIGTERM) << err_;
    EXPECT_NE(err_.find("stopped by signal 15 while converting"), std::string::npos) << err_;
    EXPECT_NE(err_.find("the rest is not stored"), std::string::npos) << err_;
    ExpectFilesAndRowsAgree();
    options.onStatusForTests = nullptr;
    EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
    ExpectFilesAndRowsAgree();
    ExpectStoredExactly(bhz, "ANMO", "BHZ", bhz.indexAtOrAfter(begin),
                        bhz.indexAtOrBefore(begin + 1800.0));
}

// A SIGKILL at whatever moment (receiving, between a file and its row, in an append): the same
// fetch again leaves every sample stored once, with files and rows agreeing.
TEST_F(FetchTest, AfterASigkillAtAnyMomentTheSameFetchMendsFilesAndRows) {
    specs_ = {"ANMO.BHZ.00:20:20", "KONO.LHZ:1:10"};
    StartServer();
    const double begin = std::floor(platNow()) - 7000.0;
    const isisim::SimStream& bhz = Stream("ANMO.BHZ.00");
    const isisim::SimStream& lhz = Stream("KONO.LHZ");
    // The child kills itself this long after its conversion began.
    for (uint32_t killAfterMs : {0u, 2u, 5u, 10u, 20u}) {
        SCOPED_TRACE(killAfterMs);
        FETCH_OPTIONS options = Options(begin, begin + 6000.0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            options.onStatusForTests = [killAfterMs](const std::string& status) {
                if (status != kDecodingStatus) return;
                std::thread([killAfterMs] {
                    platSleepMs(killAfterMs);
                    kill(getpid(), SIGKILL);
                }).detach();
            };
            std::FILE* quiet = std::fopen("/dev/null", "w");
            gleanerFetch(options, quiet);
            for (;;) pause();  // a conversion quicker than the delay still ends by the kill
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        options.onStatusForTests = nullptr;
        EXPECT_EQ(Fetch(options), kFetchComplete) << err_;
        ExpectFilesAndRowsAgree();
        ExpectStoredExactly(bhz, "ANMO", "BHZ", bhz.indexAtOrAfter(begin),
                            bhz.indexAtOrBefore(begin + 6000.0));
        ExpectStoredExactly(lhz, "KONO", "LHZ", lhz.indexAtOrAfter(begin),
                            lhz.indexAtOrBefore(begin + 6000.0));
        std::filesystem::remove_all(data_);
        std::filesystem::create_directory(data_);
        db_.execute("delete from FILELIST");
    }
}

// A server that lies: it sends streams nobody asked for (one of them with a name no file could
// take) beside the ones asked for, as 32-bit integers and 64-bit floats. Only what was asked is
// stored, every value as the float nearest to it, and the rest is refused by name.
TEST_F(FetchTest, OnlyWhatWasAskedIsStoredEachValueByItsType) {
    const double t0 = 1600000000.0;
    const std::vector<int32_t> ints = {-7, 0, 16777217, 123456789};
    const std::vector<double> reals = {6.109, -0.1, 1e-300, 3.5};
    auto packet = [t0](const char* sta, const char* chn, const char* loc, uint8_t type,
                       const std::vector<uint8_t>& data, uint32_t nsamp) {
        ISI_TS_PACKET h = isitest::makeHeader(sta, chn, loc, 20, 1, t0, nsamp);
        h.compress = ISI_COMP_NONE;
        h.order = 1;
        h.datatype = type;
        return isitest::payloadOf(h, data);
    };
    std::vector<uint8_t> realBytes;
    for (double v : reals) {
        uint8_t b[8];
        utilPackREAL64(b, v);
        realBytes.insert(realBytes.end(), b, b + 8);
    }
    iacptest::IacpPeer peer;
    peer.start([&](iacptest::IacpPeer& p) {
        // The configuration list first: the fetch expands "HOS.*.*" against it.
        ASSERT_TRUE(isitest::answerCnfList(p, {"HOS.BHZ", "HOS.BHN.00"}));
        isitest::WireRequest request;
        ASSERT_TRUE(isitest::acceptRequest(p, &request));
        EXPECT_EQ(request.twind.size(), 2u);
        EXPECT_TRUE(p.sendFrame(ISI_IACP_GENERIC_TS,
                                packet("HOS", "BHZ", "", ISI_TYPE_INT32, isitest::bigEndian32(ints),
                                       uint32_t(ints.size()))));
        EXPECT_TRUE(p.sendFrame(ISI_IACP_GENERIC_TS,
                                packet("LONGSTA", "LHZ", "00", ISI_TYPE_INT32,
                                       isitest::bigEndian32(ints), uint32_t(ints.size()))));
        EXPECT_TRUE(p.sendFrame(ISI_IACP_GENERIC_TS, packet("HOS", "BHN", "00", ISI_TYPE_REAL64,
                                                            realBytes, uint32_t(reals.size()))));
        EXPECT_TRUE(p.sendFrame(ISI_IACP_GENERIC_TS,
                                packet("%n%s%n", "%N%", ".%", ISI_TYPE_INT32,
                                       isitest::bigEndian32(ints), uint32_t(ints.size()))));
        EXPECT_TRUE(isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE));
        p.waitForClientClose();
    });
    port_ = peer.port();
    FETCH_OPTIONS options = Options(t0, t0 + 10.0);
    options.streams = {"HOS.*.*"};
    // Four samples of a ten-second window: partial, and truthfully so.
    EXPECT_EQ(Fetch(options), kFetchPartial) << err_;
    peer.join();
    EXPECT_NE(err_.find("LONGSTA.LHZ.00: not asked for, 1 packets (4 samples) refused, nothing "
                        "stored"),
              std::string::npos)
        << err_;
    EXPECT_NE(err_.find("%n%s%n.%N%..%: not asked for"), std::string::npos) << err_;
    std::vector<KVR_FILELIST_ROW> rows = Rows();
    ASSERT_EQ(rows.size(), 2u) << err_;
    std::map<std::string, std::vector<float>> stored;
    for (const KVR_FILELIST_ROW& r : rows) stored[r.sta + "." + r.ch] = Samples(r.cpath);
    std::vector<float> intFloats, realFloats;
    for (int32_t v : ints) intFloats.push_back(float(v));
    for (double v : reals) realFloats.push_back(float(v));
    EXPECT_EQ(stored["HOS.BHZ"], intFloats);
    EXPECT_EQ(stored["HOS.BHN"], realFloats);
    EXPECT_EQ(Files().size(), 2u);
}

// A stop signal ends gleaner fetch within a second wherever it is, with 128 + the signal and a
// line that says where it stopped and what it keeps.
TEST_F(FetchTest, EndsWithinASecondOfTheSignalInEveryState) {
    specs_ = {"ANMO.BHZ:50:100", "ANMO.BHN:50:100", "ANMO.BHE:50:100", "ANMO.VHZ:0.1:100"};
    StartServer();
    isisim::SimServerOptions stalling;
    stalling.port = 0;
    isisim::SimFault stall;
    ASSERT_TRUE(isisim::simParseFault("stall:5:120:100", &stall, nullptr));
    stalling.faults.push_back(stall);
    std::vector<isisim::SimStream> streams = server_->streams();
    isisim::SimServer stalled(streams, stalling);
    std::string error;
    ASSERT_TRUE(stalled.start(&error)) << error;
    PLAT_SOCKET silent = platListenTcp("127.0.0.1", 0, 4);
    ASSERT_NE(silent, PLAT_INVALID_SOCKET);
    const auto at = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
    const int64_t now = int64_t(platNow());
    const auto t = [now](int64_t offset) { return std::to_string(now + offset); };

    struct State {
        const char* name;
        std::string server;
        std::string begin, end;
        std::string stream;
        const char* cue;  // on standard error
        int pauseMs;
    };
    const State states[] = {
        {"connecting", at(platLocalPort(silent)), t(-600), t(-500), "ANMO.BHZ", "", 1200},
        {"stalled server", at(stalled.port()), t(-3600), t(-60), "ANMO.BHZ", "", 1200},
        {"heartbeats only", at(port_), t(-5), t(600), "ANMO.VHZ", "", 1200},
        {"window in the future", at(port_), t(60), t(120), "ANMO.BHZ", "", 1200},
        {"receiving", at(port_), t(-30), t(600), "ANMO.BH?", "", 1500},
        {"converting", at(port_), t(-7000), t(-60), "ANMO.BH?", "Decoding data", 0},
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.name);
        stoptest::StopRun run = stoptest::runAndStop(
            {GLEANER_EXE, "fetch", "--server", state.server, "--begin", state.begin, "--end",
             state.end, "--data-dir", data_, state.stream},
            state.cue, state.pauseMs, SIGINT, 60000);
        ASSERT_TRUE(run.started);
        EXPECT_TRUE(run.sawCue) << run.err;
        EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
        EXPECT_LT(run.secondsToExit, 1.0) << run.err;
        EXPECT_NE(run.err.find("gleaner fetch: stopped by signal 2 while"), std::string::npos)
            << run.err;
        ExpectFilesAndRowsAgree();
    }
    platCloseSocket(silent);
    stalled.stop();
}

}  // namespace
