// Recording against the stand-in server into an SQLite catalogue.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>

#include "kvr/check.h"
#include "platform/filewrite.h"
#include "recording_rig.h"
#include "rillet/session.h"

using namespace rillet_test;

TEST(RilletRecording, HistoryIsRecordedInRunsAndFilesOfAnHour) {
    RecordingRig rig;
    rig.Record(rig.start + 28 * 245);
    for (const auto& c : rig.channels) {
        auto rows = rig.CheckChannel(c, 0);
        ASSERT_FALSE(rows.empty()) << c.chan;
        if (c.rate != 20) continue;
        // The first request began at the stored resume time; the first file was cut after the
        // append of 4900-sample runs that took it past 3599 s.
        EXPECT_DOUBLE_EQ(rows[0].tbegin, rig.start);
        EXPECT_DOUBLE_EQ(rows[0].tqty, 3675);
        ASSERT_GE(rows.size(), 2u);
        EXPECT_DOUBLE_EQ(rows[1].tbegin, rig.start + 3675);
        EXPECT_EQ(rows[0].cpath.find("abc/"), 0u);
    }
    // The channel without a SITECHAN rate was neither asked for nor recorded.
    for (const auto& request : rig.server->requests())
        for (const auto& item : request.items) EXPECT_STRNE(item.name.chn, "bhe");
    EXPECT_FALSE(std::filesystem::exists(rig.dir.Path("data/abc/BHE")));
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_TRUE(AnyLineHas(log, "#Connected...#"));
    EXPECT_TRUE(AnyLineHas(log, "#Connection closed#"));
    // The orderly stop said how long the catalogue's statements took.
    EXPECT_TRUE(AnyLineHas(log, "#catalogue statements ")) << log.back();
}

// BHZ without location, BHZ.00 and BHZ.10 of one station: three series, each in files and rows of
// its own (the located ones name their location), every sample the server's, across a restart.
TEST(RilletRecording, ChannelsThatDifferOnlyByLocationKeepFilesOfTheirOwn) {
    RecordingRig rig({}, 100, 1,
                     {{"BHZ", "", 20, 100, Name("ABC", "BHZ", "  ")},
                      {"BHZ", "00", 20, 100, Name("ABC", "BHZ", "00")},
                      {"BHZ", "10", 20, 100, Name("ABC", "BHZ", "10")}});
    rig.Record(rig.start + 3 * 245);
    rig.Record(rig.start + 6 * 245);
    for (const auto& c : rig.channels) {
        SCOPED_TRACE(c.loc);
        auto rows = rig.CheckChannel(c, 1);
        ASSERT_FALSE(rows.empty());
        for (const auto& row : rows) {
            const std::string tail =
                std::string("-BHZ.") + (*c.loc ? c.loc + std::string(".") : "");
            EXPECT_NE(row.cpath.find(tail + "abc"), std::string::npos) << row.cpath;
        }
    }
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_FALSE(AnyLineHas(log, "registered again"));
    EXPECT_TRUE(AnyLineHas(log, "Station abc records BHZ under more than one location"));
}

// Two data directories on one catalogue: a second recorder of a station another data directory
// records is refused at start, naming it, and a repair of its own folder deletes none of the
// other's rows; the first recorder's files keep every row and every sample.
TEST(RilletRecording, TwoDataDirectoriesOnOneCatalogueNeverShareAStation) {
    RecordingRig a({}, 100, 1), b({}, 100, 1);
    const std::string shared = a.dir.Path("kvr.db");
    auto open = [&](CKvrCatalogue& catalogue) {
        std::string why;
        return OpenSqliteCatalogue(catalogue, shared, &why);
    };
    {
        CRilletLog log;
        CRilletSettings settings(log, a.dir.Path("rillet.ini"), a.dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        ASSERT_TRUE(open(catalogue));
        for (const auto& c : a.channels)
            kvrPutSitechan(catalogue.Connection(),
                           kvrSitechanKey("abc", c.chan, *c.loc ? c.loc : "??", c.rate));
    }
    CStartFailure failure;
    {
        CRecorderSession first(a.dir.Path("rillet.ini"), a.dir.Path("KVR.ini"));
        first.openDatabase = open;
        ASSERT_TRUE(first.Open(&failure)) << failure.message;
        QuietView view;
        first.Start(view, true);
        const double deadline = platNow() + kGenerousWaitSeconds;
        while (a.Resume("BHZ") < a.start + 3 * 245 && platNow() < deadline) platSleepMs(20);
        first.Stop();
    }
    const size_t rows = a.CheckChannel(a.channels[0], 0).size();
    ASSERT_GT(rows, 0u);

    CRecorderSession second(b.dir.Path("rillet.ini"), b.dir.Path("KVR.ini"));
    second.openDatabase = open;
    EXPECT_FALSE(second.Open(&failure));
    EXPECT_EQ(failure.exitCode, kExitLocked);
    EXPECT_NE(failure.message.find("station abc is recorded into "), std::string::npos)
        << failure.message;
    EXPECT_NE(failure.message.find(a.dir.Path("data")), std::string::npos) << failure.message;

    // kvrdb check --repair of the second data directory.
    std::filesystem::create_directories(b.dir.Path("data/abc"));
    CRilletLog log;
    CRilletSettings settings(log, b.dir.Path("rillet.ini"), b.dir.Path("KVR.ini"));
    CKvrCatalogue catalogue(log, settings);
    ASSERT_TRUE(open(catalogue));
    std::vector<KVR_CHECK_FINDING> findings;
    std::vector<std::string> done;
    std::string error;
    ASSERT_TRUE(kvrCheckCatalog(catalogue.Connection(), b.dir.Path("data"), &findings, &error));
    ASSERT_TRUE(kvrRepairCatalog(catalogue.Connection(), b.dir.Path("data"), true, &findings, &done,
                                 &error));
    EXPECT_TRUE(done.empty()) << done.front();
    EXPECT_EQ(a.CheckChannel(a.channels[0], 0).size(), rows);
    for (const auto& c : a.channels) a.CheckChannel(c, 0);
    ASSERT_TRUE(kvrCheckCatalog(catalogue.Connection(), a.dir.Path("data"), &findings, &error));
    EXPECT_TRUE(findings.empty()) << findings.front().cpath << ": " << findings.front().detail;
}

// SITECHAN says 20 samples per second, the stream sends 40: the files and rows carry the
// stream's rate, so that no restart misreads them, and every sample is stored once across four
// starts; each start says so once.
// Streams of 32-bit integers, 32-bit floats and 64-bit floats are recorded by their type, each
// value as the float nearest to it (integers beyond 2^24 and 64-bit floats rounded), every sample
// from the resume time on stored once.
TEST(RilletRecording, EverySampleTypeIsStoredAsItsNearestFloat) {
    const double t0 = std::floor(platNow()) - 300;
    constexpr int kCount = 250 * 20;
    auto value = [](int type, int64_t i) -> double {
        if (type == ISI_TYPE_INT32) return double(((i * 7919) % 200003 - 100000) * 171);
        if (type == ISI_TYPE_REAL32) return double(float((i % 1000 - 500) * 0.001 + 0.0001));
        return double(i) + 1.0 / 3.0;
    };
    const uint8_t types[] = {ISI_TYPE_INT32, ISI_TYPE_REAL32, ISI_TYPE_REAL64};
    const char* chans[] = {"BHZ", "BHN", "HHZ"};
    const char* locs[] = {"", "00", ""};
    std::vector<isisim::SimStream> stored;
    for (int n = 0; n < 3; ++n) {
        isisim::SimSegment seg;
        seg.t0 = t0;
        seg.count = kCount;
        for (int64_t i = 0; i < kCount; ++i) {
            if (types[n] == ISI_TYPE_INT32)
                seg.samples.push_back(int32_t(value(types[n], i)));
            else
                seg.reals.push_back(value(types[n], i));
        }
        stored.push_back(isisim::SimStream::stored(Name("ABC", chans[n], *locs[n] ? locs[n] : "  "),
                                                   isisim::SimRate{20, 1}, n == 1 ? 7 : 100,
                                                   {seg}, types[n]));
    }
    std::vector<Channel> channels;
    for (int n = 0; n < 3; ++n)
        channels.push_back({chans[n], locs[n], 20, 100, stored[n].name(), 0, &stored[n]});
    RecordingRig rig({}, 100, 0.05, channels);
    const double until = platNow() + 4;
    rig.RecordWhile([&] { return platNow() < until; });

    auto opened = rig.OpenForChecks();
    std::string why;
    for (int n = 0; n < 3; ++n) {
        SCOPED_TRACE(chans[n]);
        std::vector<KVR_FILELIST_ROW> rows;
        kvrSelectFileListRows(opened->catalogue.Connection(),
                              std::string("ch='") + chans[n] + "' and lcode='" +
                                  (*locs[n] ? locs[n] : "??") + "'",
                              &rows);
        ASSERT_FALSE(rows.empty());
        int64_t next = std::llround((rig.start - t0) * 20);
        for (const KVR_FILELIST_ROW& row : rows) {
            KVR_FILE_INFO info;
            std::vector<float> samples;
            ASSERT_TRUE(kvrReadFile(opened->settings.DataPath(row.cpath), &info, &samples, &why))
                << why;
            const int64_t k0 = std::llround((row.tbegin - t0) * 20);
            EXPECT_EQ(k0, next) << row.cpath;
            for (size_t i = 0; i < samples.size(); ++i)
                ASSERT_EQ(samples[i], float(value(types[n], k0 + int64_t(i))))
                    << row.cpath << " sample " << i;
            next = k0 + int64_t(samples.size());
        }
        EXPECT_EQ(next, kCount);
    }
    EXPECT_FALSE(AnyLineHas(LogLines(rig.dir.Path("log")), "refused"));
}

TEST(RilletRecording, ASitechanRateOtherThanTheStreamsSkipsNothing) {
    RecordingRig rig({}, 100, 0.2, {{"HHZ", "", 40, 20, Name("ABC", "HHZ", "  "), 20}});
    for (int start = 0; start < 4; ++start) {
        // The history first, then a live packet each half second.
        const double until = platNow() + 2;
        rig.RecordWhile([&] { return platNow() < until; });
    }
    const auto rows = rig.CheckChannel(rig.channels[0], 0);
    ASSERT_FALSE(rows.empty());
    EXPECT_DOUBLE_EQ(rows.back().tbegin + rows.back().tqty, rig.Resume("HHZ"));
    int said = 0;
    for (const auto& line : LogLines(rig.dir.Path("log")))
        said += line.find("SITECHAN gives 20 samples per second, the stream sends 40") !=
                std::string::npos;
    EXPECT_EQ(said, 4);
}

TEST(RilletRecording, DroppedConnectionsAndRestartsLeaveNoHole) {
    isisim::SimFault drop;
    drop.kind = isisim::SimFaultKind::Close;
    drop.afterPackets = 150;
    drop.times = 2;
    RecordingRig rig({drop}, 100, 1);
    rig.Record(rig.start + 1000);  // first start, stopped part way
    rig.Record(rig.start + 2000);  // second start resumes from the stored times
    rig.Record(rig.start + 3200);
    // Two connections were dropped part way.
    EXPECT_EQ(rig.server->stats().faultsFired, 2u);
    for (const auto& c : rig.channels) EXPECT_FALSE(rig.CheckChannel(c, 0).empty()) << c.chan;
    // The daily log names the server, what was asked of it, each loss with its cause and its
    // end, and every file made.
    const auto log = LogLines(rig.dir.Path("log"));
    const std::string server = "127.0.0.1:" + std::to_string(rig.server->port());
    EXPECT_TRUE(AnyLineHas(log, "#Asked " + server + " for abc: BHZ from 2")) << log.front();
    EXPECT_TRUE(AnyLineHas(log, "BHN.00 from 2"));
    EXPECT_TRUE(AnyLineHas(log, "#Connection to " + server + " lost: "));
    EXPECT_TRUE(AnyLineHas(log, "#connection to " + server + " down from "));
    EXPECT_TRUE(AnyLineHas(log, "#Created file '" + rig.dir.Path("data/abc/")));
}

// A full disk and a locked catalogue are each said when they start and when they end (with how
// long and how often), never a line per channel per retry; the statements' summary counts every
// statement that failed; and nothing is lost.
TEST(RilletRecording, FailuresAreLoggedWhenTheyStartAndWhenTheyEnd) {
    // Three live channels written packet by packet, a packet a second each.
    RecordingRig rig({}, 100, 0.01,
                     {{"LHZ", "", 1, 1, Name("ABC", "LHZ", "  ")},
                      {"LHN", "", 1, 1, Name("ABC", "LHN", "  ")},
                      {"LHE", "", 1, 1, Name("ABC", "LHE", "  ")}});
    rig.writeRetrySeconds = 0.2;
    constexpr int kBusyMs = 50;
    rig.open = [&](CKvrCatalogue& c, std::string* why) {
        return OpenSqliteCatalogue(c, rig.dir.Path("kvr.db"), why, true, kBusyMs);
    };
    std::atomic<bool> full{false};
    platSetDiskSpaceHookForTests([&](size_t requested) -> size_t { return full ? 0 : requested; });
    KvrConnection locker;
    ASSERT_TRUE(locker.openString(SqliteConnection(rig.dir.Path("kvr.db"))));
    const double t0 = platNow();
    rig.RecordWhile([&] {
        const double t = platNow() - t0;
        full = t > 3 && t < 7;  // four seconds of full disk
        if (t > 9 && !locker.inTransaction() && t < 13) {
            // Four seconds of a catalogue whose write lock another connection holds.
            locker.begin();
            locker.execute("insert into sitechan (sta,chan,lcode,sps) values ('zz','ZZZ','00',1)");
        } else if (t >= 13 && locker.inTransaction()) {
            locker.rollback();
        }
        return t < 16;
    });
    platSetDiskSpaceHookForTests(nullptr);
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);

    const auto log = LogLines(rig.dir.Path("log"));
    auto count = [&](const std::string& text) {
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(count("No space left on device"), 1);
    EXPECT_EQ(count("no space left on the data disk from "), 1);
    EXPECT_EQ(count("Catalogue error on"), 1);
    EXPECT_EQ(count("catalogue statements failing from "), 1);
    // The closing lines count the retries: about three channels for four seconds each.
    unsigned long long writes = 0, statements = 0, failed = 0;
    for (const std::string& line : log) {
        if (size_t at = line.find("data disk from "); at != std::string::npos)
            std::sscanf(line.c_str() + line.find(": ", at) + 2, "%llu", &writes);
        if (size_t at = line.find("statements failing from "); at != std::string::npos)
            std::sscanf(line.c_str() + line.find(": ", at) + 2, "%llu", &statements);
        if (size_t at = line.find("failed "); at != std::string::npos &&
                                               line.find("#catalogue statements ") != std::string::npos)
            std::sscanf(line.c_str() + at + 7, "%llu", &failed);
    }
    EXPECT_GE(writes, 6u);
    EXPECT_GE(statements, 6u);
    EXPECT_GE(failed, statements + 1);  // every statement that failed, the first included
    std::string all;
    for (const std::string& line : log) all += line + "\n";
    EXPECT_EQ(count("File write error"), 1) << all;
    EXPECT_LE(count("Resume time write error"), 1) << all;
    // A new request after each failure fetches what was refused meanwhile, once for all channels.
    EXPECT_LE(count("#Connected...#"), 3) << all;
}

// The metrics file after a recording: valid for Prometheus (promtool, where installed), and its
// values those of the files and rows.
TEST(RilletRecording, MetricsSayWhatWasStored) {
    RecordingRig rig({}, 1, 1);
    rig.metricsFile = rig.dir.Path("rillet.prom");
    rig.Record(rig.start + 10 * 245);
    const std::string text = ReadText(rig.metricsFile);
    auto value = [&](const std::string& sample) {
        const size_t at = text.find("\n" + sample + " ");
        return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + sample.size() + 2);
    };
    EXPECT_EQ(value("rillet_up"), 0);
    EXPECT_EQ(value("rillet_connections_total"), 1);
    for (const auto& c : rig.channels) {
        SCOPED_TRACE(c.chan);
        const auto rows = rig.CheckChannel(c, 0);
        ASSERT_FALSE(rows.empty());
        double samples = 0;
        for (const auto& row : rows) samples += std::round(row.tqty * row.sps);
        const std::string labels = std::string("{station=\"abc\",channel=\"") + c.chan +
                                   "\",location=\"" + c.loc + "\"}";
        EXPECT_DOUBLE_EQ(value("rillet_newest_sample_timestamp_seconds" + labels),
                         rows.back().tbegin + rows.back().tqty);
        // A small loop trims the oldest files: the rows left hold at most what was stored.
        EXPECT_GE(value("rillet_samples_stored_total" + labels), samples);
        EXPECT_EQ(value("rillet_pending_samples" + labels), 0);
        EXPECT_EQ(value("rillet_stream_rate_hertz" + labels), c.rate);
    }
    EXPECT_EQ(value("rillet_disk_loop_limit_bytes{station=\"abc\"}"), 1048576);
    EXPECT_GT(value("rillet_disk_loop_bytes{station=\"abc\"}"), 0);
    EXPECT_GT(value("rillet_catalogue_statements_total"), 0);
    EXPECT_EQ(value("rillet_errors_total{cause=\"file_write\"}"), 0);
    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool (Debian's prometheus package) is not installed: the file's "
                        "format is not checked";
    const std::string check = "promtool check metrics < '" + rig.metricsFile + "' 2>&1";
    FILE* pipe = popen(check.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) said += buffer;
    EXPECT_EQ(pclose(pipe), 0) << said;
}

TEST(RilletRecording, SmallDiskLoopKeepsItsLimit) {
    RecordingRig rig({}, 1, 2);
    rig.Record(rig.start + 28 * 245);
    // Two 20 sps channels of two hours (1.15 MB) in a 1 MB loop: the oldest went first, and the
    // total stays under the limit but for the runs written since the last trim.
    EXPECT_LT(rig.OpenForChecks()->catalogue.DiskLoopSize("abc"), 1048576u + 3 * 4900 * 4);
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "#Deleted file '"));
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
}

// A stop ends the worker within a second whatever it waits for: history streaming in, live data
// between packets and heartbeats, the pause while the server is away, a connect to a host that
// never answers. What is pending is written.
TEST(RilletRecording, StopEndsTheWorkerWithinASecondInEveryState) {
    RecordingRig history({}, 100, 1);
    history.Record(history.start + 14 * 245);
    EXPECT_LT(history.stopSeconds, 1.0) << "history";

    RecordingRig live({}, 100, 0.01);  // 36 s back: caught up at once, then a packet each 5 s
    double liveUntil = platNow() + 3;
    live.RecordWhile([&] { return platNow() < liveUntil; });
    EXPECT_LT(live.stopSeconds, 1.0) << "live";

    RecordingRig away({}, 100, 1);
    away.beforeStop = [&] {
        away.server->stop();
        platSleepMs(300);  // the client is now between reconnect attempts
    };
    away.Record(away.start + 14 * 245);
    EXPECT_LT(away.stopSeconds, 1.0) << "server away";
    for (RecordingRig* rig : {&history, &live, &away})
        for (const auto& c : rig->channels) rig->CheckChannel(c, 0);

    // A listener whose backlog is full drops every further connect attempt unanswered.
    RecordingRig silent({}, 100, 1);
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 0);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    const uint16_t port = platLocalPort(listener);
    std::vector<PLAT_SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        PLAT_SOCKET s = platTcpSocket();
        platSetNonBlocking(s, true);
        PLAT_INADDR address{};
        platParseDotted("127.0.0.1", &address.addr);
        address.port = htons(port);
        platConnect(s, address);
        fillers.push_back(s);
    }
    platWriteProfileString("SYSTEM", "PORT", std::to_string(port), silent.dir.Path("rillet.ini"));
    double connectUntil = platNow() + 0.5;
    silent.RecordWhile([&] { return platNow() < connectUntil; });
    EXPECT_LT(silent.stopSeconds, 1.0) << "connecting";
    for (PLAT_SOCKET s : fillers) platCloseSocket(s);
    platCloseSocket(listener);
}

// A disk that fills part-way through writes, and a catalogue another connection holds locked past
// the busy time-out: the runs stay pending and are written once space and catalogue return, so
// every sample is in a file, once, and every file agrees with its row.
TEST(RilletRecording, FullDiskAndLockedCatalogueLoseNothing) {
    RecordingRig rig({}, 100, 1);
    rig.writeRetrySeconds = 0;
    constexpr int kBusyMs = 100;
    rig.open = [&](CKvrCatalogue& c, std::string* why) {
        return OpenSqliteCatalogue(c, rig.dir.Path("kvr.db"), why, true, kBusyMs);
    };
    // Writes 20 to 39 find the disk full after half their bytes; write 60 has another connection
    // take the catalogue's write lock until the recorder has failed on it.
    std::atomic<int> writes{0};
    std::atomic<bool> lockWanted{false}, locked{false};
    platSetDiskSpaceHookForTests([&](size_t requested) -> size_t {
        int n = ++writes;
        if (n == 60) {
            // The write waits until the lock is taken, however fast the recorder drains.
            lockWanted = true;
            double deadline = platNow() + kGenerousWaitSeconds;
            while (!locked && platNow() < deadline) platSleepMs(5);
        }
        return n >= 20 && n < 40 ? requested / 2 : requested;
    });
    std::thread locker([&] {
        double deadline = platNow() + kGenerousWaitSeconds;
        while (!lockWanted && platNow() < deadline) platSleepMs(5);
        KvrConnection other;
        ASSERT_TRUE(other.openString(SqliteConnection(rig.dir.Path("kvr.db")))) << other.message();
        ASSERT_TRUE(other.begin());
        ASSERT_TRUE(kvrSqlOk(
            other.execute("insert into sitechan (sta,chan,lcode,sps) values ('zz','ZZZ','00',1)")))
            << other.message();
        locked = true;
        // Held until the recorder has met it, and a little longer (it may be between cycles).
        while (!AnyLineHas(LogLines(rig.dir.Path("log")), "Catalogue error") &&
               platNow() < deadline)
            platSleepMs(20);
        platSleepMs(500);
        other.rollback();
    });
    rig.Record(rig.start + 3200);
    locker.join();
    platSetDiskSpaceHookForTests(nullptr);

    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
    auto log = LogLines(rig.dir.Path("log"));
    EXPECT_TRUE(AnyLineHas(log, "No space left on device"));
    EXPECT_TRUE(AnyLineHas(log, "#Catalogue error on '" + rig.dir.Path("data/abc/")));
    EXPECT_TRUE(AnyLineHas(log, "filelist"));
    EXPECT_TRUE(AnyLineHas(log, "the run stays pending"));
}
