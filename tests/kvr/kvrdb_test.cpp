// kvrdb end to end on an SQLite catalogue: data source, init, SITECHAN rows from the command line
// and from a stand-in ISI server, check's exit code.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kvr/kvrfile.h"
#ifdef KVRDB_WITH_ISI
#include "isi/isi.h"
#include "tools/iacp_peer.h"
#endif

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status;
    std::string output;
};

class KvrdbTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = "/tmp/kvrdb-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/odbcinst.ini").close();
        // Another user's entry that must survive kvrdb dsn.
        std::ofstream(dir_ + "/odbc.ini") << "[Other]\nDriver=/nowhere.so\nDatabase=x\n";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs kvrdb with the test's data source file; env adds "VAR='value' " assignments, which
    // may name another ODBCINI.
    ToolRun kvrdb(const std::string& args, const std::string& env = "WINDIR= ") {
        std::string command = "ODBCINI='" + dir_ + "/odbc.ini' ODBCSYSINI='" + dir_ + "' " + env +
                              " '" + KVRDB_PATH + "' " + args + " 2>&1";
        ToolRun run{-1, {}};
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return run;
        std::array<char, 512> buffer;
        size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            run.output.append(buffer.data(), n);
        int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    // An SQLite catalogue with its tables, made through kvrdb itself.
    bool initCatalogue() {
        return kvrdb("dsn sqlite '" + dir_ + "/kvr.db'").status == 0 && kvrdb("init").status == 0;
    }

    std::string dir_;
};

}  // namespace

TEST_F(KvrdbTool, SetsUpFillsAndChecksAnSqliteCatalogue) {
    ToolRun r = kvrdb("dsn sqlite '" + dir_ + "/kvr.db'");
    ASSERT_EQ(r.status, 0) << r.output;
    std::ifstream in(dir_ + "/odbc.ini");
    std::string ini{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(ini.find("[Other]\nDriver=/nowhere.so"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[KVR]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("JournalMode=WAL"), std::string::npos) << ini;

    // Writing it again replaces the entry instead of adding a second one.
    ASSERT_EQ(kvrdb("dsn sqlite '" + dir_ + "/kvr.db'").status, 0);
    std::ifstream again(dir_ + "/odbc.ini");
    ini.assign(std::istreambuf_iterator<char>(again), std::istreambuf_iterator<char>());
    EXPECT_EQ(ini.find("[KVR]"), ini.rfind("[KVR]")) << ini;

    r = kvrdb("init");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("created filelist"), std::string::npos) << r.output;
    r = kvrdb("sitechan add ABC bhz '' 20");
    ASSERT_EQ(r.status, 0) << r.output;
    r = kvrdb("sitechan list");
    EXPECT_NE(r.output.find("abc     BHZ ?? 20.000000"), std::string::npos) << r.output;
    EXPECT_NE(kvrdb("sitechan add ABC BHZ 00 -5").status, 0);

    // An empty data directory agrees with an empty catalogue; a stray KVR file does not.
    fs::create_directories(dir_ + "/data/abc");
    r = kvrdb("check --data-dir '" + dir_ + "/data'");
    EXPECT_EQ(r.status, 0) << r.output;
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(kvrBuildHeader40(header, "abc", "BHZ", 20.0));
    std::string error;
    ASSERT_TRUE(kvrCreateFile(dir_ + "/data/abc/x.abc", header, {}, &error)) << error;
    r = kvrdb("check --data-dir '" + dir_ + "/data'");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("no row   abc/x.abc"), std::string::npos) << r.output;

    // Without --data-dir the folder comes from DIR of [DATA] in KVR.ini in the Windows directory.
    std::ofstream(dir_ + "/KVR.ini") << "[Data]\r\ndir=" << dir_ << "/data\r\n";
    r = kvrdb("check", "WINDIR='" + dir_ + "' ");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("no row   abc/x.abc"), std::string::npos) << r.output;

    // A PostgreSQL entry under another name joins the file; the SQLite one stays.
    r = kvrdb("--dsn Shared dsn postgres 127.0.0.1 5433 KVR");
    ASSERT_EQ(r.status, 0) << r.output;
    std::ifstream third(dir_ + "/odbc.ini");
    ini.assign(std::istreambuf_iterator<char>(third), std::istreambuf_iterator<char>());
    EXPECT_NE(ini.find("[Shared]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Servername=127.0.0.1\nPort=5433\nDatabase=KVR"), std::string::npos) << ini;
    EXPECT_NE(ini.find("JournalMode=WAL"), std::string::npos) << ini;
    EXPECT_NE(kvrdb("dsn postgres 127.0.0.1 99999 KVR").status, 0);

    r = kvrdb("--dsn Missing files");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("cannot open data source \"Missing\""), std::string::npos) << r.output;
}

// The data source file holds what lets a program into a shared catalogue: a mistyped path is
// refused before anything is created, and a stored password is for the file's owner's eyes only.
TEST_F(KvrdbTool, DataSourceFileIsNeverMadeByAMistakeAndKeepsItsPasswordPrivate) {
    ToolRun r = kvrdb("files", "ODBCINI='" + dir_ + "/odbc.inii'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("ODBCINI names " + dir_ + "/odbc.inii, which does not exist"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(dir_ + "/odbc.inii"));
    r = kvrdb("dsn sqlite '" + dir_ + "/kvr.db'", "ODBCINI='" + dir_ + "/typo/odbc.ini'");
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(fs::exists(dir_ + "/typo")) << r.output;

    std::ofstream(dir_ + "/password") << "se;cret{1}\n";
    r = kvrdb("dsn postgres db.example.org 5432 KVR --user rillet_tuc --password-stdin < '" + dir_ +
              "/password'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("written to " + dir_ + "/odbc.ini"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("se;cret"), std::string::npos) << r.output;
    std::ifstream in(dir_ + "/odbc.ini");
    std::string ini{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(ini.find("UID=rillet_tuc\nPWD=se;cret{1}\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Other]"), std::string::npos) << ini;
    EXPECT_EQ(fs::status(dir_ + "/odbc.ini").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Without --password-stdin no password is written: the environment gives it at run time.
    r = kvrdb("--dsn Shared dsn postgres db.example.org 5432 KVR");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("password: none written ($KVR_CATALOGUE_PASSWORD"), std::string::npos)
        << r.output;
    std::ifstream again(dir_ + "/odbc.ini");
    ini.assign(std::istreambuf_iterator<char>(again), std::istreambuf_iterator<char>());
    EXPECT_EQ(ini.find("PWD="), ini.rfind("PWD=")) << ini;
    std::ofstream(dir_ + "/password") << " padded\n";
    EXPECT_EQ(kvrdb("dsn postgres h 5432 KVR --password-stdin < '" + dir_ + "/password'").status,
              2);
}

// What a crash between a file and its row leaves: a row longer than its file, a row whose file is
// gone, a file without a row. --repair mends the rows, --adopt registers the file, files are
// never touched.
TEST_F(KvrdbTool, RepairBringsRowsIntoAgreementWithTheirFiles) {
    ASSERT_TRUE(initCatalogue());
    const std::string data = dir_ + "/data";
    fs::create_directories(data + "/ABC");
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(kvrBuildHeader40(header, "ABC", "BHZ", 20.0));
    std::vector<float> samples(100, 1.5f);
    std::string error;
    // Day 046 of 2007, 12:00:00 and 12:10:00.
    for (const char* name : {"/ABC/0462007-120000-BHZ.00.ABC", "/ABC/0462007-121000-BHZ.00.ABC"})
        ASSERT_TRUE(kvrCreateFile(data + name, header, samples, &error)) << error;
    std::ofstream(dir_ + "/rows.sql")
        << "insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,CREATER) values "
           "('ABC','BHZ','00',1171540800,9.0,20,1,'ABC/0462007-120000-BHZ.00.ABC',3,'Gleaner'),"
           "('ABC','BHZ','00',1171544400,5.0,20,1,'ABC/0462007-130000-BHZ.00.ABC',3,'Gleaner');\n";
    ASSERT_EQ(std::system(("sqlite3 '" + dir_ + "/kvr.db' < '" + dir_ + "/rows.sql'").c_str()), 0);
    const std::string check = "check --data-dir '" + data + "'";

    ToolRun r = kvrdb(check);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("3 problem(s)"), std::string::npos) << r.output;
    r = kvrdb(check + " --repair");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("mended   set the length of ABC/0462007-120000-BHZ.00.ABC to its "
                            "file's, 5.000000 s"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("mended   deleted the row of ABC/0462007-130000"), std::string::npos);
    EXPECT_NE(r.output.find("no row   ABC/0462007-121000-BHZ.00.ABC"), std::string::npos);
    EXPECT_NE(kvrdb(check + " --adopt").status, 0);  // --adopt only with --repair
    // No file of the channel ends where this one begins: its first sample is known to the whole
    // second only, which the repair and every later check say.
    r = kvrdb(check + " --repair --adopt");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("registered ABC/0462007-121000-BHZ.00.ABC as Gleaner, first sample "
                            "2007-02-15 12:10:00.000 (first sample known to the whole second "
                            "only)"),
              std::string::npos)
        << r.output;
    r = kvrdb(check);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("inexact  ABC/0462007-121000-BHZ.00.ABC: first sample known to the "
                            "whole second only"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("agree"), std::string::npos) << r.output;
    EXPECT_EQ(fs::file_size(data + "/ABC/0462007-121000-BHZ.00.ABC"), KVR_HEADER_SIZE + 400);
}

// Files of a recording whose rows were lost, recorder and retrieval files alike, of located
// channels, starting off the whole second. Every sample holds its own time (in samples from
// 12:00:00), so a row that places its file wrongly shows in the samples.
TEST_F(KvrdbTool, AdoptionPlacesEverySampleOrSaysItCannot) {
    ASSERT_TRUE(initCatalogue());
    const std::string data = dir_ + "/data";
    const double base = 1171540800.0;  // 2007-02-15 12:00:00 (day 046)
    struct File {
        const char* cpath;
        double start;  // seconds after base
        double sps;
        int samples;
        bool row;  // the catalogue still has its row
    } files[] = {
        // The recorder's BHN.00 (the only location of BHN: plain 2.0 names) from 12:00:00.25.
        {"abc/12/15022007-120000-BHN.abc", 0.25, 20, 1200, true},
        {"abc/12/15022007-120100-BHN.abc", 60.25, 20, 1200, false},
        {"abc/12/15022007-120200-BHN.abc", 120.25, 20, 1200, false},
        {"abc/13/15022007-130000-BHN.abc", 3600.75, 20, 100, false},  // after a gap
        // A station that records HHZ under two locations names them.
        {"abc/12/15022007-120000-HHZ.10.abc", 0.6, 100, 3000, false},
        {"abc/12/15022007-120030-HHZ.10.abc", 30.6, 100, 3000, true},
        // Gleaner's LHZ.00 from 12:00:00.8, split after its first file.
        {"ABC/0462007-120000-LHZ.00.ABC", 0.8, 10, 600, true},
        {"ABC/0462007-120100-LHZ.00.ABC", 60.8, 10, 600, false},
    };
    std::string rows =
        "insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,"
        "CREATER) values ";
    bool first = true;
    for (const File& f : files) {
        const std::string cpath = f.cpath;
        const bool v40 = cpath[0] == 'A';
        const std::string sta = v40 ? "ABC" : "abc";
        const std::string ch = cpath.substr(cpath.rfind('-') + 1, 3);
        fs::create_directories(fs::path(data + "/" + cpath).parent_path());
        std::array<char, KVR_HEADER_SIZE> header{};
        ASSERT_TRUE(v40 ? kvrBuildHeader40(header, sta, ch, f.sps)
                        : BuildHeader20(header, sta, ch, f.sps, base + f.start));
        std::vector<float> samples(size_t(f.samples));
        for (int i = 0; i < f.samples; ++i) samples[size_t(i)] = float(f.start * f.sps + i);
        std::string error;
        ASSERT_TRUE(kvrCreateFile(data + "/" + cpath, header, samples, &error)) << error;
        if (!f.row) continue;
        char values[256];
        std::snprintf(values, sizeof values, "%s('%s','%s','%s',%.6f,%.6f,%.6f,1,'%s',3,'%s')",
                      first ? "" : ",", sta.c_str(), ch.c_str(), ch == "HHZ" ? "10" : "00",
                      base + f.start, f.samples / f.sps, f.sps, f.cpath,
                      v40 ? "Gleaner" : "NRTSDISKLOOP");
        rows += values;
        first = false;
    }
    std::ofstream(dir_ + "/rows.sql") << rows << ";\n";
    ASSERT_EQ(std::system(("sqlite3 '" + dir_ + "/kvr.db' < '" + dir_ + "/rows.sql'").c_str()), 0);
    const std::string check = "check --data-dir '" + data + "'";

    ToolRun r = kvrdb(check + " --repair --adopt");
    EXPECT_EQ(r.status, 1) << r.output;  // the file after the gap cannot be placed exactly
    EXPECT_NE(r.output.find("registered abc/12/15022007-120100-BHN.abc as NRTSDISKLOOP, first "
                            "sample 2007-02-15 12:01:00.250 (location 00 from the channel's other "
                            "rows; first sample at the end of abc/12/15022007-120000-BHN.abc)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("15022007-130000-BHN.abc as NRTSDISKLOOP, first sample 2007-02-15 "
                            "13:00:00.000 (location 00 from the channel's other rows; first "
                            "sample known to the whole second only)"),
              std::string::npos)
        << r.output;
    r = kvrdb(check);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("inexact  abc/13/15022007-130000-BHN.abc: first sample known to the "
                            "whole second only"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("1 problem(s)"), std::string::npos) << r.output;

    // Every row names its stream, and every sample of its file lies at its own time, but for the
    // one file the check calls inexact.
    const std::string dump = dir_ + "/rows.txt";
    ASSERT_EQ(
        std::system(("sqlite3 -separator ' ' '" + dir_ +
                     "/kvr.db' 'select CPATH,LCODE,TBEGIN,SPS from FILELIST' > '" + dump + "'")
                        .c_str()),
        0);
    std::ifstream in(dump);
    std::string cpath, lcode;
    double tbegin = 0, sps = 0;
    int checked = 0;
    while (in >> cpath >> lcode >> tbegin >> sps) {
        SCOPED_TRACE(cpath);
        ++checked;
        EXPECT_EQ(lcode, cpath.find("HHZ") != std::string::npos ? "10" : "00");
        if (cpath == "abc/13/15022007-130000-BHN.abc") continue;
        KVR_FILE_INFO info;
        std::vector<float> samples;
        std::string error;
        ASSERT_TRUE(kvrReadFile(data + "/" + cpath, &info, &samples, &error)) << error;
        const double k0 = (tbegin - base) * sps;
        EXPECT_NEAR(k0, std::round(k0), 1e-3);
        for (size_t i = 0; i < samples.size(); ++i)
            if (samples[i] != float(std::llround(k0) + int64_t(i))) {
                ADD_FAILURE() << "sample " << i << " is " << samples[i];
                break;
            }
    }
    EXPECT_EQ(checked, 8);
}

#ifdef ISI_SIM_PATH
TEST_F(KvrdbTool, LoadsSitechanFromAServersConfigurationList) {
    ASSERT_EQ(kvrdb("dsn sqlite '" + dir_ + "/kvr.db'").status, 0);
    ASSERT_EQ(kvrdb("init").status, 0);

    std::string portFile = dir_ + "/port";
    std::vector<std::string> args = {
        ISI_SIM_PATH,    "-p",  "0",  "--port-file",    portFile, "-q",
        "--run-seconds", "120", "-s", "ANMO.BHZ.00:20", "-s",     "AB.LHZ:1"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t server = 0;
    ASSERT_EQ(posix_spawn(&server, ISI_SIM_PATH, nullptr, nullptr, argv.data(), environ), 0);
    std::string port;
    // Generous bound for a loaded machine; the server writes its port as soon as it listens.
    for (int i = 0; i < 300 && port.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream in(portFile);
        std::getline(in, port);
    }
    ToolRun r{-1, {}};
    if (!port.empty()) r = kvrdb("sitechan load 127.0.0.1:" + port);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    ASSERT_FALSE(port.empty()) << "isi-sim did not start";
    ASSERT_EQ(r.status, 0) << r.output;

    r = kvrdb("sitechan list");
    EXPECT_NE(r.output.find("anmo    BHZ 00 20.000000"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ab      LHZ ?? 1.000000"), std::string::npos) << r.output;

    // Nobody listens on the port any more: the load fails instead of retrying for ever.
    r = kvrdb("sitechan load 127.0.0.1:" + port);
    EXPECT_NE(r.status, 0) << r.output;
}
#endif

#ifdef KVRDB_WITH_ISI
// A password typed on the command line leaves the process list before kvrdb does anything and is
// warned about; one in a file is read from there; a file that cannot give one is refused.
TEST_F(KvrdbTool, APasswordNeverStaysInTheProcessList) {
    ASSERT_TRUE(initCatalogue());
    // A server that never answers its handshake holds kvrdb long enough to be looked at.
    iacptest::IacpPeer peer;
    ASSERT_TRUE(peer.listening());
    const std::string log = dir_ + "/stderr";
    std::vector<std::string> args = {KVRDB_PATH, "--password", "S3cr3t", "sitechan", "load",
                                     "127.0.0.1:" + std::to_string(peer.port())};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, KVRDB_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string cmdline;
    for (int i = 0; i < 100 && cmdline.find("sitechan") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        cmdline.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    cmdline.assign(std::istreambuf_iterator<char>(in), {});
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(cmdline.find("S3cr3t"), std::string::npos);
    EXPECT_NE(cmdline.find("******"), std::string::npos);
    std::ifstream errFile(log);
    const std::string err((std::istreambuf_iterator<char>(errFile)), {});
    EXPECT_NE(err.find("warning: a password on the command line can be read by every user"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("S3cr3t"), std::string::npos);

    std::ofstream(dir_ + "/pw") << "S3cr3t\n";
    ToolRun r = kvrdb("--password-file '" + dir_ + "/pw' sitechan list");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
    r = kvrdb("--password-file '" + dir_ + "/none' sitechan list");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cannot read the password file " + dir_ + "/none"), std::string::npos)
        << r.output;
}

// A server's names are codes, not text: control bytes, line breaks and bytes that are not UTF-8
// never reach SITECHAN, and what a catalogue holds already is listed escaped, one line a row.
TEST_F(KvrdbTool, SitechanLoadRefusesNamesThatCannotBeCodes) {
    ASSERT_TRUE(initCatalogue());
    auto entry = [](const char* sta, const char* chn) {
        ISI_STREAM_CNF cnf = {};
        isiSetStreamId(&cnf.name, sta, chn, nullptr);
        cnf.factor = 20;
        cnf.multiplier = 1;
        std::vector<uint8_t> payload(ISI_STREAM_CNF_WIRE_LEN);
        isiPackStreamCnf(payload.data(), &cnf);
        return payload;
    };
    iacptest::IacpPeer peer;
    ASSERT_TRUE(peer.listening());
    peer.start([&](iacptest::IacpPeer& p) {
        ASSERT_TRUE(p.acceptAndHandshake());
        iacptest::PeerFrame request;
        ASSERT_TRUE(p.readFrame(&request));
        for (auto [sta, chn] : {std::pair{"A\r\nB", "BHZ"}, std::pair{"OK", "B\x01Z"},
                                std::pair{"\xff\xfe", "BHZ"}, std::pair{"GOOD", "BHZ"}})
            p.sendFrame(ISI_IACP_STREAM_CNF, entry(sta, chn));
        p.sendFrame(IACP_TYPE_NULL, {});
        p.waitForClientClose();
    });
    ToolRun r = kvrdb("sitechan load 127.0.0.1:" + std::to_string(peer.port()));
    peer.join();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("A\\r\\nB.BHZ refused: station: byte 0x0d"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("OK.B\\x01Z refused"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 channel(s) written, 3 refused"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find('\r'), std::string::npos) << r.output;

    // A row an older version stored raw is listed escaped.
    std::ofstream(dir_ + "/rows.sql") << "insert into SITECHAN (STA,CHAN,LCODE,SPS) values "
                                         "('x'||char(13,10)||'y','BHZ','??',1);\n";
    ASSERT_EQ(std::system(("sqlite3 '" + dir_ + "/kvr.db' < '" + dir_ + "/rows.sql'").c_str()), 0);
    r = kvrdb("sitechan list");
    EXPECT_NE(r.output.find("good    BHZ ?? 20.000000\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("x\\r\\ny  BHZ ?? 1.000000\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("OK"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find('\r'), std::string::npos) << r.output;
    EXPECT_EQ(kvrdb("sitechan add 'A/B' BHZ '' 20").status, 2);
}
#endif

#ifdef KVRDB_WITH_EXPORT
TEST_F(KvrdbTool, ExportsTheCatalogueAsMiniSeedDayFiles) {
    ASSERT_TRUE(initCatalogue());
    const std::string data = dir_ + "/data";
    fs::create_directories(data + "/abc");
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(kvrBuildHeader40(header, "abc", "BHZ", 20.0));
    std::string error;
    ASSERT_TRUE(kvrCreateFile(data + "/abc/a.kvr", header, std::vector<float>(100, 1.5f), &error))
        << error;
    // The row claims 9 s, the file holds 5 s (2007-02-15 12:00:00).
    std::ofstream(dir_ + "/rows.sql")
        << "insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,CREATER) values "
           "('abc','BHZ','?\?',1171540800,9.0,20,1,'abc/a.kvr',3,'NRTSDISKLOOP');\n";
    ASSERT_EQ(std::system(("sqlite3 '" + dir_ + "/kvr.db' < '" + dir_ + "/rows.sql'").c_str()), 0);
    const std::string out = dir_ + "/sds";
    const std::string dayFile = out + "/2007/IU/ABC/BHZ.D/IU.ABC..BHZ.D.2007.046";

    ToolRun r = kvrdb("export --mseed '" + out + "' --network IU --data-dir '" + data + "'");
    EXPECT_EQ(r.status, 1) << r.output;  // not whole: the file is shorter than its row
    EXPECT_NE(r.output.find("warning  "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 row(s): 100 sample(s)"), std::string::npos) << r.output;
    ASSERT_TRUE(fs::exists(dayFile)) << r.output;
    EXPECT_EQ(fs::file_size(dayFile) % 4096, 0u);

    // A filter that leaves no row, or no sample, exports nothing and says so; a bad time is usage.
    fs::remove_all(out);
    r = kvrdb("export --mseed '" + out + "' --sta abd --data-dir '" + data + "'");
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("no catalogued row matches"), std::string::npos) << r.output;
    ASSERT_EQ(kvrdb("check --repair --data-dir '" + data + "'").status, 0);  // the row now agrees
    r = kvrdb("export --mseed '" + out + "' --begin 2007-02-15T13:00:00Z --data-dir '" + data +
              "'");
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_FALSE(fs::exists(dayFile));
    // Samples an earlier export already holds did match: the same export again is no miss.
    const std::string whole = "export --mseed '" + out + "' --data-dir '" + data + "'";
    ASSERT_EQ(kvrdb(whole).status, 0);
    r = kvrdb(whole);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(
        kvrdb("export --mseed '" + out + "' --end yesterday --data-dir '" + data + "'").status, 2);
}
#endif

// kvrdb availability on a crafted catalogue: the JSON a script reads, rows that cannot count,
// --verify against a file shorter than its row and one that is gone, the creater filter, CSV, and
// the refusals (a pattern that matches nothing, a window that ends before it begins).
TEST_F(KvrdbTool, AvailabilityReportsSpansGapsAndRowsThatCannotCount) {
    ASSERT_TRUE(initCatalogue());
    const std::string data = dir_ + "/data";
    fs::create_directories(data + "/ABC");
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(kvrBuildHeader40(header, "ABC", "BHZ", 20.0));
    std::string error;
    // 100 samples, 5 s, where the row says 9 s.
    ASSERT_TRUE(kvrCreateFile(data + "/ABC/0462007-120000-BHZ.00.ABC", header,
                              std::vector<float>(100, 1.5f), &error))
        << error;
    std::ofstream(dir_ + "/rows.sql")
        << "insert into FILELIST (STA,CH,LCODE,TBEGIN,TQTY,SPS,GAIN,CPATH,DATATYPE,CREATER) values "
           "('ABC','BHZ','00',1171540800,9.0,20,1,'ABC/0462007-120000-BHZ.00.ABC',3,'Gleaner'),"
           "('ABC','BHZ','00',1171540810,10.0,20,1,'ABC/0462007-120010-BHZ.00.ABC',3,'Gleaner'),"
           "('ABC','BHZ','00',1171540830,0,20,1,'zero',3,'Gleaner'),"
           "('ABC','BHN','??',1171540800,10,NULL,1,'nullrate',3,'Gleaner'),"
           "('xyz','LHZ','??',1171540800,100,1,1,'xyz/12/x',3,'NRTSDISKLOOP');\n";
    ASSERT_EQ(std::system(("sqlite3 '" + dir_ + "/kvr.db' < '" + dir_ + "/rows.sql'").c_str()), 0);

    ToolRun r = kvrdb("availability 'ABC.*' --gaps --format json");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(
        r.output.find("{\"begin\":\"2007-02-15T12:00:00.000000Z\",\"end\":\"2007-02-15T12:00:"
                      "20.000000Z\",\"tolerance\":null,\"channels\":[\n{\"station\":\"ABC\","
                      "\"channel\":\"BHZ\",\"location\":\"00\",\"samplerate\":20.000000,"
                      "\"earliest\":\"2007-02-15T12:00:00.000000Z\",\"latest\":\"2007-02-15T12:"
                      "00:20.000000Z\",\"spans\":2,\"rows\":2,\"coverage\":95.0000,"
                      "\"timespans\":[{\"start\":\"2007-02-15T12:00:00.000000Z\",\"end\":\"2007-"
                      "02-15T12:00:09.000000Z\",\"seconds\":9.000000},"),
        std::string::npos)
        << r.output;
    EXPECT_NE(
        r.output.find("\"gaps\":[{\"start\":\"2007-02-15T12:00:09.000000Z\",\"end\":\"2007-02-"
                      "15T12:00:10.000000Z\",\"seconds\":1.000000}],\"overlaps\":[]}],\n"
                      "\"problems\":[{\"cpath\":\"zero\",\"station\":\"ABC\",\"channel\":\"BHZ\","
                      "\"problem\":\"TQTY is 0\"},{\"cpath\":\"nullrate\",\"station\":\"ABC\","
                      "\"channel\":\"BHN\",\"problem\":\"SPS is NULL\"}],\n\"disagreements\":[]}"),
        std::string::npos)
        << r.output;

    r = kvrdb("availability ABC.BHZ.00 --verify --data-dir '" + data + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ABC     BHZ     00       20.000000   2007-02-15T12:00:00.000000Z "
                            "2007-02-15T12:00:05.000000Z      1  100.000%"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("disagrees ABC/0462007-120000-BHZ.00.ABC (ABC.BHZ.00): the row says "
                            "9.000 s (180 samples), its file holds 5.000 s (100 samples)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("disagrees ABC/0462007-120010-BHZ.00.ABC (ABC.BHZ.00): no file "),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("row zero (ABC.BHZ.00): TQTY is 0, not counted"), std::string::npos);

    r = kvrdb("availability --creater recorder --format csv");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(
        r.output.find("type,station,channel,location,samplerate,start,end,seconds,spans,"
                      "coverage,note\nchannel,xyz,LHZ,--,1.000000,2007-02-15T12:00:00.000000Z,"
                      "2007-02-15T12:01:40.000000Z,100.000000,1,100.0000,\n"),
        std::string::npos)
        << r.output;

    r = kvrdb("availability 'NONE.*' xyz.LHZ.--");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("no channel of the catalogue matches \"NONE.*\""), std::string::npos);
    EXPECT_NE(r.output.find("xyz     LHZ     --"), std::string::npos) << r.output;
    r = kvrdb("availability 'NONE.*'");
    EXPECT_EQ(r.status, 3) << r.output;
    r = kvrdb("availability --begin 2007-02-15T13:00:00Z --end 2007-02-15T12:00:00Z");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("the window ends (2007-02-15T12:00:00.000000Z) before it begins"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(kvrdb("availability ABC").status, 2);
}
