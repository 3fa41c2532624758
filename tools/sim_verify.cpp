// sim-verify: checks every catalogued KVR file against the stand-in server's samples.
//
//   sim-verify --data-dir DIR [--creater NAME] [--sta S]... [--holes-after T] [--allow-repeat S]
//
// isi-sim's samples are a fixed function of the stream name and the absolute sample index, so
// whatever a recorder or a fetch stored can be recomputed. For every FILELIST row (of one
// creater, optionally of some stations) it reads the file under DIR and checks that the file
// holds exactly the row's SPS x TQTY samples, that its first sample lies on the stream's sample
// grid, and that every sample is the server's. Per channel it then orders the files and reports
// samples stored twice (files that overlap by more than --allow-repeat seconds) and holes between
// files that begin after --holes-after (older holes may have been trimmed by a disk loop or have
// left the server's own loop). The last line is "VERIFY OK ..." or "VERIFY FAIL ..."; the exit
// status is 0, 1 for a fault found, 2 for a usage error or a catalogue that cannot be read.
//
// The stream names the hash is taken over are the rows' codes in upper case, with "??" as no
// location: the spelling isi-sim serves its synthetic streams in when they are given upper case.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "server/synthetic.h"
#include "commandline/program.h"

namespace {

constexpr int kExitFault = 1;
constexpr int kExitCannotRead = 2;
constexpr size_t kMaxReportedFaults = 50;  // faults printed; the rest are only counted

struct Options {
    std::string dataDir;
    std::string creater = KVR_CREATER_RECORDER;
    std::vector<std::string> stations;
    double holesAfter = 0.0;
    double allowRepeat = 0.0;
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The hash of the stream a row's file came from, named as isi-sim serves it.
uint64_t ServerStreamHash(const KVR_FILELIST_ROW& row) {
    return isisim::simStreamHashOf(Upper(row.sta).c_str(), Upper(row.ch).c_str(),
                                   Upper(row.lcode).c_str());
}

struct FileSpan {
    int64_t first = 0;  // absolute index of the first sample
    int64_t count = 0;
    std::string cpath;
};

class Verifier {
  public:
    explicit Verifier(const Options& o) : o_(o) {}

    void Fault(const std::string& text) {
        if (faults_++ < kMaxReportedFaults) std::printf("fault: %s\n", text.c_str());
    }

    void CheckRow(const KVR_FILELIST_ROW& row) {
        ++files_;
        if (!(row.sps > 0.0)) return Fault(row.cpath + ": no sample rate in its row");
        KVR_FILE_INFO info;
        std::vector<float> samples;
        std::string error;
        if (!kvrReadFile(kvrFullPath(o_.dataDir, row.cpath), &info, &samples, &error))
            return Fault(row.cpath + ": " + error);
        const int64_t expectedCount = std::llround(row.tqty * row.sps);
        if (static_cast<int64_t>(samples.size()) != expectedCount)
            Fault(row.cpath + ": file holds " + std::to_string(samples.size()) +
                  " samples, its row " + std::to_string(expectedCount));
        const double grid = row.tbegin * row.sps;
        const int64_t first = std::llround(grid);
        if (std::fabs(grid - static_cast<double>(first)) > 1e-3)
            Fault(row.cpath + ": first sample off the stream's sample grid");
        const uint64_t hash = ServerStreamHash(row);
        for (size_t i = 0; i < samples.size(); ++i) {
            const float expected =
                static_cast<float>(isisim::simSyntheticSample(hash, first + int64_t(i)));
            if (samples[i] != expected) {
                Fault(row.cpath + ": sample " + std::to_string(i) + " is " +
                      std::to_string(samples[i]) + ", the server's " + std::to_string(expected));
                break;
            }
        }
        samples_ += samples.size();
        auto key = std::make_tuple(Upper(row.sta), Upper(row.ch), Upper(row.lcode));
        spans_[key].rate = row.sps;
        spans_[key].files.push_back({first, int64_t(samples.size()), row.cpath});
    }

    // Orders each channel's files and looks for samples stored twice and for holes.
    void CheckChannels() {
        for (auto& [key, channel] : spans_) {
            auto& files = channel.files;
            std::sort(files.begin(), files.end(),
                      [](const FileSpan& a, const FileSpan& b) { return a.first < b.first; });
            const int64_t allowed = std::llround(o_.allowRepeat * channel.rate);
            const int64_t holesFrom = std::llround(o_.holesAfter * channel.rate);
            for (size_t i = 1; i < files.size(); ++i) {
                const int64_t previousEnd = files[i - 1].first + files[i - 1].count;
                if (files[i].first < previousEnd - allowed)
                    Fault(files[i].cpath + ": " + std::to_string(previousEnd - files[i].first) +
                          " samples also stored in " + files[i - 1].cpath);
                if (files[i].first > previousEnd && previousEnd >= holesFrom) {
                    ++holes_;
                    Fault(files[i].cpath + ": hole of " +
                          std::to_string(files[i].first - previousEnd) + " samples before it");
                }
            }
        }
    }

    int Finish() const {
        if (faults_ == 0) {
            std::printf("VERIFY OK channels=%zu files=%zu samples=%llu\n", spans_.size(), files_,
                        static_cast<unsigned long long>(samples_));
            return 0;
        }
        std::printf("VERIFY FAIL faults=%zu holes=%zu channels=%zu files=%zu samples=%llu\n",
                    faults_, holes_, spans_.size(), files_,
                    static_cast<unsigned long long>(samples_));
        return kExitFault;
    }

  private:
    struct Channel {
        double rate = 0.0;
        std::vector<FileSpan> files;
    };
    const Options& o_;
    std::map<std::tuple<std::string, std::string, std::string>, Channel> spans_;
    size_t files_ = 0, faults_ = 0, holes_ = 0;
    uint64_t samples_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"sim-verify: checks catalogued KVR files against isi-sim's synthetic samples",
                 "sim-verify"};
    programAddVersion(app, "sim-verify");
    app.add_option("--data-dir", o.dataDir, "the data directory the rows are relative to")
        ->required();
    app.add_option("--creater", o.creater, "only rows of this creater")->capture_default_str();
    app.add_option("--sta", o.stations, "only this station (repeatable)");
    app.add_option("--holes-after", o.holesAfter,
                   "epoch seconds: a gap between files that begins after it is a fault");
    app.add_option("--allow-repeat", o.allowRepeat,
                   "seconds two consecutive files may overlap (default 0)");
    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;

    KvrConnection db;
    KVR_CREDENTIALS credentials = kvrCatalogueCredentials(KVR_DSN, KVR_USER, KVR_PASSWORD);
    if (!db.open(KVR_DSN, credentials.user, credentials.password)) {
        std::fprintf(stderr, "sim-verify: cannot open data source \"%s\": %s\n", KVR_DSN,
                     db.message().c_str());
        return kExitCannotRead;
    }
    std::string filter = "creater='" + kvrSqlQuote(o.creater) + "'";
    if (!o.stations.empty()) {
        filter += " and (";
        for (size_t i = 0; i < o.stations.size(); ++i)
            filter += (i ? " or " : "") + std::string("sta='") + kvrSqlQuote(o.stations[i]) + "'";
        filter += ")";
    }
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, filter, &rows);
    if (!r.ok()) {
        std::fprintf(stderr, "sim-verify: FILELIST cannot be read: %s\n", r.message.c_str());
        return kExitCannotRead;
    }
    Verifier verifier(o);
    for (const auto& row : rows) verifier.CheckRow(row);
    verifier.CheckChannels();
    return verifier.Finish();
}
