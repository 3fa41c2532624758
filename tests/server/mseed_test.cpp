// miniSEED files served as streams: the samples of the records, at their own times or shifted
// so the newest sample is now.
#include "server/mseed.h"

#include <libmseed.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "platform/clock.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

void writeRecord(char* record, int length, void* file) {
    std::fwrite(record, 1, size_t(length), static_cast<FILE*>(file));
}

// Writes samples starting at t (seconds) at 20 samples per second as Steim-2 records.
void writeMseed(FILE* file, const char* sta, const char* chn, const char* loc, double t,
                std::vector<int32_t> samples) {
    MSRecord* msr = msr_init(nullptr);
    std::snprintf(msr->network, sizeof msr->network, "XX");
    std::snprintf(msr->station, sizeof msr->station, "%s", sta);
    std::snprintf(msr->channel, sizeof msr->channel, "%s", chn);
    std::snprintf(msr->location, sizeof msr->location, "%s", loc);
    msr->starttime = hptime_t(std::llround(t * HPTMODULUS));
    msr->samprate = 20.0;
    msr->reclen = 512;
    msr->encoding = DE_STEIM2;
    msr->byteorder = 1;
    msr->datasamples = samples.data();
    msr->numsamples = int64_t(samples.size());
    msr->sampletype = 'i';
    int64_t packed = 0;
    ASSERT_GT(msr_pack(msr, writeRecord, file, &packed, 1, 0), 0);
    msr->datasamples = nullptr;
    msr_free(&msr);
}

class MseedTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() /
               ("isisim-mseed-" + std::to_string(platProcessId()));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "data.mseed").string();
        FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        for (int i = 0; i < 1500; ++i) first_.push_back((i * 37) % 2001 - 1000);
        for (int i = 0; i < 700; ++i) second_.push_back((i * 91) % 3001 - 1500);
        // Two runs with a 60-second gap between them.
        writeMseed(file, "MSD", "BHZ", "", kStart, first_);
        writeMseed(file, "MSD", "BHZ", "", kStart + 75.0 + 60.0, second_);
        std::fclose(file);
    }
    void TearDown() override {
        SimTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    static constexpr double kStart = 1600000000.0;
    std::filesystem::path dir_;
    std::string path_;
    std::vector<int32_t> first_, second_;
};

TEST_F(MseedTest, RecordsAreServedAtTheirOwnTimesAcrossTheGap) {
    std::vector<isisim::SimStream> streams;
    std::string error;
    ASSERT_TRUE(isisim::simLoadMseed({path_}, true, 128, platNow(), &streams, &error)) << error;
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].segmentsHeld(), 2u);
    startServerWith(std::move(streams), {});

    ISI_CLIENT* client = openWindow(kStart - 10.0, kStart + 1000.0, "MSD.BHZ");
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);

    std::vector<int32_t> got;
    for (const Received& r : packets) {
        EXPECT_NEAR(r.tols - r.tofs, (r.samples.size() - 1) * 0.05, 1e-6);
        got.insert(got.end(), r.samples.begin(), r.samples.end());
    }
    std::vector<int32_t> all = first_;
    all.insert(all.end(), second_.begin(), second_.end());
    EXPECT_EQ(got, all);
    ASSERT_FALSE(packets.empty());
    EXPECT_NEAR(packets.front().tofs, kStart, 1e-6);
    // No packet spans the gap: the first packet of the second run starts on its own time.
    bool found = false;
    for (const Received& r : packets) found = found || std::fabs(r.tofs - (kStart + 135.0)) < 1e-6;
    EXPECT_TRUE(found);
}

TEST_F(MseedTest, RequestWithoutEndWaitsQuietlyOnceEverySampleIsSent) {
    std::vector<isisim::SimStream> streams;
    std::string error;
    ASSERT_TRUE(isisim::simLoadMseed({path_}, true, 128, platNow(), &streams, &error)) << error;
    startServerWith(std::move(streams), {});
    ISI_CLIENT* client = openWindow(kStart - 10.0, UTIL_TIME_FOREVER, "MSD.BHZ");
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    size_t samples = 0;
    while (samples < first_.size() + second_.size() && packets.size() < 100) {
        ASSERT_EQ(readAll(client, &packets, 1), ISI_STATUS_DATA);
        samples += packets.back().samples.size();
    }
    // Nothing but heartbeats after the last sample: no packets, empty or not.
    platSleepMs(300);
    EXPECT_EQ(server_->stats().packets, packets.size());
    isiCloseClient(client);
}

TEST_F(MseedTest, ShiftedSoTheNewestSampleIsNow) {
    std::vector<isisim::SimStream> streams;
    std::string error;
    const double now = platNow();
    ASSERT_TRUE(isisim::simLoadMseed({path_}, false, 128, now, &streams, &error)) << error;
    startServerWith(std::move(streams), {});
    ISI_OPEN_PARAMS p = params();
    ISI_SOH_LIST* soh = isiGetSohList("127.0.0.1", &p);
    ASSERT_NE(soh, nullptr);
    ASSERT_EQ(soh->nentry, 1u);
    EXPECT_NEAR(soh->entry[0].tols, now, 1e-6);
    EXPECT_NEAR(soh->entry[0].tofs, now - (135.0 + 699 * 0.05), 1e-6);
    isiFreeList(soh);
}

TEST(MseedLoadTest, UnreadableFileIsRefusedWithItsName) {
    std::vector<isisim::SimStream> streams;
    std::string error;
    EXPECT_FALSE(isisim::simLoadMseed({"/nonexistent/x.mseed"}, false, 100, 0.0, &streams, &error));
    EXPECT_NE(error.find("/nonexistent/x.mseed"), std::string::npos) << error;
}

}  // namespace
}  // namespace simtest
