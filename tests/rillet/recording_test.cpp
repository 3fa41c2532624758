// Recording against the stand-in server into an SQLite catalogue.
#include <atomic>

#include "platform/filewrite.h"
#include "recording_rig.h"

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
    for (const auto& c : rig.channels) EXPECT_FALSE(rig.CheckChannel(c, 2).empty()) << c.chan;
}

TEST(RilletRecording, SmallDiskLoopKeepsItsLimit) {
    RecordingRig rig({}, 1, 2);
    rig.Record(rig.start + 28 * 245);
    // Two 20 sps channels of two hours (1.15 MB) in a 1 MB loop: the oldest went first, and the
    // total stays under the limit but for the runs written since the last trim.
    CRilletLog log;
    CRilletSettings settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini"));
    settings.LoadSettings(nullptr);
    CKvrCatalogue catalogue(log, settings);
    std::string why;
    ASSERT_TRUE(rig.open(catalogue, &why)) << why;
    EXPECT_LT(catalogue.DiskLoopSize("abc"), 1048576u + 3 * 4900 * 4);
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "#Deleted file '"));
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
}

TEST(RilletRecording, StopWhileTheServerIsAwayWritesWhatIsPending) {
    RecordingRig rig({}, 100, 1);
    const double caughtUp = rig.start + 14 * 245;
    double stopAsked = 0;
    rig.beforeStop = [&] {
        rig.server->stop();
        platSleepMs(300);  // the client is now between reconnect attempts
        stopAsked = platNow();
    };
    rig.Record(caughtUp);
    // The stop did not wait for the server to come back (it never does).
    EXPECT_LT(platNow() - stopAsked, kGenerousWaitSeconds);
    EXPECT_GE(rig.Resume("BHZ"), caughtUp);
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
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
    // take the catalogue's write lock for a second.
    std::atomic<int> writes{0};
    std::atomic<bool> lockWanted{false};
    platSetDiskSpaceHookForTests([&](size_t requested) -> size_t {
        int n = ++writes;
        if (n == 60) lockWanted = true;
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
        platSleepMs(1000);
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
