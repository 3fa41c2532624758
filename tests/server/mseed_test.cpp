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

// Records of integers, 32-bit and 64-bit floats, and a stream mixing integers and 64-bit floats:
// each served in a type that holds every value exactly, and converted to floats by that type. A
// text record is left out with a warning naming its file and record.
TEST_F(MseedTest, EverySampleTypeIsServedExactly) {
    const std::string path = (dir_ / "types.mseed").string();
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    auto write = [&](const char* sta, double t, char type, int8_t encoding, void* samples, int n) {
        MSRecord* msr = msr_init(nullptr);
        std::snprintf(msr->network, sizeof msr->network, "XX");
        std::snprintf(msr->station, sizeof msr->station, "%s", sta);
        std::snprintf(msr->channel, sizeof msr->channel, "BHZ");
        msr->starttime = hptime_t(std::llround(t * HPTMODULUS));
        msr->samprate = 20.0;
        msr->reclen = 512;
        msr->encoding = encoding;
        msr->byteorder = 1;
        msr->datasamples = samples;
        msr->numsamples = n;
        msr->sampletype = type;
        int64_t packed = 0;
        EXPECT_GT(msr_pack(msr, writeRecord, file, &packed, 1, 0), 0) << sta;
        msr->datasamples = nullptr;
        msr_free(&msr);
    };
    std::vector<int32_t> ints = {-5, 0, 16777217, 123456789, 100000000};
    std::vector<float> singles = {6.109f, -1e-30f, 3.4e38f, 0.1f};
    std::vector<double> doubles = {6.109, 1e-300, -0.1, 16777217.5};
    char text[] = "not samples";
    write("MSI", kStart, 'i', DE_STEIM2, ints.data(), int(ints.size()));
    write("MSF", kStart, 'f', DE_FLOAT32, singles.data(), int(singles.size()));
    write("MSD", kStart, 'd', DE_FLOAT64, doubles.data(), int(doubles.size()));
    write("MIX", kStart, 'i', DE_INT32, ints.data(), int(ints.size()));
    write("MIX", kStart + 0.25, 'd', DE_FLOAT64, doubles.data(), int(doubles.size()));
    write("TXT", kStart, 'a', DE_ASCII, text, int(sizeof text - 1));
    std::fclose(file);

    std::vector<isisim::SimStream> streams;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(isisim::simLoadMseed({path}, true, 128, platNow(), &streams, &error, &warnings))
        << error;
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(path + "\" record 6 (TXT.BHZ at"), std::string::npos) << warnings[0];
    startServerWith(std::move(streams), {});

    std::vector<double> mixed(ints.begin(), ints.end());
    mixed.insert(mixed.end(), doubles.begin(), doubles.end());
    struct Expected {
        const char* stream;
        uint8_t type;
        std::vector<double> values;
    };
    const Expected expected[] = {
        {"MSI.BHZ", ISI_TYPE_INT32, std::vector<double>(ints.begin(), ints.end())},
        {"MSF.BHZ", ISI_TYPE_REAL32, std::vector<double>(singles.begin(), singles.end())},
        {"MSD.BHZ", ISI_TYPE_REAL64, doubles},
        {"MIX.BHZ", ISI_TYPE_REAL64, mixed},
    };
    for (const Expected& e : expected) {
        // Asked for compressed data: floats come uncompressed all the same, the header says so.
        ISI_CLIENT* client = openWindow(kStart - 1.0, kStart + 10.0, e.stream, ISI_COMP_IDA);
        ASSERT_NE(client, nullptr) << e.stream;
        std::vector<double> values;
        std::vector<REAL32> floats, converted;
        for (int status = ISI_STATUS_DATA; status == ISI_STATUS_DATA;) {
            ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
            if (packet == nullptr) break;
            EXPECT_EQ(packet->datatype, e.type) << e.stream;
            for (uint32_t i = 0; i < packet->nsamp; ++i) {
                if (e.type == ISI_TYPE_INT32) {
                    int32_t v;
                    std::memcpy(&v, packet->data + 4 * i, 4);
                    values.push_back(v);
                } else if (e.type == ISI_TYPE_REAL32) {
                    float v;
                    std::memcpy(&v, packet->data + 4 * i, 4);
                    values.push_back(v);
                } else {
                    double v;
                    std::memcpy(&v, packet->data + 8 * i, 8);
                    values.push_back(v);
                }
            }
            ASSERT_TRUE(isiSamplesToFloat(packet, &converted)) << e.stream;
            floats.insert(floats.end(), converted.begin(), converted.end());
        }
        isiCloseClient(client);
        EXPECT_EQ(values, e.values) << e.stream;
        std::vector<REAL32> nearest;
        for (double v : e.values) nearest.push_back(REAL32(v));
        EXPECT_EQ(floats, nearest) << e.stream;
    }
}

TEST(MseedLoadTest, UnreadableFileIsRefusedWithItsName) {
    std::vector<isisim::SimStream> streams;
    std::string error;
    EXPECT_FALSE(isisim::simLoadMseed({"/nonexistent/x.mseed"}, false, 100, 0.0, &streams, &error));
    EXPECT_NE(error.find("/nonexistent/x.mseed"), std::string::npos) << error;
}

}  // namespace
}  // namespace simtest
