// What the Gleaner benchmarks fetch from and into: isi-sim in this process serving synthetic
// channels, a scratch folder removed on every way out, an SQLite catalogue with its tables, and
// the retrieval input of one window of every channel. Header only: the benchmarks link
// gleanercore and isisim themselves.
#pragma once

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gleaner/retrieval.h"
#include "kvr/dsn.h"
#include "platform/clock.h"
#include "server/server.h"

namespace benchsupport {

// The window the Gleaner benchmarks fetch: 24 channels, an hour, 100 samples per second in
// packets of 100 (8.64 million samples).
inline constexpr int kFetchChannels = 24;
inline constexpr double kFetchSeconds = 3600.0;
inline constexpr int kFetchRate = 100;
inline constexpr int kFetchSamplesPerPacket = 100;

// The host of a benchmark's run: shows nothing, aborts at an i/o error, and says a failure on
// standard error.
class QuietHost : public CRetrievalHost {
  public:
    void SetStatusText(const std::string&) override {}
    void SetProgress(int) override {}
    void SetWaitCursor(bool) override {}
    void ShowMessage(const std::string& text, const std::string&, bool) override {
        std::fprintf(stderr, "retrieval: %s\n", text.c_str());
    }
    IoAnswer AskIoError(const std::string&, const std::string&) override { return IoAnswer::Abort; }
    void RunFinished() override {}
};

class FetchRig {
  public:
    FetchRig() = default;
    FetchRig(const FetchRig&) = delete;
    FetchRig& operator=(const FetchRig&) = delete;
    ~FetchRig() {
        if (server) server->stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    // Makes the scratch folder (name: "/tmp/" + name + ".XXXXXX"), channels streams named by
    // nameFormat ("B%02d.HHZ") at rate with samplesPerPacket, a server keeping cacheBytes of
    // built packets, and the catalogue; input asks for the window of seconds that ended an hour
    // of history ago, data under dir/data. False after a line on standard error naming why.
    bool Start(const char* name, int channels, const char* nameFormat, int rate,
               int samplesPerPacket, double seconds, size_t cacheBytes) {
        std::string pattern = "/tmp/" + std::string(name) + ".XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return Fail(name, "no scratch folder");
        dir = pattern;
        const std::string driver = kvrFindOdbcDriver("libsqlite3odbc.so");
        if (driver.empty()) return Fail(name, "the SQLite ODBC driver is not installed");
        std::vector<isisim::SimStream> streams;
        std::string list, error;
        for (int i = 0; i < channels; ++i) {
            char stream[32];
            std::snprintf(stream, sizeof stream, nameFormat, i);
            isisim::SimStream s;
            if (!isisim::simParseStreamSpec(std::string(stream) + ":" + std::to_string(rate),
                                            samplesPerPacket, 3.0 * seconds, &s, &error))
                return Fail(name, error);
            streams.push_back(s);
            list += std::string("+") + stream;
        }
        isisim::SimServerOptions options;
        options.port = 0;
        options.packetCacheBytes = cacheBytes;
        server = std::make_unique<isisim::SimServer>(std::move(streams), options);
        if (!server->start(&error)) return Fail(name, error);
        logioInit(&log, "stderr", nullptr, name);
        logioSetThreshold(&log, LOG_WARNING);

        const double begin = std::floor(platNow()) - 2.0 * seconds;
        input.server = "127.0.0.1";
        input.port = server->port();
        input.begin = begin;
        input.end = begin + seconds - 1.0 / rate;
        isiParseStreamNames(list, &input.streams, nullptr);
        // The catalogue as the data source that kvrdb writes for SQLite describes it.
        input.connectString.clear();
        for (const auto& [key, value] : kvrSqliteDsnEntry(driver, dir + "/kvr.db"))
            if (key != "Description") input.connectString += key + "=" + value + ";";
        input.dataDirectory = dir + "/data";
        input.spoolDirectory = dir;
        input.log = &log;
        KvrConnection db;
        std::vector<std::string> created;
        if (!db.openString(input.connectString) || !kvrCreateSchema(db, &created).ok())
            return Fail(name, "cannot make the catalogue: " + db.message());
        return true;
    }

    std::string dir;
    std::unique_ptr<isisim::SimServer> server;
    RETRIEVAL_INPUT input;
    LOGIO log;

  private:
    static bool Fail(const char* name, const std::string& why) {
        std::fprintf(stderr, "%s: %s\n", name, why.c_str());
        return false;
    }
};

}  // namespace benchsupport
