// Runs isi-sim in-process on a free loopback port and reads from it with the client library.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "isi/isi.h"
#include "server/server.h"
#include "server/synthetic.h"

namespace simtest {

// Shortened reconnect pause: the 5000 ms of the product would make every resume test slow.
inline constexpr uint32_t kTestPauseMs = 50;
// Upper bound of packets any one test reads, so a misbehaving server fails a test, not hangs it.
inline constexpr int kMaxPackets = 20000;

struct Received {
    std::string stream;  // "STA.CHN[.LOC]"
    double tofs = 0.0;
    double tols = 0.0;
    double interval = 0.0;
    std::vector<int32_t> samples;
};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        isiSetReconnectPauseForTests(kTestPauseMs);
        logioInit(&log_, "stderr", nullptr, "test");
        logioSetThreshold(&log_, LOG_WARNING);
    }
    void TearDown() override {
        if (server_) server_->stop();
    }

    // Starts a server with streams "STA.CHN[.LOC]:RATE:SPP".
    void startServer(const std::vector<std::string>& streamTexts,
                     isisim::SimServerOptions options = {}, double history = 86400.0) {
        std::vector<isisim::SimStream> streams;
        for (const std::string& text : streamTexts) {
            isisim::SimStream s;
            std::string error;
            ASSERT_TRUE(isisim::simParseStreamSpec(text, 100, history, &s, &error)) << error;
            streams.push_back(s);
        }
        startServerWith(std::move(streams), std::move(options));
    }
    void startServerWith(std::vector<isisim::SimStream> streams, isisim::SimServerOptions options) {
        options.host = "127.0.0.1";
        options.port = 0;
        server_ = std::make_unique<isisim::SimServer>(std::move(streams), options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
    }

    // Server options with one fault, written as isi-sim's --fault option takes it.
    static isisim::SimServerOptions withFault(const char* text) {
        isisim::SimServerOptions options;
        isisim::SimFault fault;
        std::string error;
        EXPECT_TRUE(isisim::simParseFault(text, &fault, &error)) << text << ": " << error;
        options.faults.push_back(fault);
        return options;
    }

    // Requests the window of the specified streams from the server, with the given compression
    // (0: the request's default); none when the request failed.
    ISI_CLIENT* openWindow(double begin, double end, const char* specifier, uint32_t compress = 0) {
        ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(begin, end, specifier);
        if (request == nullptr) return nullptr;
        if (compress != 0) isiRequestSetCompress(request, compress);
        ISI_OPEN_PARAMS p = params();
        ISI_CLIENT* client = isiInitiateDataRequest("127.0.0.1", &p, request);
        isiFreeDataRequest(request);
        return client;
    }

    ISI_OPEN_PARAMS params() {
        ISI_OPEN_PARAMS p;
        isiInitOpenParams(&p);
        p.port = server_->port();
        p.lp = &log_;
        return p;
    }

    const isisim::SimStream& stream(const std::string& text) {
        for (const isisim::SimStream& s : server_->streams())
            if (s.text() == text) return s;
        throw std::runtime_error("no stream " + text);
    }

    // Reads until a status other than 0 (2 is counted and reading goes on, up to three times),
    // or until maxPackets packets.
    int readAll(ISI_CLIENT* client, std::vector<Received>* out, int maxPackets = kMaxPackets) {
        int failures = 0;
        for (int n = 0; n < maxPackets;) {
            int status = -1;
            ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
            if (status == ISI_STATUS_FAILED && ++failures < 3) continue;
            if (status != ISI_STATUS_DATA) return status;
            out->push_back(toReceived(*packet));
            ++n;
        }
        return ISI_STATUS_DATA;
    }

    static Received toReceived(const ISI_TS_PACKET& packet) {
        Received r;
        char name[32];
        r.stream = isiStreamIdString(&packet.name, name, sizeof name);
        r.tofs = packet.tofs;
        r.tols = packet.tols;
        r.interval = isiSrateToInterval(packet.factor, packet.multiplier);
        EXPECT_EQ(packet.datatype, ISI_TYPE_INT32);
        EXPECT_EQ(packet.order, ISI_ORDER_HOST);
        r.samples.resize(packet.nsamp);
        if (packet.nsamp > 0) std::memcpy(r.samples.data(), packet.data, 4 * packet.nsamp);
        return r;
    }

    // Every packet of the stream in order covers exactly samples first..last: each packet's
    // times are those of its samples, and every sample is the synthetic one.
    void expectExact(const std::vector<Received>& packets, const isisim::SimStream& s,
                     int64_t first, int64_t last) {
        uint64_t hash = isisim::simStreamHash(s.name());
        int64_t k = first;
        for (const Received& r : packets) {
            if (r.stream != s.text()) continue;
            ASSERT_FALSE(r.samples.empty());
            ASSERT_EQ(r.tofs, s.timeOf(k)) << s.text() << " hole or duplicate at sample " << k;
            ASSERT_EQ(r.tols, s.timeOf(k + int64_t(r.samples.size()) - 1)) << s.text();
            for (size_t i = 0; i < r.samples.size(); ++i, ++k)
                ASSERT_EQ(r.samples[i], isisim::simSyntheticSample(hash, k))
                    << s.text() << " sample " << k;
        }
        EXPECT_EQ(k, last + 1) << s.text() << ": samples up to " << last << " expected";
    }

    LOGIO log_;
    std::unique_ptr<isisim::SimServer> server_;
};

}  // namespace simtest
