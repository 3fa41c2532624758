// The selection model, wildcard masks, the remembered servers and ".\\Siphon.ini".
#include "gleaner/selection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "gleaner/fetch.h"
#include "gleaner/settings.h"
#include "gleaner_test_support.h"

namespace {

TEST(Mask, MatchingRules) {
    struct Case {
        const char* mask;
        const char* code;
        bool matches;
    } cases[] = {
        {"BH?", "BHZ", true},
        {"BH?", "BH", false},
        {"BH?", "bhz", false},
        {"bh?", "BHZ", false},
        {"bh?", "bhz", true},
        {"*Z", "BHZ", true},
        {"*Z", "BHN", false},
        {"B*", "BHZ", true},
        {"B*", "B", true},
        {"B*", "HHZ", false},
        {"*H*Z", "BHZ", true},
        {"*H*Z", "BHN", false},
        {"*", "BHZ", true},
        {"*", "", true},
        {"????", "BHZ", false},
        {"????", "BHZ1", true},
        {"**Z", "BHZ", true},
        {"*?Z", "BHZ", false},
        {"[B]HZ", "BHZ", false},
        {"[B]HZ", "[B]HZ", true},
        {"BHZ", "BHZZ", false},
        // No backtracking: the star stops at the first "H".
        {"*HZ", "HHZ", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gleanerMaskMatches(c.mask, c.code), c.matches) << c.mask << " / " << c.code;
}

TEST(StationMap, StreamListedTwiceKeepsTheLaterEntryAndCountsBoth) {
    CStationMap map;
    map.AddChannel("ABC", "BHZ", "00", 20.0);
    map.AddChannel("ABC", "BHN", "00", 20.0);
    map.AddChannel("ABC", "BHZ", "00", 40.0);
    CStationEntry* s = map.Find("ABC");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->channels.size(), 2u);
    EXPECT_EQ(s->channelCount, 3);
    EXPECT_EQ(s->channels["BHZ.00"].sps, 40.0);
    EXPECT_EQ(s->channels["BHZ.00"].ordinal, 2);
}

TEST(StationMap, MaskTicksShownStationsOnlyClearUnticksAllAndHiddenStillFetch) {
    CStationMap map;
    for (const char* chn : {"BHZ", "BHN", "LHZ", "bhz"}) {
        map.AddChannel("ABC", chn, "  ", 20.0);
        map.AddChannel("XYZ", chn, "00", 20.0);
    }
    map.Find("ABC")->selected = true;
    EXPECT_EQ(map.SelectByMask("BH?"), 2);
    EXPECT_EQ(map.SelectedChannelCount(), 2);
    EXPECT_EQ(gleanertest::NamesText(map.Streams()), "ABC.BHN+ABC.BHZ");
    // Unticking the station hides its channels but keeps them marked for fetching.
    map.Find("ABC")->selected = false;
    map.Find("XYZ")->selected = true;
    EXPECT_EQ(map.SelectByMask("*Z"), 2);
    EXPECT_EQ(gleanertest::NamesText(map.Streams()), "ABC.BHN+ABC.BHZ+XYZ.BHZ.00+XYZ.LHZ.00");
    map.ClearChannelSelections();
    EXPECT_EQ(map.SelectedChannelCount(), 0);
    EXPECT_TRUE(map.Streams().empty());
}

TEST(ServerList, ThirtyPlacesMostRecentFirst) {
    CServerList list;
    for (int i = 1; i <= 31; ++i) EXPECT_TRUE(list.Add("host" + std::to_string(i)));
    EXPECT_EQ(list.Entries()[0], "host31");
    EXPECT_EQ(list.Entries()[29], "host2");  // host1 fell off
    EXPECT_FALSE(list.Add("host3"));         // in place 29: nothing happens
    EXPECT_EQ(list.Entries()[0], "host31");
    EXPECT_TRUE(list.Add("host2"));  // only in place 30: moves to the first
    EXPECT_EQ(list.Entries()[0], "host2");
    EXPECT_EQ(list.Entries()[1], "host31");
    EXPECT_EQ(list.Entries()[29], "host3");
    EXPECT_TRUE(list.Add("HOST2"));  // case counts
}

class SettingsTest : public gleanertest::ScratchTest {
  protected:
    std::string Ini() const { return dir_ + "/Siphon.ini"; }
    void WriteIni(const std::string& text) { std::ofstream(Ini()) << text; }
};

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
    GLEANER_CONFIG c = gleanerReadConfig(Ini());
    EXPECT_EQ(c.server, kDefaultServer);
    EXPECT_EQ(c.port, 39136);
    EXPECT_EQ(c.timeFormat, 0);
    double b = -1, e = -1;
    gleanerReadInterval(&b, &e, Ini());
    EXPECT_EQ(b, 0.0);
    EXPECT_EQ(e, 0.0);
    CStationMap map;
    map.AddChannel("OLD", "BHZ", "  ", 1.0);
    gleanerReadStations(&map, Ini());
    EXPECT_EQ(map.Count(), 0u);
}

TEST_F(SettingsTest, HandEditedValues) {
    WriteIni(
        "[-CONFIG-]\nPORT=abc\nSERVER=\nTIMEFORMAT=2\n"
        "[-STATIONS-]\nN=2\nSTATION0=ABC\nSTATION1=\n"
        "[ABC]\nN=2\nSelected=1\nCH0=BHZ\nCH0.SpS=20.0000\nCH0.LCODE=\nCH0.Selected=1\n"
        "CH1=LHZ\nCH1.SpS=1.0000\nCH1.LCODE=00\n"
        "[Columns Width]\nWidth=100,,50\n");
    GLEANER_CONFIG c = gleanerReadConfig(Ini());
    EXPECT_EQ(c.port, 0);
    EXPECT_EQ(c.server, kDefaultServer);
    EXPECT_EQ(c.timeFormat, 2);
    CStationMap map;
    gleanerReadStations(&map, Ini());
    ASSERT_EQ(map.Count(), 1u);
    CChannelEntry* bhz = map.FindChannel("ABC", "BHZ.  ");
    ASSERT_NE(bhz, nullptr);
    EXPECT_EQ(bhz->selected, 1);
    EXPECT_EQ(bhz->sps, 20.0);
    CChannelEntry* lhz = map.FindChannel("ABC", "LHZ.00");
    ASSERT_NE(lhz, nullptr);
    EXPECT_EQ(lhz->selected, 0);
    EXPECT_EQ(lhz->ordinal, 1);
    EXPECT_TRUE(map.Find("ABC")->selected);
    GLEANER_WIDTHS widths = {1, 2, 3, 4, 5, 6};
    gleanerReadColumnWidths(&widths, Ini());
    EXPECT_EQ(widths, (GLEANER_WIDTHS{100, 2, 50, 4, 5, 6}));
    gleanerApplyColumnWidths("", &widths);
    gleanerApplyColumnWidths("7,8,9,10,11,12,13", &widths);
    EXPECT_EQ(widths, (GLEANER_WIDTHS{7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(gleanerColumnWidthsText(widths), "7,8,9,10,11,12");
}

TEST_F(SettingsTest, WrittenValuesReadBack) {
    GLEANER_CONFIG c;
    c.server = "isi.example";
    c.port = 9001;
    c.outputByteOrder = 1;
    c.timeFormat = 1;
    c.wfdDir = "C:\\wfd";
    gleanerWriteOptions(c, Ini());
    gleanerWriteServer(c, Ini());
    GLEANER_CONFIG back = gleanerReadConfig(Ini());
    EXPECT_EQ(back.server, c.server);
    EXPECT_EQ(back.port, 9001);
    EXPECT_EQ(back.outputByteOrder, 1);
    EXPECT_EQ(back.timeFormat, 1);
    EXPECT_EQ(back.wfdDir, c.wfdDir);

    gleanerWriteInterval(1204243200.75, 1204246800.5, Ini());
    double b = 0, e = 0;
    gleanerReadInterval(&b, &e, Ini());
    EXPECT_EQ(b, 1204243200.0);
    EXPECT_EQ(e, 1204246800.0);

    CStationMap map;
    map.AddChannel("ABC", "BHZ", "00", 20.0, 1);
    map.AddChannel("ABC", "BHN", "  ", 0.1, 0);
    map.AddChannel("XYZ", "LHZ", "  ", 1.0, 1);
    // A server that lists a stream twice: one entry, and the ticked channel after it is kept.
    map.AddChannel("ABC", "BHN", "  ", 0.1, 0);
    map.AddChannel("ABC", "BHE", "00", 20.0, 1);
    map.Find("XYZ")->selected = true;
    gleanerWriteStations(map, Ini());
    CStationMap read;
    gleanerReadStations(&read, Ini());
    EXPECT_EQ(gleanertest::NamesText(read.Streams()), gleanertest::NamesText(map.Streams()));
    EXPECT_TRUE(read.Find("XYZ")->selected);
    EXPECT_FALSE(read.Find("ABC")->selected);
    EXPECT_DOUBLE_EQ(read.FindChannel("ABC", "BHN.  ")->sps, 0.1);
    EXPECT_EQ(read.Find("ABC")->channels.size(), 3u);
    EXPECT_EQ(read.SelectedChannelCount(), 3);

    CServerList servers;
    servers.Add("b");
    servers.Add("a");
    gleanerWriteServers(servers, Ini());
    CServerList readServers;
    gleanerReadServers(&readServers, Ini());
    EXPECT_EQ(readServers.Entries(), servers.Entries());
}

}  // namespace

namespace {

TEST(StationMap, ConfigurationLeavesOutStreamsWithUnsafeCodes) {
    const char* names[][3] = {{"ABC", "BHZ", "00"}, {"A/B", "BHZ", "  "}, {"ABC", "B.Z", "  "},
                              {"AB]", "BHZ", "  "}, {"ABC", "BH'", "  "}, {"ABC", "LHZ", "  "},
                              {"..", "BHZ", "  "},  {"ABC", "BHN", "+1"}};
    std::vector<ISI_STREAM_CNF> entries(std::size(names));
    for (size_t i = 0; i < entries.size(); ++i) {
        isiSetStreamId(&entries[i].name, names[i][0], names[i][1], names[i][2]);
        entries[i].factor = 20;
        entries[i].multiplier = 1;
    }
    ISI_CNF_LIST list{uint32_t(entries.size()), entries.data()};
    CStationMap map;
    map.LoadConfiguration(list);
    ASSERT_EQ(map.Count(), 1u);
    EXPECT_EQ(map.Find("ABC")->channels.size(), 2u);
    EXPECT_DOUBLE_EQ(map.FindChannel("ABC", "BHZ.00")->sps, 20.0);
}

TEST(Fetch, AnswersToTheIoQuestion) {
    struct Case {
        FetchOnError policy;
        int retriesSoFar;
        IoAnswer answer;
    } cases[] = {{FetchOnError::RetryThenIgnore, 0, IoAnswer::Retry},
                 {FetchOnError::RetryThenIgnore, 2, IoAnswer::Retry},
                 {FetchOnError::RetryThenIgnore, 3, IoAnswer::Ignore},
                 {FetchOnError::Retry, 3, IoAnswer::Abort},
                 {FetchOnError::Ignore, 0, IoAnswer::Ignore},
                 {FetchOnError::Abort, 0, IoAnswer::Abort}};
    for (const Case& c : cases)
        EXPECT_EQ(gleanerFetchAnswer(c.policy, c.retriesSoFar, 3), c.answer)
            << int(c.policy) << " after " << c.retriesSoFar;
}

}  // namespace
