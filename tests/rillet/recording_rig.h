// The recorder end to end: the worker against the stand-in ISI server on loopback, writing KVR
// files and FILELIST rows into a scratch folder and a real catalogue, with every sample checked
// against the server's formula.
#pragma once
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "isi/isi.h"
#include "kvr/kvrfile.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "rillet/worker.h"
#include "rillet_catalogue_support.h"
#include "server/server.h"
#include "server/synthetic.h"

namespace rillet_test {

inline constexpr double kGenerousWaitSeconds = 90;

// A stream name with NUL-padded fields (the codes fit their fields).
inline ISI_STREAM_ID Name(const char* sta, const char* chn, const char* loc) {
    ISI_STREAM_ID id{};
    std::memcpy(id.sta, sta, std::min<size_t>(std::strlen(sta), ISI_STALEN));
    std::memcpy(id.chn, chn, std::min<size_t>(std::strlen(chn), ISI_CHNLEN));
    std::memcpy(id.loc, loc, std::min<size_t>(std::strlen(loc), ISI_LOCLEN));
    return id;
}

class QuietView : public CRecorderView {
  public:
    void SetStatusLine(const std::string&) override {}
    void SetLastCountTime(size_t, size_t, const std::string&) override {}
};

struct Channel {
    const char* chan;
    const char* loc;  // "" for none
    double rate;
    int perPacket;
    ISI_STREAM_ID name;
    double sitechanRate = 0;  // SITECHAN's rate when it is not the stream's
    const isisim::SimStream* stored = nullptr;  // served instead of the synthetic stream
};

// One recording set-up: server, settings files, catalogue; Record() runs the worker once, as one
// start of the program, until a condition holds.
struct RecordingRig {
    ScratchDir dir;
    std::vector<Channel> channels = {{"BHZ", "", 20, 100, Name("ABC", "BHZ", "  ")},
                                     {"BHN", "00", 20, 100, Name("ABC", "BHN", "00")},
                                     {"LHZ", "", 1, 10, Name("ABC", "LHZ", "  ")}};
    std::unique_ptr<isisim::SimServer> server;
    double start = 0;  // where the 20 sps channels' resume times begin

    // channelList replaces the three channels above when given.
    explicit RecordingRig(std::vector<isisim::SimFault> faults = {}, int sizeMb = 100,
                          double hoursBack = 2, std::vector<Channel> channelList = {}) {
        if (!channelList.empty()) channels = std::move(channelList);
        isiSetReconnectPauseForTests(50);
        std::vector<isisim::SimStream> streams;
        for (const auto& c : channels)
            streams.push_back(c.stored != nullptr
                                  ? *c.stored
                                  : isisim::SimStream::synthetic(
                                        c.name, isisim::SimRate{static_cast<int32_t>(c.rate), 1},
                                        c.perPacket, 86400));
        streams.push_back(isisim::SimStream::synthetic(Name("ABC", "BHE", "  "),
                                                       isisim::SimRate{20, 1}, 100, 86400));
        isisim::SimServerOptions options;
        options.port = 0;
        options.faults = std::move(faults);
        server = std::make_unique<isisim::SimServer>(std::move(streams), options);
        std::string error;
        if (!server->start(&error)) ADD_FAILURE() << error;

        // Resume times an hour or two back on a packet boundary; the 1 sps channel ten minutes.
        double now = platNow();
        start = std::floor((now - hoursBack * 3600) / 5) * 5;
        double lowStart = std::floor((now - 600) / 10) * 10;
        // Every channel with its resume time, and BHE, which has no SITECHAN rate.
        std::string chan, resume;
        for (const auto& c : channels) {
            const std::string key = std::string(c.chan) + (*c.loc ? std::string(".") + c.loc : "");
            chan += key + ",";
            resume += key + "=" + std::to_string(int64_t(c.rate >= 20 ? start : lowStart)) + "\n";
        }
        char ini[1024];
        std::snprintf(ini, sizeof ini,
                      "[SYSTEM]\nSERVER=127.0.0.1\nPORT=%u\nGROUPS=1\n"
                      "[GROUP1]\nSTATION=abc\nSIZEMB=%d\nCHAN=%sBHE\n%s[LOG]\nDIR=%s\n",
                      server->port(), sizeMb, chan.c_str(), resume.c_str(),
                      dir.Path("log").c_str());
        WriteText(dir.Path("rillet.ini"), ini);
        WriteText(dir.Path("KVR.ini"), "[DATA]\nDIR=" + dir.Path("data") + "\n");
        std::filesystem::create_directories(dir.Path("data"));
    }
    ~RecordingRig() { server->stop(); }

    // Opens the catalogue this test records into: SQLite unless a test sets another.
    std::function<bool(CKvrCatalogue&, std::string*)> open = [this](CKvrCatalogue& c,
                                                                    std::string* why) {
        return OpenSqliteCatalogue(c, dir.Path("kvr.db"), why);
    };

    // Runs just before the orderly stop of Record().
    std::function<void()> beforeStop;
    double writeRetrySeconds = kDefaultWriteRetrySeconds;
    std::string metricsFile;  // the worker's metrics file, none when empty

    // A channel's stored resume time, its fraction kept.
    double Resume(const char* key) {
        return std::atof(platGetProfileString("GROUP1", key, "0", dir.Path("rillet.ini")).c_str());
    }

    // One start of the recorder: runs until the first channel's resume time reaches `until`,
    // then stops it the orderly way.
    void Record(double until) {
        const std::string key =
            std::string(channels[0].chan) + (*channels[0].loc ? "." + std::string(channels[0].loc) : "");
        RecordWhile([&] { return Resume(key.c_str()) < until; });
        EXPECT_GE(Resume(key.c_str()), until) << "the recorder did not catch up in time";
    }

    // Runs the recorder while keepGoing() holds (within a generous bound), then stops it;
    // stopSeconds is how long the stop took, from the request to the thread's end.
    double stopSeconds = 0;
    void RecordWhile(const std::function<bool()>& keepGoing) {
        CRilletLog log;
        CRilletSettings settings(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        std::string why;
        ASSERT_TRUE(open(catalogue, &why)) << why;
        for (const auto& c : channels) {
            kvrPutSitechan(catalogue.Connection(),
                           kvrSitechanKey("abc", c.chan, *c.loc ? c.loc : "??",
                                          c.sitechanRate > 0 ? c.sitechanRate : c.rate));
        }
        settings.LoadSettings(
            [&](const std::string& s, const std::string& c, const std::string& l) {
                return catalogue.LookupSampleRate(s, c, l);
            });
        QuietView view;
        CRecorder recorder(settings, catalogue, log);
        recorder.SetWriteRetrySeconds(writeRetrySeconds);
        CRecorderWorker worker(settings, recorder, log, view);
        worker.SetMetricsFile(metricsFile);
        std::thread thread([&] { worker.RecorderThread(); });
        double deadline = platNow() + kGenerousWaitSeconds;
        while (keepGoing() && platNow() < deadline) platSleepMs(20);
        if (beforeStop) beforeStop();
        double stopAsked = platNow();
        worker.RequestStop();
        thread.join();
        stopSeconds = platNow() - stopAsked;
    }

    // The rig's settings (loaded) and its catalogue, opened for checks between recordings.
    struct Opened {
        CRilletLog log;
        CRilletSettings settings;
        CKvrCatalogue catalogue;
        explicit Opened(RecordingRig& rig)
            : settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini")),
              catalogue(log, settings) {
            settings.LoadSettings(nullptr);
        }
    };
    std::unique_ptr<Opened> OpenForChecks() {
        auto opened = std::make_unique<Opened>(*this);
        std::string why;
        EXPECT_TRUE(open(opened->catalogue, &why)) << why;
        return opened;
    }

    // Every FILELIST row of a channel, oldest first, checked against its file and the server's
    // samples; consecutive files join without hole, and repeat samples at most `restarts` times
    // (each repeat within a second). Returns the rows.
    std::vector<KVR_FILELIST_ROW> CheckChannel(const Channel& c, int restarts) {
        auto opened = OpenForChecks();
        CRilletSettings& settings = opened->settings;
        CKvrCatalogue& catalogue = opened->catalogue;
        std::vector<KVR_FILELIST_ROW> rows;
        kvrSelectFileListRows(catalogue.Connection(),
                              std::string("ch='") + c.chan + "' and lcode='" +
                                  (*c.loc ? c.loc : "??") + "' and creater='NRTSDISKLOOP'",
                              &rows);
        uint64_t hash = isisim::simStreamHash(c.name);
        const double interval = 1.0 / c.rate;
        int overlaps = 0;
        for (size_t r = 0; r < rows.size(); ++r) {
            const auto& row = rows[r];
            EXPECT_EQ(row.sta, "abc");
            EXPECT_EQ(row.lcode, *c.loc ? c.loc : "??");
            EXPECT_DOUBLE_EQ(row.sps, c.rate);
            KVR_FILE_INFO info;
            std::vector<float> samples;
            std::string error;
            if (!kvrReadFile(settings.DataPath(row.cpath), &info, &samples, &error)) {
                ADD_FAILURE() << error;
                continue;
            }
            EXPECT_EQ(info.version, "2.0");
            EXPECT_EQ(static_cast<double>(samples.size()), std::round(row.tqty * c.rate))
                << row.cpath;
            int64_t k0 = std::llround(row.tbegin * c.rate);
            EXPECT_NEAR(k0 * interval, row.tbegin, 1e-6);
            for (size_t i = 0; i < samples.size(); ++i) {
                float expected = static_cast<float>(isisim::simSyntheticSample(hash, k0 + i));
                if (samples[i] != expected) {
                    ADD_FAILURE() << row.cpath << " sample " << i << ": " << samples[i]
                                  << " != " << expected;
                    break;
                }
            }
            if (r == 0) continue;
            double previousEnd = rows[r - 1].tbegin + rows[r - 1].tqty;
            EXPECT_LE(row.tbegin, previousEnd + interval / 2) << "hole before " << row.cpath;
            if (row.tbegin < previousEnd - interval / 2) {
                ++overlaps;
                EXPECT_GT(row.tbegin, previousEnd - 1.0 - interval / 2) << row.cpath;
            }
        }
        EXPECT_LE(overlaps, restarts) << c.chan;
        return rows;
    }
};

}  // namespace rillet_test
