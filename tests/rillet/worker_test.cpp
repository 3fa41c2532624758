// The worker against a scripted server: what a faulty or hostile server sends.
#include <atomic>
#include <mutex>

#include "isi/loopback_peer.h"
#include "isi/packet_builder.h"
#include "recording_rig.h"

using namespace rillet_test;

namespace {

class CapturingView : public CRecorderView {
  public:
    void SetStatusLine(const std::string& text) override {
        std::lock_guard<std::mutex> guard(lock);
        lines += text + "\n";
    }
    void SetLastCountTime(size_t, size_t, const std::string&) override {}
    std::mutex lock;
    std::string lines;
};

}  // namespace

// Bad packets in a row are dropped and reading goes on at once (no retry pause with the
// connection open); codes with control characters are shown escaped, the location with them.
TEST(RilletWorker, BadPacketsAreDroppedAndHostileNamesShownEscaped) {
    ScratchDir dir;
    iacptest::IacpPeer peer;
    ASSERT_TRUE(peer.listening());
    const double t0 = std::floor(platNow() / 100) * 100 - 3600;
    WriteText(dir.Path("rillet.ini"),
              "[SYSTEM]\nSERVER=127.0.0.1\nPORT=" + std::to_string(peer.port()) +
                  "\nGROUPS=1\n[GROUP1]\nSTATION=abc\nCHAN=BHZ\n[LOG]\nDIR=" + dir.Path("log") +
                  "\n");
    WriteText(dir.Path("KVR.ini"), "[DATA]\nDIR=" + dir.Path() + "\n");
    CRilletLog log;
    CRilletSettings settings(log, dir.Path("rillet.ini"), dir.Path("KVR.ini"));
    CKvrCatalogue catalogue(log, settings);
    std::string why;
    ASSERT_TRUE(OpenSqliteCatalogue(catalogue, dir.Path("kvr.db"), &why)) << why;
    kvrPutSitechan(catalogue.Connection(), kvrSitechanKey("abc", "BHZ", "??", 20));
    settings.LoadSettings([&](const std::string& s, const std::string& c, const std::string& l) {
        return catalogue.LookupSampleRate(s, c, l);
    });

    std::atomic<bool> done{false};
    peer.start([&](iacptest::IacpPeer& p) {
        isitest::WireRequest request;
        ASSERT_TRUE(isitest::acceptRequest(p, &request));
        for (const auto& bad : isitest::badPackets("ABC", "BHZ", t0))
            p.sendFrame(ISI_IACP_GENERIC_TS, bad.payload);
        ISI_TS_PACKET hostile = isitest::makeHeader("\x1b[2J\n", "B\rZ", "\t1", 20, 1, t0, 100);
        p.sendFrame(ISI_IACP_GENERIC_TS,
                    isitest::samplePayload(hostile, std::vector<int32_t>(100, 1), false));
        ISI_TS_PACKET good = isitest::makeHeader("ABC", "BHZ", "", 20, 1, t0, 100);
        p.sendFrame(ISI_IACP_GENERIC_TS,
                    isitest::samplePayload(good, std::vector<int32_t>(100, 2), true));
        for (int i = 0; i < 500 && !done; ++i) {
            if (!p.sendFrame(IACP_TYPE_NOP)) break;
            platSleepMs(10);
        }
    });

    CapturingView view;
    CRecorder recorder(settings, catalogue, log);
    CRecorderWorker worker(settings, recorder, log, view);
    worker.SetSilent(false);
    double started = platNow();
    std::thread thread([&] { worker.RecorderThread(); });
    while (worker.PacketCount() < 2 && platNow() - started < kGenerousWaitSeconds) platSleepMs(5);
    EXPECT_LT(platNow() - started, 3.0) << "a retry pause came between bad packets";
    worker.RequestStop();
    thread.join();
    done = true;
    peer.join();

    EXPECT_EQ(worker.PacketCount(), 2u);
    std::lock_guard<std::mutex> guard(view.lock);
    // The location follows the channel, as in the window's rows; none for a blank one.
    EXPECT_NE(view.lines.find(" \\x1b[2J\\n  B\\rZ.\\t1 "), std::string::npos) << view.lines;
    EXPECT_EQ(view.lines.find('\x1b'), std::string::npos);
    EXPECT_EQ(view.lines.find('\r'), std::string::npos);
    EXPECT_NE(view.lines.find(" ABC    BHZ "), std::string::npos) << view.lines;
}
