// rillet.ini and KVR.ini as the recorder reads them: channel lists, groups, resume times and the
// handling of a broken file.
#include "rillet/settings.h"

#include <cstdlib>
#include <map>

#include "platform/clock.h"
#include "rillet/log.h"
#include "rillet_test_support.h"

using rillet_test::AnyLineHas;
using rillet_test::LogLines;
using rillet_test::ReadText;
using rillet_test::ScratchDir;
using rillet_test::WriteText;

namespace {

std::string Entries(const std::string& text) {
    std::string out;
    for (const auto& e : SplitChannelList(text)) out += e.channel + "/" + e.location + " ";
    return out;
}

// SITECHAN stand-in: rates of a few station channels.
double Rate(const std::string& sta, const std::string& chan, const std::string& loc) {
    static const std::map<std::string, double> rates = {
        {"abc BHZ ??", 20}, {"abc BHN 00", 20}, {"abc BHE ??", 20},  {"abc LHZ ??", 1},
        {"xyz BHZ ??", 40}, {"qq BHZ ??", 20},  {"ab'c BHZ ??", 20}, {"abc B'Z ??", 20}, {"abc B_Z ??", 20},
        {"abc B/Z ??", 20}, {"../e BHZ ??", 20}};
    auto it = rates.find(sta + " " + chan + " " + loc);
    return it == rates.end() ? 0 : it->second;
}

struct Loaded {
    ScratchDir dir;
    CRilletLog log;
    std::unique_ptr<CRilletSettings> settings;

    explicit Loaded(const std::string& ini, const std::string& kvrIni = "[DATA]\nDIR=/d/data\\\n") {
        WriteText(dir.Path("rillet.ini"), ini + "\n[LOG]\nDIR=" + dir.Path("log") + "\n");
        WriteText(dir.Path("KVR.ini"), kvrIni);
        settings =
            std::make_unique<CRilletSettings>(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        settings->LoadSettings(Rate);
    }
    std::vector<std::string> Log() const { return LogLines(dir.Path("log")); }
};

}  // namespace

TEST(RilletSettings, ChannelListSyntax) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"BHZ, BHN.00;BHE", "BHZ/?? BHN/00 BHE/?? "},
        {"BHZ.00.X", "BHZ/00 X/?? "},
        {",,;; ,\t;", ""},
        {"", ""},
        {" \tB HZ . 1 0", "BHZ/10 "},
        {".00,BHZ.", "BHZ/?? "},
        {"LHZ;;LHN,", "LHZ/?? LHN/?? "},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Entries(text), expected) << text;
}

TEST(RilletSettings, GroupsSkipEmptyStationsAndKeepTheirOwnValues) {
    Loaded l(
        "[SYSTEM]\nSERVER=isi.example\nGROUPS=3\n"
        "[GROUP1]\nSTATION=ABC\nSIZEMB=5\nFILELENGTH(MIN)=10\nCHAN=bhz, bhn.00;BHE;BHZ;XXX\n"
        "[GROUP2]\nSIZEMB=7\nCHAN=BHZ\n"
        "[GROUP3]\nSTATION=xyz\nCHAN=BHZ\n");
    const auto& groups = l.settings->Groups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].station, "abc");
    EXPECT_EQ(groups[0].sizeLimit, 5u * 1048576u);
    EXPECT_EQ(groups[0].fileLength, 10);
    ASSERT_EQ(groups[0].channels.size(), 3u);  // BHZ once; XXX has no SITECHAN rate
    EXPECT_EQ(groups[0].channels[1].channel, "BHN");
    EXPECT_EQ(groups[0].channels[1].location, "00");
    EXPECT_EQ(groups[0].channels[2].sampleRate, 20);
    EXPECT_EQ(groups[1].station, "xyz");
    EXPECT_EQ(groups[1].sizeLimit, 1u * 1048576u);  // default SIZEMB 1
    EXPECT_EQ(groups[1].fileLength, 60);
    EXPECT_EQ(groups[1].channels[0].sampleRate, 40);
    EXPECT_EQ(l.settings->Server(), "isi.example");
    EXPECT_EQ(l.settings->Port(), 39136);
    EXPECT_EQ(l.settings->DataDirectory(), "/d/data");

    // The group of section GROUP3 is the second loaded one; its resume times stay in GROUP3, so
    // that the skipped section's keys are never taken for its own.
    EXPECT_TRUE(l.settings->WriteResumeTime(1, 0, 1136206800));
    EXPECT_TRUE(l.settings->WriteResumeTime(0, 1, 1136206805));
    EXPECT_EQ(l.settings->ReadResumeTime(1, 0), 1136206800);
    EXPECT_EQ(l.settings->ReadResumeTime(0, 1), 1136206805);
    EXPECT_EQ(l.settings->ReadResumeTime(0, 0), 0);
    std::string ini = ReadText(l.dir.Path("rillet.ini"));
    EXPECT_NE(ini.find("BHN.00=1136206805"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[GROUP2]\nSIZEMB=7\nCHAN=BHZ\n["), std::string::npos) << ini;
    EXPECT_NE(ini.find("[GROUP3]\nSTATION=xyz\nCHAN=BHZ\nBHZ=1136206800"), std::string::npos)
        << ini;
}

// A resume key may be written by hand in any of the shared time forms; the recorder writes its
// own back as epoch seconds, keeping the fraction.
TEST(RilletSettings, ResumeKeysTakeTheSharedTimeForms) {
    Loaded l("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nCHAN=BHZ,BHN.00,LHZ,BHE\n"
             "BHZ=now-3600\nBHN.00=2026-12-09T17:00:00Z\nLHZ=2006:002-13:00:00.250\n"
             "BHE=yesterday\n");
    EXPECT_NEAR(l.settings->ReadResumeTime(0, 0), platNow() - 3600, 5);
    EXPECT_DOUBLE_EQ(l.settings->ReadResumeTime(0, 1), 1796835600.0);
    EXPECT_DOUBLE_EQ(l.settings->ReadResumeTime(0, 2), 1136206800.25);
    EXPECT_EQ(l.settings->ReadResumeTime(0, 3), 0);
    EXPECT_TRUE(AnyLineHas(l.Log(), "resume time BHE='yesterday' is not a time (epoch seconds"));
    EXPECT_TRUE(l.settings->WriteResumeTime(0, 0, 1136206805.125));
    EXPECT_NE(ReadText(l.dir.Path("rillet.ini")).find("BHZ=1136206805.125\n"), std::string::npos);
    EXPECT_DOUBLE_EQ(l.settings->ReadResumeTime(0, 0), 1136206805.125);
}

TEST(RilletSettings, BrokenFileStartsWithWhatCanBeRead) {
    Loaded l(
        "garbage line\n[SYSTEM]\nGROUPS=9x\nPORT=http\n"
        "[GROUP1]\nSTATION=abc\nSIZEMB=2048\nCHAN=BHZ\n"
        "[GROUP2]\nSTATION=abc\nSIZEMB=lots\nCHAN=BHZ\n"
        "[GROUP3]\nSTATION=qq\nSIZEMB=2047\nFILELENGTH(MIN)=-5\nCHAN=,;,\n"
        "[GROUP4]\nSTATION=../e\nCHAN=BHZ\n"
        "[GROUP5]\nSTATION=abc\nCHAN=B_Z,B'Z,B/Z,BHZ,B=Z,BHN.0/\nBHZ=+1 day\n"
        "[GROUP6]\nSTATION=ab'c\nSIZEMB=0\nCHAN=BHZ\n"
        "[GROUP7]\nSTATION=abcdefgh\nCHAN=BHZ\n"
        "[GROUP8]\nSTATION=xyz\nSIZEMB=100 ; hundred MB\nCHAN=BHZZ,BHZ.000,BHZ\nBHZ=abc\n"
        "[GROUP9]\nSTATION=abc\nSIZEMB=\nCHAN=LHZ\nLHZ=99999999999999999999\n",
        "no sections at all\n");
    const auto& groups = l.settings->Groups();
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0].station, "qq");
    EXPECT_EQ(groups[0].sizeLimit, 2047u * 1048576u);
    EXPECT_EQ(groups[0].fileLength, 60);
    EXPECT_TRUE(groups[0].channels.empty());
    ASSERT_EQ(groups[1].channels.size(), 2u);  // codes of letters, digits, "-" and "_" only
    EXPECT_EQ(groups[1].channels[0].channel, "B_Z");
    EXPECT_EQ(groups[2].sizeLimit, 100u * 1048576u);  // the leading digits count
    ASSERT_EQ(groups[2].channels.size(), 1u);         // codes too long for a request are left out
    EXPECT_EQ(groups[3].sizeLimit, 1u * 1048576u);    // empty: the default
    // Resume times that are no time start at the newest data instead of being sent.
    EXPECT_EQ(l.settings->ReadResumeTime(1, 1), 0);
    EXPECT_EQ(l.settings->ReadResumeTime(2, 0), 0);
    EXPECT_EQ(l.settings->ReadResumeTime(3, 0), 0);
    EXPECT_EQ(l.settings->Server(), "localhost");
    EXPECT_EQ(l.settings->Port(), 39136);
    EXPECT_EQ(l.settings->DataDirectory(), "");

    auto log = l.Log();
    EXPECT_TRUE(AnyLineHas(log, "GROUP1: SIZEMB '2048' of station abc refused"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP2: SIZEMB 'lots' of station abc refused"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP3: FILELENGTH(MIN) '-5'"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP3: no channel of station qq"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP4: station '../e' cannot name a data folder"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'B/Z' cannot name a data file"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'B=Z' cannot name a data file"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'BHN.0/' cannot name a data file"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP6: station 'ab'c' cannot name a data folder (character '''"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'B'Z' cannot name a data file (character '''"));
    EXPECT_TRUE(AnyLineHas(log, "PORT 'http'"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP7: station 'abcdefgh' is longer than a request allows"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'BHZZ' is longer than a request allows"));
    EXPECT_TRUE(AnyLineHas(log, "channel 'BHZ.000' is longer than a request allows"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP9: SIZEMB of station abc is empty; 1 used"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP5: resume time BHZ='+1 day' is not a time"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP8: resume time BHZ='abc' is not a time"));
    EXPECT_TRUE(AnyLineHas(log, "GROUP9: resume time LHZ='99999999999999999999' is not a time"));
}

// Nothing to record or nowhere to put it refuses the start, naming what is missing and where.
TEST(RilletSettings, StartNeedsADataDirectoryAndSomethingToRecord) {
    const std::string groupAbc = "[GROUP1]\nSTATION=abc\nCHAN=BHZ\n";
    struct Case {
        std::string rilletIni;  // "-" for no file
        std::string kvrIni;     // "-" for no file; "@" for a DIR that names the scratch folder
        CStartProblem problem;
        std::string message;
        std::string logLine;
    } cases[] = {
        {"-", "@", CStartProblem::NothingToRecord, "rillet.ini not found", ""},
        {"[SYSTEM]\nGROUPS=abc\n" + groupAbc, "@", CStartProblem::NothingToRecord,
         "no [SYSTEM] GROUPS in", "GROUPS 'abc'"},
        {"[SYSTEM]\nGROUPS=-5\n" + groupAbc, "@", CStartProblem::NothingToRecord,
         "no [SYSTEM] GROUPS in", "GROUPS '-5'"},
        {"[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nCHAN=XXX\n", "@",
         CStartProblem::NothingToRecord, "has a sample rate in SITECHAN", "no channel of station"},
        {"[SYSTEM]\nGROUPS=1\n" + groupAbc, "-", CStartProblem::NoDataDirectory,
         "KVR.ini not found", ""},
        {"[SYSTEM]\nGROUPS=1\n" + groupAbc, "[DATA]\n", CStartProblem::NoDataDirectory,
         "[DATA] DIR is not set in", ""},
        {"[SYSTEM]\nGROUPS=1\n" + groupAbc, "[DATA]\nDIR=\\\n", CStartProblem::NoDataDirectory,
         "names the root", ""},
        {"[SYSTEM]\nGROUPS=1\n" + groupAbc, "[DATA]\nDIR=/nonexistent/data\\\n",
         CStartProblem::NoDataDirectory, "/nonexistent/data", ""},
        {"[SYSTEM]\nGROUPS=1\n" + groupAbc, "@", CStartProblem::None, "", ""},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        if (c.rilletIni != "-")
            WriteText(dir.Path("rillet.ini"), c.rilletIni + "[LOG]\nDIR=" + dir.Path("log") + "\n");
        if (c.kvrIni != "-")
            WriteText(dir.Path("KVR.ini"),
                      c.kvrIni == "@" ? "[DATA]\nDIR=" + dir.Path() : c.kvrIni);
        CRilletLog log;
        CRilletSettings settings(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        settings.LoadSettings(Rate);
        std::string message;
        EXPECT_EQ(settings.CheckStart(&message), c.problem) << c.rilletIni << c.kvrIni;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(AnyLineHas(LogLines(dir.Path("log")), c.logLine)) << c.logLine;
        }
    }
}

// A log directory that cannot be written is said on standard error, the one place left.
TEST(RilletSettings, UnwritableLogDirectoryIsReported) {
    ScratchDir dir;
    WriteText(dir.Path("file"), "");
    WriteText(dir.Path("rillet.ini"), "[LOG]\nDIR=" + dir.Path("file/log") + "\n");
    CRilletLog log;
    CRilletSettings settings(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
    testing::internal::CaptureStderr();
    settings.LoadSettings(Rate);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(dir.Path("file/log") + "/ cannot be written (Not a directory)"),
              std::string::npos)
        << err;
}

TEST(RilletSettings, KvrIniIsFoundInTheWindowsDirectory) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.Path("windows"));
    WriteText(dir.Path("windows/KVR.ini"), "[DATA]\nDIR=" + dir.Path("data") + "\\\n");
    WriteText(dir.Path("rillet.ini"),
              "[SYSTEM]\nPORT=40000\n[LOG]\nDIR=" + dir.Path("log") + "\\\n");
    ::setenv("WINDIR", dir.Path("windows").c_str(), 1);
    CRilletLog log;
    CRilletSettings settings(log, dir.Path("rillet.ini"));
    settings.LoadSettings(Rate);
    EXPECT_EQ(settings.DataDirectory(), dir.Path("data"));
    EXPECT_EQ(settings.DataPath("abc\\13\\x.abc"), dir.Path("data/abc/13/x.abc"));
    EXPECT_EQ(settings.Port(), 40000);
    EXPECT_EQ(settings.LogDirectory(), dir.Path("log") + "\\");
}
