// isicat's arguments and lines, and its commands run in-process against isi-sim.
#include "isicat/isicat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "isi/loopback_peer.h"
#include "isi/packet_builder.h"
#include "platform/clock.h"
#include "server/server.h"
#include "server/synthetic.h"

namespace {

TEST(IsicatArgsTest, ServerTexts) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {{"localhost", true, "localhost", 39136},
                          {"127.0.0.1:4000", true, "127.0.0.1", 4000},
                          {"host:65535", true, "host", 65535},
                          {"host:0", false, "", 0},
                          {"host:65536", false, "", 0},
                          {"host:", false, "", 0},
                          {":4000", false, "", 0},
                          {"host:40x", false, "", 0},
                          {"", false, "", 0}};
    for (const Case& c : cases) {
        std::string host;
        int port = 0;
        ASSERT_EQ(isicatParseServer(c.text, &host, &port), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
}

TEST(IsicatArgsTest, TimeTexts) {
    const double now = 1796700000.5;
    struct Case {
        const char* text;
        bool ok;
        double time;
    };
    const Case cases[] = {
        {"beg", true, -2.0},
        {"end", true, -3.0},
        {"forever", true, -4.0},
        {"now", true, now},
        {"now-60", true, now - 60.0},
        {"now-0.5", true, now - 0.5},
        {"1600000000", true, 1600000000.0},
        {"1600000000.25", true, 1600000000.25},
        {"2020:001-00:00:00", true, 1577836800.0},
        {"2020:032-01:02:03.250", true, 1577836800.0 + 31 * 86400 + 3723.25},
        {"yesterday", false, 0},
        {"now-", false, 0},
        {"now-x", false, 0},
        {"2020:001", false, 0},
        {"2020-02-01T01:02:03.25Z", true, 1577836800.0 + 31 * 86400 + 3723.25},
        // Before 1970 is a moment like any other; the markers are typed by their names.
        {"-5", true, -5.0},
        {"-2", false, 0},
    };
    for (const Case& c : cases) {
        double t = 0.0;
        ASSERT_EQ(isicatParseTime(c.text, now, &t), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(t, c.time) << c.text;
        }
    }
}

TEST(IsicatLinesTest, ListAndPacketLines) {
    ISI_STREAM_CNF cnf{};
    isiSetStreamId(&cnf.name, "SIM2", "VHZ", "");
    cnf.factor = -10;
    cnf.multiplier = 1;
    EXPECT_EQ(isicatCnfLine(cnf), "SIM2\tVHZ\t--\t0.100000\n");
    isiSetStreamId(&cnf.name, "SIM1", "LHZ", "00");
    cnf.factor = 5;
    cnf.multiplier = 2;
    EXPECT_EQ(isicatCnfLine(cnf), "SIM1\tLHZ\t00\t2.500000\n");
    // A hostile station code cannot forge a line or a column.
    isiSetStreamId(&cnf.name, "X\nY\tZ", "LHZ", "00");
    EXPECT_EQ(isicatCnfLine(cnf), "X\\nY\\tZ\tLHZ\t00\t2.500000\n");

    // Unknown pieces of a specifier, wildcards and case as the server compares them.
    ISI_STREAM_CNF entries[2]{};
    isiSetStreamId(&entries[0].name, "ANMO", "BHZ", "00");
    isiSetStreamId(&entries[1].name, "KONO", "LHZ", "");
    ISI_CNF_LIST list{};
    list.nentry = 2;
    list.entry = entries;
    EXPECT_TRUE(isicatUnknownStreams("anmo.bh?.00+KONO.LHZ+*.*", list).empty());
    EXPECT_EQ(isicatUnknownStreams("ANMO.BHZ+KONO.LHZ.00+NONE.*+ANMO.BHZ.00", list),
              (std::vector<std::string>{"ANMO.BHZ", "KONO.LHZ.00", "NONE.*"}));
    EXPECT_TRUE(isicatWindowIsPossible(10.0, 10.0));
    EXPECT_TRUE(isicatWindowIsPossible(UTIL_TIME_END_OF_LOOP, 10.0));
    EXPECT_FALSE(isicatWindowIsPossible(11.0, 10.0));

    ISI_STREAM_SOH soh{};
    isiSetStreamId(&soh.name, "SIM1", "BHZ", "  ");
    soh.tofs = 1796613918.5;
    soh.tols = 1796700318.45;
    EXPECT_EQ(isicatSohLine(soh), "SIM1\tBHZ\t--\t1796613918.500000\t1796700318.450000\n");

    int32_t samples[3] = {-7, 0, 123456};
    ISI_TS_PACKET packet{};
    isiSetStreamId(&packet.name, "SIM1", "BHZ", "10");
    packet.factor = 20;
    packet.multiplier = 1;
    packet.tofs = 1796700288.5;
    packet.tols = 1796700288.6;
    packet.nsamp = 3;
    packet.compress = ISI_COMP_NONE;
    packet.datatype = ISI_TYPE_INT32;
    packet.order = ISI_ORDER_HOST;
    packet.nbytes = sizeof samples;
    packet.data = reinterpret_cast<uint8_t*>(samples);
    EXPECT_EQ(isicatPacketLine(packet, false),
              "SIM1\tBHZ\t10\t1796700288.500000\t1796700288.600000\t3\t0.050000\n");
    EXPECT_EQ(isicatPacketLine(packet, true),
              "SIM1\tBHZ\t10\t1796700288.500000\t1796700288.600000\t3\t0.050000\t-7,0,123456\n");
}

// Runs a command with its output in a temporary file and returns the lines.
class IsicatCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        isiSetReconnectPauseForTests(50);
        logioInit(&log_, "stderr", nullptr, "test");
        logioSetThreshold(&log_, LOG_WARNING);
        std::vector<isisim::SimStream> streams;
        for (const char* text : {"SIM1.BHZ:20:50", "SIM1.LHZ.00:1:30", "SIM2.VHZ:0.1:5"}) {
            isisim::SimStream s;
            ASSERT_TRUE(isisim::simParseStreamSpec(text, 100, 86400.0, &s, nullptr));
            streams.push_back(s);
        }
        isisim::SimServerOptions options;
        options.port = 0;
        server_ = std::make_unique<isisim::SimServer>(streams, options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        isiInitOpenParams(&params_);
        params_.port = server_->port();
        params_.lp = &log_;
    }
    void TearDown() override { server_->stop(); }

    template <typename Command>
    std::vector<std::string> run(Command command, int* status) {
        FILE* out = std::tmpfile();
        *status = command(out);
        std::rewind(out);
        std::vector<std::string> lines;
        char buf[200000];
        while (std::fgets(buf, sizeof buf, out)) lines.emplace_back(buf);
        std::fclose(out);
        return lines;
    }

    LOGIO log_;
    std::unique_ptr<isisim::SimServer> server_;
    ISI_OPEN_PARAMS params_;
};

TEST_F(IsicatCommandTest, CnfAndSohListEveryStream) {
    int status = -1;
    auto cnf =
        run([&](FILE* out) { return isicatCnf("127.0.0.1", params_, out, stderr); }, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(cnf,
              (std::vector<std::string>{"SIM1\tBHZ\t--\t20.000000\n", "SIM1\tLHZ\t00\t1.000000\n",
                                        "SIM2\tVHZ\t--\t0.100000\n"}));
    auto soh =
        run([&](FILE* out) { return isicatSoh("127.0.0.1", params_, out, stderr); }, &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(soh.size(), 3u);
    EXPECT_EQ(soh[1].rfind("SIM1\tLHZ\t00\t", 0), 0u) << soh[1];
}

TEST_F(IsicatCommandTest, DataPrintsEveryPacketOfTheWindowWithItsSamples) {
    ISICAT_DATA_ARGS args;
    args.specifier = "SIM1.BHZ";
    args.begin = std::floor(platNow()) - 600.0;
    args.end = args.begin + 10.0;
    args.samples = true;
    args.compress = ISI_COMP_NONE;
    int status = -1;
    auto lines = run([&](FILE* out) { return isicatData("127.0.0.1", params_, args, out, stderr); },
                     &status);
    EXPECT_EQ(status, 0);
    ASSERT_FALSE(lines.empty());
    ISI_STREAM_ID name;
    isiSetStreamId(&name, "SIM1", "BHZ", "");
    uint64_t hash = isisim::simStreamHash(name);
    auto k = int64_t(args.begin * 20);
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string sta, chn, loc, tofs, tols, nsamp, interval, samples;
        std::getline(in, sta, '\t');
        std::getline(in, chn, '\t');
        std::getline(in, loc, '\t');
        std::getline(in, tofs, '\t');
        std::getline(in, tols, '\t');
        std::getline(in, nsamp, '\t');
        std::getline(in, interval, '\t');
        std::getline(in, samples, '\n');
        EXPECT_EQ(sta + chn + loc, "SIM1BHZ--");
        EXPECT_EQ(interval, "0.050000");
        char expectedTofs[32];
        std::snprintf(expectedTofs, sizeof expectedTofs, "%.6f", k / 20.0);
        EXPECT_EQ(tofs, expectedTofs);
        std::istringstream values(samples);
        int n = 0;
        for (std::string v; std::getline(values, v, ','); ++n, ++k)
            ASSERT_EQ(std::stol(v), isisim::simSyntheticSample(hash, k));
        EXPECT_EQ(std::to_string(n), nsamp);
    }
    EXPECT_EQ(k, int64_t((args.begin + 10.0) * 20) + 1);
}

TEST_F(IsicatCommandTest, DataStopsAfterCountPackets) {
    ISICAT_DATA_ARGS args;
    args.specifier = "SIM1.*+SIM2.VHZ";
    args.begin = UTIL_TIME_BEG_OF_LOOP;
    args.count = 4;
    int status = -1;
    auto lines = run([&](FILE* out) { return isicatData("127.0.0.1", params_, args, out, stderr); },
                     &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines.size(), 4u);
}

// A server whose packets all lie about their size: each is refused, the cause said once, and a
// request that printed nothing fails.
TEST(IsicatDataTest, PacketsThatCannotBeReadFailTheCommandWithTheirCause) {
    iacptest::IacpPeer peer;
    peer.start([](iacptest::IacpPeer& p) {
        ASSERT_TRUE(isitest::answerCnfList(p, {"LIE.BHZ"}));
        isitest::WireRequest request;
        ASSERT_TRUE(isitest::acceptRequest(p, &request));
        ISI_TS_PACKET h = isitest::makeHeader("LIE", "BHZ", "", 20, 1, 1600000000.0, 100);
        h.compress = ISI_COMP_NONE;
        h.order = 1;
        for (int i = 0; i < 3; ++i)  // 100 samples announced, 8 bytes sent
            EXPECT_TRUE(p.sendFrame(ISI_IACP_GENERIC_TS,
                                    isitest::payloadOf(h, std::vector<uint8_t>(8, 0))));
        EXPECT_TRUE(isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE));
        p.waitForClientClose();
    });
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = peer.port();
    params.attr.maxerr = IACP_ERR_NONE;
    LOGIO quiet;
    logioInit(&quiet, "stderr", nullptr, "test");
    logioSetThreshold(&quiet, LOG_ERR);
    params.lp = &quiet;
    ISICAT_DATA_ARGS args;
    args.specifier = "LIE.BHZ";
    args.begin = 1600000000.0;
    args.end = 1600000010.0;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    EXPECT_EQ(isicatData("127.0.0.1", params, args, out, err), kIsicatFailed);
    peer.join();
    std::rewind(err);
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, err);
    EXPECT_EQ(std::string(text, n),
              "isicat: a packet was refused: its header announces more samples or data than its "
              "frame holds\nisicat: 3 packet(s) refused, 0 printed\n");
    EXPECT_EQ(std::ftell(out), 0L);
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
