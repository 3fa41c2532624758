// The recording logic without a network: runs, files, rows and resume times for packet streams
// fed straight into the recorder.
#include "rillet/recorder.h"

#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <map>

#include "kvr/kvrfile.h"
#include "platform/profile.h"
#include "rillet/log.h"
#include "rillet/settings.h"
#include "rillet_test_support.h"

using rillet_test::AnyLineHas;
using rillet_test::LogLines;
using rillet_test::ReadText;
using rillet_test::ScratchDir;
using rillet_test::WriteText;

namespace {

constexpr double kT0 = 1136206800.0;  // 2006-01-02 13:00:00 UTC

// The value a synthetic stream carries at sample index k (k = time * rate).
int32_t ValueAt(int64_t k) {
    return static_cast<int32_t>((k * 7919) % 200003) - 100000;
}

struct Call {
    std::string what;  // "register" or "update"
    std::string cpath;
    double tbegin;
    double tqty;
};

class WatchedCatalogue : public CFileCatalogue {
  public:
    std::vector<Call> calls;
    int trims = 0;
    void TrimDiskLoop(const std::string&, uint32_t) override { ++trims; }
    bool RegisterNewFile(const std::string& cpath, const std::string&, double tbegin, double tqty,
                         double, const std::string&, const std::string&, double, double) override {
        calls.push_back({"register", cpath, tbegin, tqty});
        return true;
    }
    CRowUpdate UpdateFileRow(const std::string& cpath, const std::string&, double tbegin,
                             double tqty, const std::string&, const std::string&) override {
        calls.push_back({"update", cpath, tbegin, tqty});
        return CRowUpdate::Done;
    }
};

double Rate(const std::string& sta, const std::string& chan, const std::string& loc) {
    static const std::map<std::string, double> rates = {
        {"abc BHZ ??", 20}, {"abc BHN 00", 20}, {"abc LHZ ??", 1}};
    auto it = rates.find(sta + " " + chan + " " + loc);
    return it == rates.end() ? 0 : it->second;
}

struct Rig {
    ScratchDir dir;
    CRilletLog log;
    WatchedCatalogue catalogue;
    std::unique_ptr<CRilletSettings> settings;
    std::unique_ptr<CRecorder> recorder;
    std::vector<float> buffer;

    explicit Rig(int fileLengthMin = 60) {
        WriteText(dir.Path("rillet.ini"),
                  "[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nSIZEMB=10\nFILELENGTH(MIN)=" +
                      std::to_string(fileLengthMin) +
                      "\nCHAN=BHZ,BHN.00,LHZ\n[LOG]\nDIR=" + dir.Path("log") + "\n");
        WriteText(dir.Path("KVR.ini"), "[DATA]\nDIR=" + dir.Path("data") + "\\\n");
        std::filesystem::create_directories(dir.Path("data"));
        settings =
            std::make_unique<CRilletSettings>(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        settings->LoadSettings(Rate);
        recorder = std::make_unique<CRecorder>(*settings, catalogue, log);
        recorder->PrepareChannels();
    }

    // Feeds one packet of n synthetic samples starting at sample index k0.
    // The configuration of the channel the packet went to, or none.
    const CChannelConfig* Feed(const char* chan, const char* loc, double rate, int64_t k0, int n) {
        buffer.resize(n);
        for (int i = 0; i < n; ++i) buffer[i] = static_cast<float>(ValueAt(k0 + i));
        CRecorderPacket p;
        p.station = "ABC";
        p.channel = chan;
        p.location = loc;
        p.interval = 1.0 / rate;
        p.firstTime = k0 / rate;
        p.lastTime = (k0 + n - 1) / rate;
        p.sampleCount = n;
        p.samples = buffer.data();
        p.dataBytes = n * sizeof(float);
        size_t g = 0, c = 0;
        if (!recorder->HandlePacket(p, &g, &c)) return nullptr;
        return &settings->Groups()[g].channels[c];
    }

    std::string Full(const std::string& cpath) { return settings->DataPath(cpath); }

    // Checks that the file holds exactly the stream's samples from its first-sample time on.
    void ExpectStreamFile(const std::string& cpath, double tbegin, double rate, uint64_t count) {
        KVR_FILE_INFO info;
        std::vector<float> samples;
        std::string error;
        ASSERT_TRUE(kvrReadFile(Full(cpath), &info, &samples, &error)) << error;
        ASSERT_EQ(samples.size(), count) << cpath;
        int64_t k0 = std::llround(tbegin * rate);
        for (size_t i = 0; i < samples.size(); ++i)
            ASSERT_EQ(samples[i], static_cast<float>(ValueAt(k0 + i))) << cpath << " @" << i;
    }
};

}  // namespace

TEST(RilletRecorder, OneSamplePerSecondIsWrittenPacketByPacket) {
    Rig rig;
    const int64_t k0 = static_cast<int64_t>(kT0);
    for (int p = 0; p < 4; ++p) rig.Feed("LHZ", "  ", 1, k0 + p * 10, 10);
    auto& calls = rig.catalogue.calls;
    ASSERT_EQ(calls.size(), 3u);  // the fourth packet is still pending
    EXPECT_EQ(calls[0].what, "register");
    EXPECT_EQ(calls[1].what, "update");
    EXPECT_DOUBLE_EQ(calls[2].tqty, 30);
    rig.ExpectStreamFile(calls[0].cpath, kT0, 1, 30);
}

// A gap starts a new run and a new file; the samples of an overlap are stored once: what lies
// before the channel's next time is left out and the rest continues the run.
TEST(RilletRecorder, GapsStartNewFilesAndOverlapsAreNotStoredTwice) {
    Rig rig;
    const double rate = 20;
    const int64_t k0 = static_cast<int64_t>(kT0 * rate);
    auto& calls = rig.catalogue.calls;
    rig.Feed("BHZ", "  ", rate, k0, 100);        // run [0,5)
    rig.Feed("BHZ", "  ", rate, k0 + 200, 100);  // gap: [0,5) written, run [10,15)
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cpath, "abc\\13\\02012006-130000-BHZ.abc");
    rig.Feed("BHZ", "  ", rate, k0 + 300, 100);  // continues: run [10,20)
    rig.Feed("BHZ", "  ", rate, k0 + 340, 100);  // overlap of 3 s: [20,22) continues the run
    rig.Feed("BHZ", "  ", rate, k0 + 340, 100);  // the same packet again: nothing new
    rig.Feed("BHZ", "  ", rate, k0 + 440, 100);  // continues [10,27)
    EXPECT_EQ(calls.size(), 1u);
    rig.Feed("BHZ", "  ", rate, k0 + 700, 100);  // gap: [10,27) becomes a new file; run [35,40)
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].what, "register");
    EXPECT_DOUBLE_EQ(calls[1].tbegin, kT0 + 10);
    EXPECT_DOUBLE_EQ(calls[1].tqty, 17);
    rig.ExpectStreamFile(calls[1].cpath, kT0 + 10, rate, 340);
    rig.Feed("BHZ", "  ", rate, k0 + 800, 100);  // run [35,45) becomes the third file at the stop
    rig.recorder->FlushAll();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_DOUBLE_EQ(calls[2].tbegin, kT0 + 35);
    rig.Feed("BHZ", "  ", rate, k0 + 900, 100);  // starts at that file's end: appended
    rig.recorder->FlushAll();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3].what, "update");
    EXPECT_EQ(calls[3].cpath, calls[2].cpath);
    EXPECT_DOUBLE_EQ(calls[3].tqty, 15);
    rig.ExpectStreamFile(calls[2].cpath, kT0 + 35, rate, 300);
}

TEST(RilletRecorder, PacketsFindTheirChannelOnly) {
    Rig rig;
    int64_t k = static_cast<int64_t>(kT0 * 20);
    struct Case {
        const char* chan;
        const char* loc;
        const char* expected;  // "BHZ", "BHN" or "" for dropped
    } cases[] = {{"BHZ", "  ", "BHZ"}, {"bhz", "  ", "BHZ"}, {"BHZ", "", ""},   {"BHZ", "00", ""},
                 {"BHN", "00", "BHN"}, {"BHN", "  ", ""},    {"BHE", "  ", ""}, {"BH", "  ", ""}};
    for (const auto& c : cases) {
        k += 10;  // each packet new to whichever channel takes it
        const CChannelConfig* ch = rig.Feed(c.chan, c.loc, 20, k, 10);
        EXPECT_EQ(ch ? ch->channel : std::string(), c.expected) << c.chan << "." << c.loc;
    }
}

TEST(RilletRecorder, UnsoundPacketsAreDroppedWithOneLogLinePerChannel) {
    Rig rig;
    float samples[10] = {};
    const double nan = std::nan("");
    struct Case {
        int64_t count;
        size_t bytes;
        double interval, first, last;
    } cases[] = {{0, 40, 0.05, kT0, kT0},          {10, 40, nan, kT0, kT0 + 1},
                 {10, 40, 0, kT0, kT0 + 1},        {10, 40, -0.05, kT0, kT0 + 1},
                 {10, 40, 0.05, 0, 0.45},          {10, 40, 0.05, INFINITY, INFINITY},
                 {10, 40, 0.05, kT0, nan},         {10, 39, 0.05, kT0, kT0 + 0.45},
                 {10, 40, 1e300 * 1e300, kT0, kT0}};
    for (const auto& c : cases) {
        CRecorderPacket p{"abc",  "BHZ",   "  ",    c.interval, c.first,
                          c.last, c.count, samples, c.bytes};
        EXPECT_FALSE(rig.recorder->HandlePacket(p));
    }
    // A packet whose type holds no plain samples is refused with its type, once for LHZ too.
    for (int n = 0; n < 2; ++n) {
        CRecorderPacket p{"abc", "LHZ", "  ", 1.0, kT0, kT0 + 9, 10, nullptr, 0, "a native format"};
        EXPECT_FALSE(rig.recorder->HandlePacket(p));
    }
    rig.recorder->FlushAll();
    EXPECT_TRUE(rig.catalogue.calls.empty());
    auto lines = LogLines(rig.dir.Path("log"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("refused") != l.npos; }),
              2);
    EXPECT_TRUE(AnyLineHas(lines, "LHZ refused: its samples are a native format, which cannot"));
}

TEST(RilletRecorder, PacketsLargerThanTheConversionAreaAreRecordedWhole) {
    Rig rig;
    const int64_t k0 = static_cast<int64_t>(kT0 * 20);
    ASSERT_NE(rig.Feed("BHZ", "  ", 20, k0, 10000), nullptr);
    rig.recorder->FlushAll();
    auto& calls = rig.catalogue.calls;
    ASSERT_FALSE(calls.empty());
    EXPECT_DOUBLE_EQ(calls.back().tqty, 500);
    rig.ExpectStreamFile(calls[0].cpath, kT0, 20, 10000);
}

TEST(RilletRecorder, FailedWritesLeaveFileRowAndResumeTimeAsTheyWere) {
    Rig rig;
    const int64_t k0 = static_cast<int64_t>(kT0 * 20);
    auto& calls = rig.catalogue.calls;
    rig.Feed("BHZ", "  ", 20, k0, 100);
    rig.Feed("BHZ", "  ", 20, k0 + 200, 100);  // writes [0,5) as a new file
    ASSERT_EQ(calls.size(), 1u);
    std::string full = rig.Full(calls[0].cpath);
    rig.recorder->FlushAll();  // [10,15): second file
    ASSERT_EQ(calls.size(), 2u);
    std::string second = rig.Full(calls[1].cpath);
    int64_t resume = rig.settings->ReadResumeTime(0, 0);
    uintmax_t size = std::filesystem::file_size(second);

    // A full disk: the file may grow by only 100 bytes, the append of 2000 does not fit.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = size + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    rig.Feed("BHZ", "  ", 20, k0 + 300, 100);
    rig.recorder->FlushAll();
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(std::filesystem::file_size(second), size);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(rig.settings->ReadResumeTime(0, 0), resume);
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "File write error '" + second + "'"));

    // The current file gone from disk (say, trimmed away): "File open error", and the run
    // begins a new file rather than being lost with every later one.
    std::filesystem::remove(second);
    rig.Feed("BHZ", "  ", 20, k0 + 300, 100);
    rig.recorder->FlushAll();
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "File open error '" + second + "'"));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].what, "register");
    EXPECT_DOUBLE_EQ(calls[2].tbegin, kT0 + 15);
    EXPECT_EQ(rig.settings->ReadResumeTime(0, 0), static_cast<int64_t>(kT0) + 20);
    EXPECT_TRUE(std::filesystem::exists(full));

    // A settings file that cannot be written: the data still goes into its file and row, and
    // one log line (not one a run) says that the resume time could not be stored.
    std::filesystem::remove(rig.dir.Path("rillet.ini"));
    std::filesystem::create_directory(rig.dir.Path("rillet.ini"));
    for (int64_t k = k0 + 400; k <= k0 + 600; k += 100) {
        rig.Feed("BHZ", "  ", 20, k, 100);
        rig.recorder->FlushAll();
    }
    EXPECT_EQ(calls.size(), 6u);
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) {
                                return line.find("Resume time write error") != std::string::npos;
                            }),
              1);
}

TEST(RilletRecorder, ResumeTimesAreStoredTogetherAndCatchUpAfterAFailedStore) {
    Rig rig;
    const int64_t k0 = static_cast<int64_t>(kT0);
    auto stored = [&](const char* key) {
        return std::atoll(
            platGetProfileString("GROUP1", key, "0", rig.dir.Path("rillet.ini")).c_str());
    };
    // The first write is stored at once; the writes that follow within the second wait for the
    // next store, so the file says more than the settings, never less.
    for (int p = 0; p < 3; ++p) rig.Feed("LHZ", "  ", 1, k0 + p * 10, 10);
    rig.Feed("BHZ", "  ", 20, k0 * 20, 100);
    rig.Feed("BHZ", "  ", 20, k0 * 20 + 200, 100);
    EXPECT_EQ(stored("LHZ"), k0 + 10);
    EXPECT_EQ(stored("BHZ"), 0);

    // A settings file that cannot be replaced: one log line, whatever the number of stores.
    const std::string ini = ReadText(rig.dir.Path("rillet.ini"));
    std::filesystem::remove(rig.dir.Path("rillet.ini"));
    std::filesystem::create_directory(rig.dir.Path("rillet.ini"));
    rig.Feed("LHZ", "  ", 1, k0 + 30, 10);
    rig.recorder->FlushAll();
    rig.recorder->FlushAll();
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) {
                                return line.find("Resume time write error") != std::string::npos;
                            }),
              1);

    // Writable again: the next store holds the newest time of every channel, also of those
    // written while it failed.
    std::filesystem::remove(rig.dir.Path("rillet.ini"));
    WriteText(rig.dir.Path("rillet.ini"), ini);
    rig.recorder->FlushAll();
    EXPECT_EQ(stored("LHZ"), k0 + 40);
    EXPECT_EQ(stored("BHZ"), k0 + 15);
}
