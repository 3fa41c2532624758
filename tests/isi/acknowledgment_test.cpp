// The acknowledgment of a data request, frame by frame.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "isi/isi.h"

namespace {

struct Frame {
    uint32_t type;
    std::vector<uint8_t> payload;
};

Frame value(uint32_t type, uint32_t v) {
    std::vector<uint8_t> payload(4);
    utilPackUINT32(payload.data(), v);
    return {type, payload};
}

Frame twind(const char* sta, const char* chn, const char* loc, double beg, double end) {
    ISI_TWIND_ITEM item = {};
    isiSetStreamId(&item.name, sta, chn, loc);
    item.beg = beg;
    item.end = end;
    std::vector<uint8_t> payload(ISI_TWIND_WIRE_LEN);
    isiPackTwindItem(payload.data(), &item);
    return {ISI_IACP_REQ_TWIND, payload};
}

Frame seqno(const char* sta) {
    ISI_SEQNO_ITEM item = {};
    std::snprintf(item.site, sizeof(item.site), "%s", sta);
    item.beg = {ISI_SEQNO_SIG_BEG, 0};
    item.end = {ISI_SEQNO_SIG_FOREVER, 0};
    std::vector<uint8_t> payload(ISI_SEQNO_ITEM_WIRE_LEN);
    isiPackSeqnoItem(payload.data(), &item);
    return {ISI_IACP_REQ_SEQNO, payload};
}

// Feeds frames until the acknowledgment ends; returns the last result and status.
int feed(ISI_CLIENT* client, std::vector<Frame> frames, int* status) {
    isiBeginAcknowledgment(client);
    int result = 1;
    for (Frame& f : frames) {
        IACP_WIRE_FRAME frame;
        frame.type = f.type;
        frame.payload_len = static_cast<uint32_t>(f.payload.size());
        frame.payload = f.payload.data();
        result = isiAcknowledgmentFrame(client, &frame, status);
        if (result != 1) break;
    }
    return result;
}

class IsiAcknowledgment : public ::testing::Test {
  protected:
    void SetUp() override {
        client_ = std::make_unique<ISI_CLIENT>();
        isiInitDataRequest(&client_->datreq);
        // A request from before, to prove the acknowledgment replaces it.
        ISI_DATA_REQUEST* old = isiAllocSimpleDataRequest(1.0, 2.0, "OLD.BHZ");
        client_->datreq = *old;
        std::free(old);
    }
    void TearDown() override { isiClearDataRequest(&client_->datreq); }
    std::unique_ptr<ISI_CLIENT> client_;
};

TEST_F(IsiAcknowledgment, RestatesTheRequestWithTheServersItems) {
    int status = -1;
    int result = feed(client_.get(),
                      {value(ISI_IACP_REQ_FORMAT, 1),
                       value(ISI_IACP_REQ_COMPRESS, 2),
                       {IACP_TYPE_NOP, {}},
                       value(ISI_IACP_REQ_POLICY, 3),
                       twind("STA", "BHZ", "00", -3.0, -4.0),
                       twind("STA", "BHN", "", 10.0, 20.0),
                       {IACP_TYPE_NULL, {}}},
                      &status);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(status, 0);
    const ISI_DATA_REQUEST& r = client_->datreq;
    EXPECT_EQ(r.type, ISI_REQUEST_TYPE_TWIND);
    EXPECT_EQ(r.format, 1u);
    EXPECT_EQ(r.compress, 2u);
    EXPECT_EQ(r.policy, 3u);
    ASSERT_EQ(r.nreq, 2u);
    EXPECT_STREQ(r.twind[0].name.loc, "00");
    EXPECT_STREQ(r.twind[1].name.chn, "BHN");
    EXPECT_STREQ(r.twind[1].name.loc, "  ");
    EXPECT_EQ(r.twind[1].beg, 10.0);
    EXPECT_EQ(r.twind[0].status, ISI_ITEM_ACTIVE);
    EXPECT_EQ(r.twind[1].status, ISI_ITEM_ACTIVE);
}

TEST_F(IsiAcknowledgment, FailsOnMixedKindsUnknownTypesAndShortFrames) {
    struct Case {
        const char* what;
        std::vector<Frame> frames;
    };
    const Case cases[] = {
        {"twind then seqno", {twind("A", "B", "", 1, 2), seqno("A"), {IACP_TYPE_NULL, {}}}},
        {"seqno then twind", {seqno("A"), twind("A", "B", "", 1, 2), {IACP_TYPE_NULL, {}}}},
        {"unexpected type", {{ISI_IACP_GENERIC_TS, std::vector<uint8_t>(64, 0)}}},
        {"short twind item", {{ISI_IACP_REQ_TWIND, std::vector<uint8_t>(27, 0)}}},
        {"short seqno item", {{ISI_IACP_REQ_SEQNO, std::vector<uint8_t>(30, 0)}}},
        {"short policy value", {{ISI_IACP_REQ_POLICY, {0, 0, 2}}}},
        {"alert without code", {{IACP_TYPE_ALERT, {}}}},
    };
    for (const Case& c : cases) {
        int status = -1;
        EXPECT_EQ(feed(client_.get(), c.frames, &status), -1) << c.what;
        EXPECT_EQ(status, ISI_ACK_PROTOCOL) << c.what;
    }
}

TEST_F(IsiAcknowledgment, AnAlertEndsItWithItsCode) {
    int status = -1;
    EXPECT_EQ(
        feed(client_.get(), {seqno("A"), value(IACP_TYPE_ALERT, IACP_ALERT_SERVER_BUSY)}, &status),
        0);
    EXPECT_EQ(status, IACP_ALERT_SERVER_BUSY);
    EXPECT_EQ(client_->datreq.type, ISI_REQUEST_TYPE_SEQNO);
    ASSERT_EQ(client_->datreq.nreq, 1u);
    EXPECT_STREQ(client_->datreq.seqno[0].site, "A");
}

}  // namespace
