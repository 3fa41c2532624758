// Recording against the stand-in server into an SQLite catalogue.
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
