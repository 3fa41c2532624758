// The status report against a recorder at work in the same folder and catalogue, with one channel
// the server does not serve; then the set-ups it must refuse.
#include "rillet/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "recording_rig.h"

namespace rillet_test {
namespace {

struct Report {
    int status = -1;
    std::string out;
    std::string err;
};

Report RunReport(const RilletStatusOptions& options) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    Report report;
    report.status = rilletReportStatus(options, out, err);
    for (auto [file, text] : {std::pair{out, &report.out}, std::pair{err, &report.err}}) {
        std::rewind(file);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text->append(buf, n);
        std::fclose(file);
    }
    return report;
}

// The report's line of one channel.
std::string Line(const std::string& out, const std::string& start) {
    size_t at = out.find("\n" + start);
    if (at == std::string::npos) return {};
    return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

// The line after that one.
std::string LineAfter(const std::string& out, const std::string& start) {
    const std::string line = Line(out, start);
    return line.empty() ? line : Line(out.substr(out.find(line) + line.size()), "");
}

TEST(RilletStatus, ReportsTheStalledChannelWhileTheRecorderRuns) {
    RecordingRig rig({}, 100, 0.1);
    // SHZ has a rate in SITECHAN, so it is recorded, but the server never sends it.
    platWriteProfileString("GROUP1", "CHAN", "BHZ,BHN.00,LHZ,SHZ", rig.dir.Path("rillet.ini"));
    {
        CRilletLog log;
        CRilletSettings settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        std::string why;
        ASSERT_TRUE(rig.open(catalogue, &why)) << why;
        ASSERT_TRUE(
            kvrPutSitechan(catalogue.Connection(), kvrSitechanKey("abc", "SHZ", "??", 20)).ok());
    }
    RilletStatusOptions options;
    options.rilletIni = rig.dir.Path("rillet.ini");
    options.kvrIni = rig.dir.Path("KVR.ini");
    options.openCatalogue = rig.open;

    Report running;
    rig.beforeStop = [&] {
        options.now = platNow();
        running = RunReport(options);
    };
    // Until each channel has written: BHZ and BHN hold 245 s before they write, LHZ none.
    rig.RecordWhile([&] {
        return rig.Resume("BHZ") <= rig.start || rig.Resume("BHN.00") <= rig.start ||
               rig.Resume("LHZ") < platNow() - 60;
    });

    EXPECT_EQ(running.status, kStatusLagging) << running.out << running.err;
    for (const char* current : {"abc    BHZ  --", "abc    BHN  00", "abc    LHZ  --"}) {
        std::string line = Line(running.out, current);
        EXPECT_NE(line.find(" ok "), std::string::npos) << running.out;
        EXPECT_NE(line.find("abc"), line.rfind("abc")) << "no current file: " << line;
    }
    EXPECT_NE(Line(running.out, "abc    SHZ  --").find("NO DATA"), std::string::npos)
        << running.out;
    EXPECT_NE(running.out.find("station abc: disk loop "), std::string::npos);
    EXPECT_NE(running.out.find(" of 100 MB"), std::string::npos);

    // An hour later without a recorder every channel lags; with SHZ dropped from the settings
    // and a lag long enough, the same folder is current.
    // SHZ's loop gets two files 100 s apart, and one from two days ago: one gap of the last day.
    {
        CRilletLog log;
        CRilletSettings settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        std::string why;
        ASSERT_TRUE(rig.open(catalogue, &why)) << why;
        const double t = std::floor(platNow()) - 3000;
        for (double start : {t - 2 * 86400.0, t, t + 1000})
            ASSERT_TRUE(kvrRegisterNewFile(catalogue.Connection(),
                                           "abc/x/" + std::to_string(int64_t(start)), "abc", start,
                                           900, 20, "SHZ", "??", -1, -1)
                            .ok());
    }
    options.now = platNow() + 3600;
    Report later = RunReport(options);
    EXPECT_EQ(later.status, kStatusLagging);
    EXPECT_NE(Line(later.out, "abc    BHZ  --").find("LAGGING"), std::string::npos) << later.out;
    EXPECT_EQ(LineAfter(later.out, "abc    BHZ  --"), "       gaps of the last 24 h: none")
        << later.out;
    EXPECT_EQ(LineAfter(later.out, "abc    SHZ  --"),
              "       gaps of the last 24 h: 1, 100.0 s in all")
        << later.out;
    platWriteProfileString("GROUP1", "CHAN", "BHZ,BHN.00,LHZ", rig.dir.Path("rillet.ini"));
    options.maxLagSeconds = 7200;
    // A setting the recorder would refuse is said to the reader, never written into the
    // recorder's own log.
    platWriteProfileString("GROUP1", "SIZEMB", "", rig.dir.Path("rillet.ini"));
    const size_t logLines = LogLines(rig.dir.Path("log")).size();
    Report current = RunReport(options);
    EXPECT_EQ(current.status, kStatusCurrent) << current.out << current.err;
    EXPECT_EQ(LogLines(rig.dir.Path("log")).size(), logLines);

    // A folder without settings, a catalogue that cannot be opened, and one without the tables.
    // (In a folder of its own: the default log folder of missing settings is "..\\log".)
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::create_directories(rig.dir.Path("empty/folder"));
    std::filesystem::current_path(rig.dir.Path("empty/folder"));
    RilletStatusOptions none = options;
    none.rilletIni = kRilletIni;
    Report noSettings = RunReport(none);
    std::filesystem::current_path(here);
    EXPECT_EQ(noSettings.status, kStatusBadSetup);
    EXPECT_NE(noSettings.err.find("rillet.ini"), std::string::npos) << noSettings.err;
    EXPECT_FALSE(std::filesystem::exists(rig.dir.Path("empty/log"))) << "made a log folder";

    RilletStatusOptions closed = options;
    closed.openCatalogue = [](CKvrCatalogue&, std::string* why) {
        *why = "no such data source";
        return false;
    };
    EXPECT_EQ(RunReport(closed).status, kStatusBadSetup);

    RilletStatusOptions empty = options;
    empty.openCatalogue = [&](CKvrCatalogue& catalogue, std::string*) {
        return catalogue.OpenConnectionString(SqliteConnection(rig.dir.Path("empty.db")));
    };
    Report unreadable = RunReport(empty);
    EXPECT_EQ(unreadable.status, kStatusBadSetup);
    EXPECT_NE(unreadable.err.find("catalogue unreadable"), std::string::npos) << unreadable.err;
}

}  // namespace
}  // namespace rillet_test
