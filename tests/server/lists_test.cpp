// The configuration and state-of-health lists as the client library receives them.
#include "platform/clock.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

// The clock counts milliseconds, and the server takes a sample within a hundredth of an
// interval of a time as lying on it.
constexpr double kClockSlack = 0.002;

class ListsTest : public SimTest {};

TEST_F(ListsTest, ConfigurationListGivesEveryStreamWithItsRate) {
    startServer({"ANMO.BHZ.00:20", "ANMO.VHZ:0.1", "KONO.LHZ:1", "KONO.HHZ.10:2.5"});
    ISI_OPEN_PARAMS p = params();
    ISI_CNF_LIST* list = isiGetCnfList("127.0.0.1", &p);
    ASSERT_NE(list, nullptr);
    struct Expected {
        const char* sta;
        const char* chn;
        const char* loc;
        int factor, multiplier;
        double interval;
    };
    const Expected expected[] = {{"ANMO", "BHZ", "00", 20, 1, 0.05},
                                 {"ANMO", "VHZ", "  ", -10, 1, 10.0},
                                 {"KONO", "LHZ", "  ", 1, 1, 1.0},
                                 {"KONO", "HHZ", "10", 5, 2, 0.4}};
    ASSERT_EQ(list->nentry, std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const ISI_STREAM_CNF& cnf = list->entry[i];
        EXPECT_STREQ(cnf.name.sta, expected[i].sta);
        EXPECT_STREQ(cnf.name.chn, expected[i].chn);
        EXPECT_STREQ(cnf.name.loc, expected[i].loc);
        EXPECT_EQ(cnf.factor, expected[i].factor);
        EXPECT_EQ(cnf.multiplier, expected[i].multiplier);
        EXPECT_DOUBLE_EQ(isiSrateToInterval(cnf.factor, cnf.multiplier), expected[i].interval);
        EXPECT_STREQ(cnf.inst, "isi-sim");
    }
    isiFreeList(list);
}

TEST_F(ListsTest, StateOfHealthListGivesTheDiskLoopOfEveryStream) {
    constexpr double kHistory = 600.0;
    startServer({"ANMO.BHZ.00:20", "ANMO.VHZ:0.1:5"}, {}, kHistory);
    double before = platNow();
    ISI_OPEN_PARAMS p = params();
    ISI_SOH_LIST* list = isiGetSohList("127.0.0.1", &p);
    double after = platNow();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->nentry, 2u);
    const double intervals[] = {0.05, 10.0};
    for (uint32_t i = 0; i < list->nentry; ++i) {
        const ISI_STREAM_SOH& soh = list->entry[i];
        EXPECT_GE(soh.tofs, before - kHistory - kClockSlack);
        EXPECT_LE(soh.tofs, after - kHistory + intervals[i] + kClockSlack);
        // A sample counts as due up to a hundredth of an interval early (the server's slack for
        // sample times), which is 0.1 s for the 10-second channel.
        EXPECT_LE(soh.tols, after + intervals[i] * 0.01 + kClockSlack);
        EXPECT_GT(soh.tols, before - intervals[i] - kClockSlack);
        EXPECT_EQ(soh.nseg, 1u);
        EXPECT_GT(soh.nrec, 0u);
    }
    isiFreeList(list);
}

}  // namespace
}  // namespace simtest
