// The configuration and state-of-health lists against a scripted server on loopback.
#include <gtest/gtest.h>

#include <cstring>

#include "isi/isi.h"
#include "isi/loopback_peer.h"
#include "platform/errors.h"
#include "tools/iacp_peer.h"
#include "support/log_capture.h"

namespace {

using iacptest::IacpPeer;

std::vector<uint8_t> sohEntry(const char* sta, const char* chn, const char* loc, double tofs,
                              double tols) {
    ISI_STREAM_SOH soh = {};
    isiSetStreamId(&soh.name, sta, chn, loc);
    soh.tofs = tofs;
    soh.tols = tols;
    soh.tslw = tols + 0.5;
    soh.nseg = 3;
    soh.nrec = 4000000000u;
    std::vector<uint8_t> payload(ISI_STREAM_SOH_WIRE_LEN);
    EXPECT_EQ(isiPackStreamSoh(payload.data(), &soh), ISI_STREAM_SOH_WIRE_LEN);
    return payload;
}

std::vector<uint8_t> cnfEntry(const char* sta, const char* chn, int16_t factor,
                              int16_t multiplier) {
    ISI_STREAM_CNF cnf = {};
    isiSetStreamId(&cnf.name, sta, chn, nullptr);
    cnf.factor = factor;
    cnf.multiplier = multiplier;
    cnf.lat = 47.5f;
    cnf.vang = -90.0f;
    std::memcpy(cnf.inst, "STS-2", 6);
    std::vector<uint8_t> payload(ISI_STREAM_CNF_WIRE_LEN);
    EXPECT_EQ(isiPackStreamCnf(payload.data(), &cnf), ISI_STREAM_CNF_WIRE_LEN);
    return payload;
}

class IsiLists : public ::testing::Test {
  protected:
    void SetUp() override {
        isiInitOpenParams(&params_);
        params_.port = peer_.port();
        params_.lp = log_.handle();
        ASSERT_TRUE(peer_.listening());
    }
    // Serves one list request: expects the request type, then sends frames as given.
    void serve(uint32_t requestType,
               std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames) {
        peer_.start([requestType, frames](IacpPeer& p) {
            ASSERT_TRUE(p.acceptAndHandshake());
            iacptest::PeerFrame request;
            ASSERT_TRUE(p.readFrame(&request));
            EXPECT_EQ(request.type, requestType);
            EXPECT_TRUE(request.payload.empty());
            for (const auto& [type, payload] : frames) p.sendFrame(type, payload);
            p.waitForClientClose();
        });
    }
    IacpPeer peer_;
    iacptest::CapturedLog log_{LOG_DEBUG};
    ISI_OPEN_PARAMS params_;
};

TEST_F(IsiLists, ConfigurationListArrivesThroughHeartbeats) {
    serve(ISI_IACP_REQ_CNF, {{ISI_IACP_STREAM_CNF, cnfEntry("ABC", "BHZ", 20, 1)},
                             {IACP_TYPE_NOP, {}},
                             {ISI_IACP_STREAM_CNF, cnfEntry("ABC", "LHZ", -10, 1)},
                             {IACP_TYPE_NULL, {}}});
    ISI_CNF_LIST* list = isiGetCnfList("127.0.0.1", &params_);
    peer_.join();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->nentry, 2u);
    EXPECT_STREQ(list->entry[0].name.sta, "ABC");
    EXPECT_STREQ(list->entry[0].name.loc, "  ");
    EXPECT_DOUBLE_EQ(isiSrateToInterval(list->entry[0].factor, list->entry[0].multiplier), 0.05);
    EXPECT_DOUBLE_EQ(isiSrateToInterval(list->entry[1].factor, list->entry[1].multiplier), 10.0);
    EXPECT_EQ(list->entry[1].lat, 47.5f);
    EXPECT_EQ(list->entry[1].vang, -90.0f);
    EXPECT_STREQ(list->entry[1].inst, "STS-2");
    isiFreeList(list);
}

TEST_F(IsiLists, StateOfHealthListCarriesTheTimeRange) {
    serve(ISI_IACP_REQ_SOH, {{ISI_IACP_STREAM_SOH, sohEntry("ABC", "BHZ", "00", 100.0, 200.5)},
                             {IACP_TYPE_NULL, {}}});
    ISI_SOH_LIST* list = isiGetSohList("127.0.0.1", &params_);
    peer_.join();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->nentry, 1u);
    EXPECT_STREQ(list->entry[0].name.loc, "00");
    EXPECT_EQ(list->entry[0].tofs, 100.0);
    EXPECT_EQ(list->entry[0].tols, 200.5);
    EXPECT_EQ(list->entry[0].tslw, 201.0);
    EXPECT_EQ(list->entry[0].nseg, 3u);
    EXPECT_EQ(list->entry[0].nrec, 4000000000u);
    isiFreeList(list);
}

TEST_F(IsiLists, AServerWithNoStreamsGivesAnEmptyList) {
    serve(ISI_IACP_REQ_SOH, {{IACP_TYPE_NULL, {}}});
    ISI_SOH_LIST* list = isiGetSohList("127.0.0.1", &params_);
    peer_.join();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->nentry, 0u);
    isiFreeList(list);
}

TEST_F(IsiLists, RefusalsAndMalformedEntriesFailTheWholeList) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames;
        int error;
    };
    std::vector<uint8_t> good = sohEntry("A", "B", "", 1, 2);
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    std::vector<uint8_t> shorter(good.begin(), good.end() - 1);
    const Case cases[] = {
        {"alert",
         {{ISI_IACP_STREAM_SOH, good}, {IACP_TYPE_ALERT, isitest::valuePayload(8)}},
         WSAECONNABORTED},
        {"not supported", {{IACP_TYPE_ENOSUCH, {}}}, WSAEOPNOTSUPP},
        {"entry one byte short",
         {{ISI_IACP_STREAM_SOH, shorter}, {IACP_TYPE_NULL, {}}},
         WSAEMSGSIZE},
        {"entry one byte long", {{ISI_IACP_STREAM_SOH, longer}, {IACP_TYPE_NULL, {}}}, WSAEMSGSIZE},
        {"frame beyond the list buffer",
         {{ISI_IACP_STREAM_SOH, std::vector<uint8_t>(ISI_SOH_FRAME_BUFLEN + 1, 0)}},
         WSAEINVAL},
    };
    for (const Case& c : cases) {
        serve(ISI_IACP_REQ_SOH, c.frames);
        platSetError(0);
        ISI_SOH_LIST* list = isiGetSohList("127.0.0.1", &params_);
        peer_.join();
        EXPECT_EQ(list, nullptr) << c.what;
        EXPECT_EQ(platGetError(), c.error) << c.what;
        isiFreeList(list);
    }
    EXPECT_TRUE(log_.contains("isiRequestSoh: isiIacpRecvStreamSohList failed"));
}

}  // namespace
