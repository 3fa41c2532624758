// The settings file, the station list and the start-up switch.
#include "tremlive/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/profile.h"
#include "tremlive/temp_dir.h"

using namespace tremlive;

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void write(const std::string& text) {
        std::ofstream out(file_, std::ios::binary);
        out << text;
    }
    std::string read() {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    tremtest::TempDir dir_;
    const std::string file_ = dir_.file("TREMLIVE.INI");
    TremliveSettings settings_;
};

TEST_F(SettingsFile, MissingConfigSectionGivesDefaults) {
    write("[-STATIONS-]\r\nN=0\r\n");
    settings_.port = 1;
    LoadConfigSection(file_, &settings_);
    EXPECT_EQ(settings_.server, kDefaultServer);
    EXPECT_EQ(settings_.port, 39136);
    EXPECT_EQ(settings_.displayedTime, 900);
    EXPECT_EQ(settings_.bufferedTime, 7200);
    EXPECT_EQ(settings_.refreshTime, 1);
    EXPECT_EQ(settings_.delay, 0);
}

TEST_F(SettingsFile, ValuesTheSheetWouldRefuseFallBackToDefaults) {
    struct Case {
        const char* line;
        int TremliveSettings::*field;
        int expected;
        bool warns;
    } cases[] = {
        {"DISPLAYEDTIME=0", &TremliveSettings::displayedTime, 900, true},
        {"BUFFEREDTIME=-5", &TremliveSettings::bufferedTime, 7200, true},
        {"PORT=0", &TremliveSettings::port, 39136, true},
        {"REFRESHTIME=often", &TremliveSettings::refreshTime, 1, true},  // atoi gives 0
        {"DELAY=99999", &TremliveSettings::delay, 0, true},
        {"DISPLAYEDTIME=86400", &TremliveSettings::displayedTime, 86400, false},
        {"PORT=12345", &TremliveSettings::port, 12345, false},
        {"DELAY=", &TremliveSettings::delay, 0, false},  // empty keeps the default
    };
    for (const Case& c : cases) {
        write(std::string("[-CONFIG-]\r\n") + c.line + "\r\n");
        testing::internal::CaptureStderr();
        LoadConfigSection(file_, &settings_);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(settings_.*c.field, c.expected) << c.line;
        EXPECT_EQ(!err.empty(), c.warns) << c.line << ": " << err;
    }
}

TEST_F(SettingsFile, StationListRoundTripKeepsOrderRatesAndBlankLocation) {
    CStationList list;
    list.appendStation("ABC").channels = {{"BHZ", "00", 20.0, 1}, {"BHN", "  ", 40.5, 0}};
    list.appendStation("XYZ").channels = {{"LHZ", "10", 1.0, 1}};
    SaveStations(file_, list);

    std::string text = read();
    EXPECT_NE(text.find("CH0.SpS=20.0000"), std::string::npos) << text;
    // A CH%d.LCODE written empty reads back as two blanks.
    platWriteProfileString("ABC", "CH1.LCODE", "", file_);

    CStationList back;
    back.appendStation("junk");
    LoadStations(file_, &back);
    ASSERT_EQ(back.stations.size(), 2u);
    EXPECT_EQ(back.stations[0].station, "ABC");
    ASSERT_EQ(back.stations[0].channels.size(), 2u);
    EXPECT_EQ(back.stations[0].channels[0].channel, "BHZ");
    EXPECT_EQ(back.stations[0].channels[0].location, "00");
    EXPECT_EQ(back.stations[0].channels[0].samplesPerSecond, 20.0);
    EXPECT_EQ(back.stations[0].channels[0].selected, 1);
    EXPECT_EQ(back.stations[0].channels[1].location, "  ");
    EXPECT_EQ(back.stations[0].channels[1].samplesPerSecond, 40.5);
    EXPECT_EQ(back.stations[0].channels[1].selected, 0);
    EXPECT_EQ(back.stations[1].channels[0].channel, "LHZ");
    EXPECT_EQ(CountSelected(back), 2);
}

TEST_F(SettingsFile, EmptyStationEntryIsSkippedAndAnyNonzeroSelects) {
    write(
        "[-STATIONS-]\r\nN=3\r\nSTATION0=AAA\r\nSTATION1=\r\nSTATION2=CCC\r\n"
        "[AAA]\r\nN=1\r\nCH0=BHZ\r\nCH0.Selected=7\r\n[CCC]\r\nN=1\r\nCH0=BHE\r\n");
    CStationList list;
    LoadStations(file_, &list);
    ASSERT_EQ(list.stations.size(), 2u);
    EXPECT_EQ(list.stations[0].station, "AAA");
    EXPECT_EQ(list.stations[1].station, "CCC");
    EXPECT_EQ(list.stations[0].channels[0].selected, 1);
    EXPECT_EQ(list.stations[1].channels[0].selected, 0);
    EXPECT_EQ(list.stations[1].channels[0].location, "  ");
    EXPECT_EQ(list.stations[1].channels[0].samplesPerSecond, 0.0);
}

TEST(StationList, MergeIgnoresCaseOfStationChannelAndLocation) {
    CStationList list;
    list.appendStation("abc").channels = {{"bhz", "00", 20.0, 0}};
    list.merge("ABC", {"BHZ", "00", 40.0, 1});
    list.merge("ABC", {"BHZ", "10", 40.0, 1});
    list.merge("XYZ", {"BHZ", "  ", 1.0, 0});
    ASSERT_EQ(list.stations.size(), 2u);
    ASSERT_EQ(list.stations[0].channels.size(), 2u);
    EXPECT_EQ(list.stations[0].channels[0].samplesPerSecond, 20.0);
    EXPECT_EQ(list.stations[0].channels[1].location, "10");
    EXPECT_EQ(list.stations[1].station, "XYZ");

    CStationList copy;
    copy.copyFrom(list);
    EXPECT_EQ(copy.stations.size(), 2u);
    EXPECT_EQ(CountSelected(copy), 1);
}

TEST(StartUp, RunSwitchIsAnyArgumentStartingWithRunInAnyCase) {
    struct Case {
        std::vector<std::string> args;
        bool run;
    } cases[] = {
        {{"tremlive"}, false},        {{"tremlive", "/run"}, true},
        {{"tremlive", "/Run"}, true}, {{"tremlive", "/RUNNOW"}, true},
        {{"tremlive", "/RU"}, false}, {{"tremlive", "-run"}, false},
        {{"/run/tremlive"}, true},  // the program path counts too
    };
    for (const Case& c : cases) EXPECT_EQ(ParseAutoRun(c.args), c.run) << c.args.back();
}

TEST(SettingsPages, IntegerFieldMessages) {
    struct Case {
        const char* text;
        IntRange range;
        bool ok;
        int value;
        const char* message;
    } cases[] = {
        {"9999", kPortRange, false, 0, "Please enter an integer between 10000 and 60000."},
        {"60001", kPortRange, false, 0, "Please enter an integer between 10000 and 60000."},
        {"10000", kPortRange, true, 10000, ""},
        {" 900 ", kDisplayedTimeRange, true, 900, ""},
        {"0", kDisplayedTimeRange, false, 0, "Please enter an integer between 1 and 86400."},
        {"abc", kDelayRange, false, 0, "Please enter an integer."},
        {"", kDelayRange, false, 0, "Please enter an integer."},
        {"12x", kDelayRange, false, 0, "Please enter an integer."},
        {"99999999999", kDelayRange, false, 0, "Please enter an integer."},
    };
    for (const Case& c : cases) {
        int value = 0;
        std::string message;
        EXPECT_EQ(ValidateIntegerField(c.text, c.range, &value, &message), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        } else {
            EXPECT_EQ(message, c.message) << c.text;
        }
    }
}

TEST(SettingsPages, SamplesPerSecondColumn) {
    EXPECT_EQ(FormatSamplesPerSecond(20.0), "20.00");
    EXPECT_EQ(FormatSamplesPerSecond(0.1), "0.10");
    EXPECT_EQ(FormatSamplesPerSecond(0.0), "-");
    EXPECT_EQ(FormatSamplesPerSecond(-1.0), "-");
}

}  // namespace
