// Streams: how packets are cut, how stored segments are searched, and the parsers of stream
// option texts, stream files and faults.
#include "server/stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "server/server.h"

namespace {

using isisim::SimSegment;
using isisim::SimStream;

ISI_STREAM_ID nameOf(const char* sta, const char* chn, const char* loc) {
    ISI_STREAM_ID name;
    isiSetStreamId(&name, sta, chn, loc);
    return name;
}

TEST(SimStreamTest, SyntheticPacketsAreAlignedOnSamplesPerPacket) {
    SimStream s = SimStream::synthetic(nameOf("A", "BHZ", ""), {20, 1}, 50, 3600.0);
    EXPECT_EQ(s.packetEnd(1000), 1049);
    EXPECT_EQ(s.packetEnd(1049), 1049);
    EXPECT_EQ(s.packetEnd(1050), 1099);
    EXPECT_EQ(s.packetEnd(-1), -1);
    // At 100.0 s the newest sample is 2000; the newest whole packet is 1950..1999.
    EXPECT_EQ(s.lastIndex(100.0), 2000);
    EXPECT_EQ(s.newestPacketStart(100.0), 1950);
    EXPECT_EQ(s.firstIndex(4000.0), 400 * 20);
}

TEST(SimStreamTest, StoredSegmentsAreSearchedAcrossTheirGap) {
    std::vector<SimSegment> segments(2);
    segments[0].t0 = 1000.0;
    segments[0].samples.assign(30, 1);  // 1000.0 .. 1029.0 at 1 sps
    segments[1].t0 = 1100.0;
    segments[1].samples.assign(25, 2);  // 1100.0 .. 1124.0
    SimStream s = SimStream::stored(nameOf("A", "LHZ", "00"), {1, 1}, 20, std::move(segments));
    EXPECT_EQ(s.lastIndex(0.0), 54);
    EXPECT_EQ(s.timeOf(30), 1100.0);
    EXPECT_EQ(s.indexAtOrAfter(1050.0), 30);   // inside the gap: the next segment
    EXPECT_EQ(s.indexAtOrBefore(1050.0), 29);  // inside the gap: the end of the one before
    EXPECT_EQ(s.indexAtOrAfter(2000.0), 55);   // after everything
    EXPECT_EQ(s.indexAtOrBefore(10.0), -1);    // before everything
    EXPECT_EQ(s.packetEnd(0), 19);
    EXPECT_EQ(s.packetEnd(20), 29);  // a packet never crosses the gap
    EXPECT_EQ(s.packetEnd(30), 49);
    EXPECT_EQ(s.packetEnd(50), 54);
    EXPECT_EQ(s.newestPacketStart(0.0), 50);
    EXPECT_EQ(s.packetsHeld(0.0), 4u);
    int32_t out[5];
    s.fill(28, 2, out);
    EXPECT_EQ(out[0], 1);
    s.fill(30, 5, out);
    EXPECT_EQ(out[4], 2);

    // Samples of every size, read back across the blocks they are kept in.
    std::vector<SimSegment> wide(1);
    for (int i = 0; i < 3000; ++i)
        wide[0].samples.push_back(i % 7 == 0 ? INT32_MIN + i : int32_t(uint32_t(i) * 1000003u));
    const std::vector<int32_t> expected = wide[0].samples;
    SimStream w = SimStream::stored(nameOf("A", "BHZ", "00"), {20, 1}, 100, std::move(wide));
    std::vector<int32_t> back(expected.size());
    for (size_t k = 0; k < back.size(); k += 150)
        w.fill(int64_t(k), int(std::min<size_t>(150, back.size() - k)), back.data() + k);
    EXPECT_EQ(back, expected);
}

TEST(SimStreamTest, RequestPatternsMatchStreams) {
    struct Case {
        const char* sta;
        const char* chn;
        const char* loc;
        bool matchesWithLocation;     // against ANMO.BHZ.00
        bool matchesWithoutLocation;  // against ANMO.BHZ
    };
    const Case cases[] = {
        {"*", "*", "*", true, true},        {"ANMO", "BHZ", "00", true, false},
        {"anmo", "bhz", "00", true, false}, {"ANMO", "BHZ", "  ", false, true},
        {"ANMO", "BHZ", "--", false, true}, {"ANMO", "BH?", "*", true, true},
        {"AN*", "B*", "0*", true, false},   {"KONO", "*", "*", false, false},
        {"ANMO", "LHZ", "*", false, false},
    };
    ISI_STREAM_ID with = nameOf("ANMO", "BHZ", "00"), without = nameOf("ANMO", "BHZ", "");
    for (const Case& c : cases) {
        ISI_STREAM_ID pattern;
        isiSetStreamId(&pattern, c.sta, c.chn, c.loc);
        EXPECT_EQ(isisim::simNameMatches(pattern, with), c.matchesWithLocation)
            << c.sta << "." << c.chn << "." << c.loc;
        EXPECT_EQ(isisim::simNameMatches(pattern, without), c.matchesWithoutLocation)
            << c.sta << "." << c.chn << "." << c.loc;
    }
}

TEST(SimStreamTest, StreamSpecifications) {
    struct Case {
        const char* option;
        bool ok;
        const char* name;
        int spp;
    };
    const Case cases[] = {
        {"ANMO.BHZ.00:20", true, "ANMO.BHZ.00", 100},
        {"ANMO.BHZ:0.1:5", true, "ANMO.BHZ", 5},
        {"ANMO.BHZ.--:1", true, "ANMO.BHZ", 100},
        {"ANMO.BHZ", false, "", 0},
        {"ANMO:20", false, "", 0},
        {"TOOLONGST.BHZ:20", false, "", 0},
        {"ANMO.BHZZ:20", false, "", 0},
        {"ANMO.BHZ:20:0", false, "", 0},
        {"ANMO.BHZ:20:6541", false, "", 0},
        {"ANMO.BHZ:fast", false, "", 0},
    };
    for (const Case& c : cases) {
        SimStream s;
        std::string error;
        EXPECT_EQ(isisim::simParseStreamSpec(c.option, 100, 3600.0, &s, &error), c.ok) << c.option;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.option;
            continue;
        }
        EXPECT_EQ(s.text(), c.name);
        EXPECT_EQ(s.samplesPerPacket(), c.spp);
    }
}

TEST(SimStreamTest, StreamFileLinesAndTheirErrors) {
    auto dir =
        std::filesystem::temp_directory_path() / ("isisim-cfg-" + std::to_string(platProcessId()));
    std::filesystem::create_directories(dir);
    std::string good = (dir / "good.cfg").string(), bad = (dir / "bad.cfg").string();
    std::ofstream(good) << "# station channel location rate [samples per packet]\n"
                           "ANMO BHZ 00 20\n"
                           "\n"
                           "ANMO VHZ -- 0.1 10   # ten samples a packet\n";
    std::ofstream(bad) << "ANMO BHZ 00 20\nANMO BHZ\n";
    std::vector<SimStream> streams;
    std::string error;
    ASSERT_TRUE(isisim::simReadStreamFile(good, 50, 3600.0, &streams, &error)) << error;
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].text(), "ANMO.BHZ.00");
    EXPECT_EQ(streams[0].samplesPerPacket(), 50);
    EXPECT_EQ(streams[1].text(), "ANMO.VHZ");
    EXPECT_EQ(streams[1].rate().q, 10);
    EXPECT_EQ(streams[1].samplesPerPacket(), 10);
    EXPECT_FALSE(isisim::simReadStreamFile(bad, 50, 3600.0, &streams, &error));
    EXPECT_NE(error.find("bad.cfg:2:"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

TEST(SimFaultTest, FaultSpecifications) {
    struct Case {
        const char* text;
        bool ok;
        isisim::SimFaultKind kind;
        uint64_t after;
        int times;
        double arg;
    };
    using K = isisim::SimFaultKind;
    const Case cases[] = {
        {"close:5", true, K::Close, 5, 1, 0},         {"close:5:3", true, K::Close, 5, 3, 0},
        {"alert:2:1", true, K::Alert, 2, 1, 1},       {"alert:0:9:2", true, K::Alert, 0, 2, 9},
        {"stall:1:2.5", true, K::Stall, 1, 1, 2.5},   {"badtag:4", true, K::BadTag, 4, 1, 0},
        {"oversize:3:2", true, K::Oversize, 3, 2, 0}, {"alert:2", false, K::Close, 0, 0, 0},
        {"close", false, K::Close, 0, 0, 0},          {"explode:1", false, K::Close, 0, 0, 0},
        {"close:x", false, K::Close, 0, 0, 0},        {"close:1:0", false, K::Close, 0, 0, 0},
        {"close:1:2:3", false, K::Close, 0, 0, 0},
    };
    for (const Case& c : cases) {
        isisim::SimFault fault;
        std::string error;
        ASSERT_EQ(isisim::simParseFault(c.text, &fault, &error), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(fault.kind, c.kind) << c.text;
        EXPECT_EQ(fault.afterPackets, c.after) << c.text;
        EXPECT_EQ(fault.times, c.times) << c.text;
        EXPECT_EQ(fault.arg, c.arg) << c.text;
    }
}

}  // namespace
