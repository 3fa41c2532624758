// Recording against the stand-in server into the PostgreSQL catalogue of the test fixture.
#include "recording_rig.h"

using namespace rillet_test;

TEST(RilletRecordingPostgres, HistoryIsRecordedThroughDataSourceKvr) {
    std::string why;
    std::string state = PostgresState(&why);
    if (state.empty()) GTEST_SKIP() << why;
    RecordingRig rig({}, 100, 1.2);
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
    rig.Record(rig.start + 17 * 245);
    for (const auto& c : rig.channels) {
        auto rows = rig.CheckChannel(c, 0);
        ASSERT_FALSE(rows.empty()) << c.chan;
        if (c.rate == 20) {
            EXPECT_DOUBLE_EQ(rows[0].tqty, 3675);
        }
    }
}
