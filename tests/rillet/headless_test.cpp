// The rillet executable itself: its start-up failures, and an orderly stop by SIGTERM that writes
// what is pending. The children run without a display.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "recording_rig.h"
#include "rillet/startup.h"
#include "util/util.h"

using namespace rillet_test;

namespace {

struct Child {
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// Starts rillet with args in folder `home`, data source file odbcIni, KVR.ini found in windir;
// on Qt's offscreen platform, or else without any display.
Child Start(const std::vector<std::string>& args, const std::string& home,
            const std::string& odbcIni, const std::string& windir, bool offscreen = false,
            const std::string& program = RILLET_EXE) {
    Child child;
    child.out = home + "/stdout.txt";
    child.err = home + "/stderr.txt";
    // The SQLite ODBC driver keeps a few bytes of its data-source settings from SQLConnect for
    // good; in sanitizer builds that would fail the child at exit.
    std::string suppressions = home + "/lsan.supp";
    WriteText(suppressions, "leak:libsqlite3odbc.so\n");
    child.pid = ::fork();
    if (child.pid == 0) {
        ::setenv("LSAN_OPTIONS",
                 ("suppressions=" + suppressions + ":fast_unwind_on_malloc=0").c_str(), 1);
        ::setenv("ODBCINI", odbcIni.c_str(), 1);
        ::setenv("ODBCSYSINI", home.c_str(), 1);
        ::setenv("WINDIR", windir.c_str(), 1);
        // No display: without --headless the program refuses instead of opening its window.
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) ::unsetenv(name);
        if (offscreen) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        int out = ::open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        std::string exe = program;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    return child;
}

// Waits for the child's exit with a generous bound; -1 when it did not end (it is then killed).
int Wait(const Child& child, double seconds = kGenerousWaitSeconds) {
    double deadline = platNow() + seconds;
    int status = 0;
    while (platNow() < deadline) {
        if (::waitpid(child.pid, &status, WNOHANG) == child.pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        platSleepMs(20);
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    return -1;
}

// The catalogue with the rig's SITECHAN rows, reached as data source "KVR" through the rig's own
// odbc.ini.
void PrepareDataSource(RecordingRig& rig) {
    std::string why;
    {
        CRilletLog log;
        CRilletSettings settings(log, rig.dir.Path("rillet.ini"), rig.dir.Path("KVR.ini"));
        CKvrCatalogue catalogue(log, settings);
        ASSERT_TRUE(rig.open(catalogue, &why)) << why;
        for (const auto& c : rig.channels)
            kvrPutSitechan(catalogue.Connection(),
                           kvrSitechanKey("abc", c.chan, *c.loc ? c.loc : "??", c.rate));
    }
    WriteText(rig.dir.Path("odbcinst.ini"), "");
    ASSERT_TRUE(kvrWriteDsnSection(
        rig.dir.Path("odbc.ini"), KVR_DSN,
        kvrSqliteDsnEntry(kvrFindOdbcDriver("libsqlite3odbc.so"), rig.dir.Path("kvr.db")), &why))
        << why;
}

}  // namespace

TEST(RilletHeadless, StartUpFailuresAreReportedWithANonZeroExit) {
    ScratchDir dir;
    WriteText(dir.Path("odbcinst.ini"), "");
    WriteText(dir.Path("odbc.ini"), "");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string text;  // on standard error
    } cases[] = {
        {{"--headless", "-C", dir.Path()}, 4, "KVR database open error"},
        {{"-C", dir.Path()}, 2, "no display for the window"},
        {{"--headless", "-C", dir.Path("missing")}, 2, "cannot change into"},
        {{"--bogus"}, 2, "bogus"},
        {{"--status", "-C", dir.Path()}, 2, "no recorder settings"},
    };
    for (const auto& c : cases) {
        Child child = Start(c.args, dir.Path(), dir.Path("odbc.ini"), dir.Path());
        int code = Wait(child);
        std::string err = ReadText(child.err);
        EXPECT_EQ(code, c.exitCode) << err;
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
    }
}

// SIGHUP, like SIGTERM, is an orderly stop, and it takes under a second while the recorder waits
// for live data.
TEST(RilletHeadless, SighupWritesEveryPendingRunWithinASecond) {
    RecordingRig rig({}, 100, 1);
    ASSERT_NO_FATAL_FAILURE(PrepareDataSource(rig));

    Child child = Start({"--headless", "--verbose", "-C", rig.dir.Path()}, rig.dir.Path(),
                        rig.dir.Path("odbc.ini"), rig.dir.Path());
    // Caught up with the whole runs of the hour: the rest of it is pending now.
    const double caughtUp = rig.start + std::floor(3600 / 245.0) * 245;
    double deadline = platNow() + kGenerousWaitSeconds;
    while (rig.Resume("BHZ") < caughtUp && platNow() < deadline) platSleepMs(50);
    ASSERT_GE(rig.Resume("BHZ"), caughtUp) << ReadText(child.out) << ReadText(child.err);
    platSleepMs(300);  // caught up: waiting for the next live packet
    ::kill(child.pid, SIGHUP);
    EXPECT_EQ(Wait(child, 1.0), 0) << ReadText(child.err);

    // The last BHZ packet shown before the stop ends the data written: the pending run went
    // into the file, with its row and resume time.
    std::string out = ReadText(child.out);
    const std::string tag = " ABC    BHZ   ";
    size_t last = out.rfind(tag);
    ASSERT_NE(last, std::string::npos) << out;
    double lastPacket = utilAttodt(out.substr(last + tag.size(), 21).c_str());
    ASSERT_GT(lastPacket, rig.start);
    EXPECT_NEAR(rig.Resume("BHZ"), lastPacket + 100 / 20.0, 1e-3);
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
    for (const char* text :
         {"Connecting...", "Connected...", "Connection closed", " ABC    BHZ   "})
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
}

// The window program (no notification area offscreen) ends the same orderly way on SIGTERM.
TEST(RilletHeadless, WindowProgramWritesEveryPendingRunOnSigterm) {
    RecordingRig rig({}, 100, 1);
    ASSERT_NO_FATAL_FAILURE(PrepareDataSource(rig));
    Child child = Start({"-C", rig.dir.Path()}, rig.dir.Path(), rig.dir.Path("odbc.ini"),
                        rig.dir.Path(), true);
    // Caught up with the whole runs of the hour; the rest of it (under one run) is pending.
    const double caughtUp = rig.start + std::floor(3600 / 245.0) * 245;
    double deadline = platNow() + kGenerousWaitSeconds;
    while (rig.Resume("BHZ") < caughtUp && platNow() < deadline) platSleepMs(50);
    ASSERT_GE(rig.Resume("BHZ"), caughtUp) << ReadText(child.out) << ReadText(child.err);
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(child, 1.0), 0) << ReadText(child.err);
    EXPECT_GT(rig.Resume("BHZ"), caughtUp) << "the pending run was not written";
    EXPECT_TRUE(AnyLineHas(LogLines(rig.dir.Path("log")), "#Recorder stopped#"));
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
}

// The program built without its window loads no window library: it says so when asked for the
// window, and records headless as the other does.
TEST(RilletHeadless, ProgramWithoutItsWindowRecordsHeadless) {
    RecordingRig rig({}, 100, 1);
    ASSERT_NO_FATAL_FAILURE(PrepareDataSource(rig));
    Child window = Start({"-C", rig.dir.Path()}, rig.dir.Path(), rig.dir.Path("odbc.ini"),
                         rig.dir.Path(), true, RILLET_HEADLESS_EXE);
    EXPECT_EQ(Wait(window), kExitUsage);
    EXPECT_NE(ReadText(window.err).find("built without its window"), std::string::npos)
        << ReadText(window.err);

    Child child = Start({"--headless", "-C", rig.dir.Path()}, rig.dir.Path(),
                        rig.dir.Path("odbc.ini"), rig.dir.Path(), false, RILLET_HEADLESS_EXE);
    const double caughtUp = rig.start + std::floor(3600 / 245.0) * 245;
    double deadline = platNow() + kGenerousWaitSeconds;
    while (rig.Resume("BHZ") < caughtUp && platNow() < deadline) platSleepMs(50);
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(child), 0) << ReadText(child.err);
    EXPECT_GT(rig.Resume("BHZ"), caughtUp) << ReadText(child.err);
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
}

// A second recorder on the same settings folder, or on the same station's data from another
// folder, is refused and names the holder; the first records on untouched. Without a data
// directory or anything to record the start is refused with statuses of their own.
TEST(RilletHeadless, SecondRecorderAndStartsWithNothingToDoAreRefused) {
    RecordingRig rig({}, 100, 1);
    ASSERT_NO_FATAL_FAILURE(PrepareDataSource(rig));
    Child first = Start({"--headless", "-C", rig.dir.Path()}, rig.dir.Path(),
                        rig.dir.Path("odbc.ini"), rig.dir.Path());
    double deadline = platNow() + kGenerousWaitSeconds;
    while (rig.Resume("BHZ") <= rig.start && platNow() < deadline) platSleepMs(20);
    ASSERT_GT(rig.Resume("BHZ"), rig.start) << ReadText(first.err);

    auto other = [&](const std::string& rel = "") { return rig.dir.Path("other/" + rel); };
    std::filesystem::create_directories(other("same-station"));
    std::filesystem::create_directories(other("no-settings"));
    std::filesystem::create_directories(other("no-kvr-ini"));
    std::filesystem::copy_file(rig.dir.Path("rillet.ini"), other("same-station/rillet.ini"));
    std::filesystem::copy_file(rig.dir.Path("rillet.ini"), other("no-kvr-ini/rillet.ini"));
    const std::string holder = "another recorder (pid " + std::to_string(first.pid);
    struct Case {
        std::string folder;
        std::string windir;
        int exitCode;
        std::string text;
    } cases[] = {
        {rig.dir.Path(), rig.dir.Path(), kExitLocked, holder + " on "},
        {other("same-station"), rig.dir.Path(), kExitLocked, "records station abc"},
        {other("no-settings"), rig.dir.Path(), kExitNothingToRecord, "rillet.ini not found"},
        {other("no-kvr-ini"), other(), kExitNoDataDirectory, "KVR.ini not found"},
    };
    for (const auto& c : cases) {
        Child second =
            Start({"--headless", "-C", c.folder}, other(), rig.dir.Path("odbc.ini"), c.windir);
        EXPECT_EQ(Wait(second, 10), c.exitCode) << c.folder;
        std::string err = ReadText(second.err);
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
    }

    const double caughtUp = rig.start + std::floor(3600 / 245.0) * 245;
    while (rig.Resume("BHZ") < caughtUp && platNow() < deadline) platSleepMs(50);
    ::kill(first.pid, SIGTERM);
    EXPECT_EQ(Wait(first), 0) << ReadText(first.err);
    for (const auto& c : rig.channels) rig.CheckChannel(c, 0);
}

// Twenty SIGKILLs and four SIGTERMs at random moments, on streams whose packets end off the whole
// second (20 samples per second in packets of 7, 40 in packets of 100): every sample the server
// sent is in a file exactly once, none twice, with no hole the server could fill, and every file
// agrees with its row.
TEST(RilletHeadless, KilledOrStoppedAtRandomMomentsStoresEverySampleOnce) {
    RecordingRig rig({}, 100, 1,
                     {{"BHZ", "", 20, 7, Name("ABC", "BHZ", "  ")},
                      {"HHZ", "00", 40, 100, Name("ABC", "HHZ", "00")},
                      {"LHZ", "", 1, 10, Name("ABC", "LHZ", "  ")}});
    ASSERT_NO_FATAL_FAILURE(PrepareDataSource(rig));
    const unsigned seed = static_cast<unsigned>(::getpid());
    std::mt19937 random(seed);
    constexpr int kStarts = 24;
    for (int i = 0; i < kStarts; ++i) {
        Child child = Start({"--headless", "-C", rig.dir.Path()}, rig.dir.Path(),
                            rig.dir.Path("odbc.ini"), rig.dir.Path());
        platSleepMs(50 + random() % 600);
        const bool orderly = i % 6 == 5;
        ::kill(child.pid, orderly ? SIGTERM : SIGKILL);
        ASSERT_EQ(Wait(child), orderly ? 0 : 128 + SIGKILL)
            << "seed " << seed << ": " << ReadText(child.err);
    }
    ASSERT_GT(rig.Resume("BHZ"), rig.start + 245) << "seed " << seed << ": nothing recorded";
    // And no file is left without its row: a file made again after a kill begins where the rows
    // end, so it takes the name (and the place) of the one the kill left without a row.
    size_t rows = 0, files = 0;
    for (const auto& c : rig.channels) rows += rig.CheckChannel(c, 0).size();
    for (const auto& e : std::filesystem::recursive_directory_iterator(rig.dir.Path("data")))
        if (e.is_regular_file() && e.path().filename() != kRecorderLockFile) ++files;
    EXPECT_EQ(files, rows);
    if (HasFailure()) ADD_FAILURE() << "seed " << seed;
}
