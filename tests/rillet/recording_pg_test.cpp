// Recording against the stand-in server into the PostgreSQL catalogue of the test fixture.
#include "recording_rig.h"

using namespace rillet_test;

TEST(RilletRecordingPostgres, HistoryIsRecordedThroughDataSourceKvr) {
    std::string why;
    std::string state = PostgresState(&why);
    if (state.empty()) GTEST_SKIP() << why;
    // Two 20 sps channels of two hours (1.15 MB) in a 1 MB loop.
    RecordingRig rig({}, 1, 2);
    rig.open = [state](CKvrCatalogue& c, std::string* reason) {
        return OpenPostgresCatalogue(c, state, reason);
    };
    {
        // Start from an empty catalogue, once.
        CRilletLog log;
        CRilletSettings settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        ASSERT_TRUE(OpenPostgresCatalogue(catalogue, state, &why)) << why;
        catalogue.Connection().execute("delete from filelist");
    }
    rig.Record(rig.start + 28 * 245);
    for (const auto& c : rig.channels) EXPECT_FALSE(rig.CheckChannel(c, 0).empty()) << c.chan;

    EXPECT_LT(rig.OpenForChecks()->catalogue.DiskLoopSize("abc"), 1048576u + 3 * 4900 * 4);
    auto lines = LogLines(rig.dir.Path("log"));
    EXPECT_TRUE(AnyLineHas(lines, "#Deleted file '"));
    for (const auto& line : lines)
        if (line.find("Cursor attribute") != std::string::npos) std::printf("%s\n", line.c_str());
}
