// The miniSEED export read back with libmseed: every sample and every time agrees with the KVR
// files, a file crossing midnight lands in two day files, and a file shorter than its row is
// exported as far as it goes, with a warning.
#include <gtest/gtest.h>
#include <libmseed.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/kvrfile.h"
#include "kvr/mseed_export.h"
#include "kvr/store.h"
#include "support/sqlite_dsn.h"

namespace fs = std::filesystem;

namespace {

struct StoredFile {
    KVR_FILELIST_ROW row;
    std::vector<float> samples;
};

// A sample's value: its absolute index on the stream's grid, so that two files of one stream hold
// the same value for the same time.
float Value(double tbegin, double sps, int64_t i) {
    return static_cast<float>(std::fmod(std::round(tbegin * sps) + double(i), 65536.0) * 0.25 -
                              1000.5);
}

// Writes a KVR file of `count` samples (values that identify their time) and, unless rowCount
// says otherwise, a row that claims exactly them.
StoredFile Store(KvrConnection& db, const std::string& dataDir, const std::string& sta,
                 const std::string& ch, const std::string& loc, double tbegin, double sps,
                 int count, const char* creater, int rowCount = -1) {
    StoredFile f;
    for (int i = 0; i < count; ++i) f.samples.push_back(Value(tbegin, sps, i));
    f.row.sta = sta;
    f.row.ch = ch;
    f.row.lcode = loc;
    f.row.tbegin = tbegin;
    f.row.sps = sps;
    f.row.tqty = (rowCount < 0 ? count : rowCount) / sps;
    f.row.creater = creater;
    f.row.cpath = sta + "/" + ch + "-" + std::to_string(static_cast<long long>(tbegin)) + ".kvr";
    std::array<char, KVR_HEADER_SIZE> header{};
    EXPECT_TRUE(BuildHeader20(header, sta, ch, sps, tbegin));
    std::string error;
    EXPECT_TRUE(kvrMakeFolders(kvrFullPath(dataDir, sta), &error)) << error;
    EXPECT_TRUE(kvrCreateFile(kvrFullPath(dataDir, f.row.cpath), header, f.samples, &error))
        << error;
    EXPECT_TRUE(kvrInsertFileListRow(db, f.row).ok());
    return f;
}

// Every sample of every record under root, keyed by "NET.STA.LOC.CHA" and its time in
// microseconds.
// Samples read, duplicates included, are counted in *records when it is given.
std::map<std::string, std::map<hptime_t, float>> ReadBack(const fs::path& root, int* files,
                                                          uint64_t* records = nullptr) {
    std::map<std::string, std::map<hptime_t, float>> out;
    *files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        ++*files;
        MSRecord* msr = nullptr;
        while (ms_readmsr(&msr, entry.path().c_str(), 0, nullptr, nullptr, 1, 1, 0) == MS_NOERROR) {
            if (records) *records += uint64_t(msr->numsamples);
            EXPECT_EQ(msr->sampletype, 'f');
            EXPECT_EQ(msr->encoding, DE_FLOAT32);
            std::string key = std::string(msr->network) + "." + msr->station + "." + msr->location +
                              "." + msr->channel;
            for (int64_t i = 0; i < msr->numsamples; ++i) {
                hptime_t t = msr->starttime + std::llround(i * HPTMODULUS / msr->samprate);
                out[key][t] = static_cast<float*>(msr->datasamples)[i];
            }
        }
        ms_readmsr(&msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
    }
    return out;
}

// A new scratch folder with a data folder in it.
fs::path Scratch(const std::string& prefix) {
    fs::path scratch = fs::temp_directory_path() / (prefix + std::to_string(getpid()));
    fs::remove_all(scratch);
    fs::create_directories(scratch / "data");
    return scratch;
}

// Data source "KVR" on an SQLite file of the scratch folder, opened, with the tables.
bool OpenCatalogue(const fs::path& scratch, KvrConnection& db, std::string* error) {
    std::vector<std::string> created;
    if (!kvrtest::UseSqliteDsn(scratch.string(), error)) return false;
    if (!db.open(KVR_DSN, KVR_USER, KVR_PASSWORD) || !kvrCreateSchema(db, &created).ok()) {
        *error = db.message();
        return false;
    }
    return true;
}

}  // namespace

TEST(KvrMiniSeedExport, EverySampleAndTimeReadsBackAsStored) {
    const fs::path scratch = Scratch("kvr-export-");
    KvrConnection db;
    std::string error;
    ASSERT_TRUE(OpenCatalogue(scratch, db, &error)) << error;

    const std::string dataDir = (scratch / "data").string();
    const double midnight = 1765152000.0;  // 2025-12-08 00:00:00 UTC, day 342
    std::vector<StoredFile> stored = {
        // A recorder file crossing midnight: 100 s at 20 sps, 30 s before it.
        Store(db, dataDir, "anmo", "BHZ", "??", midnight - 30.0, 20.0, 2000, "NRTSDISKLOOP"),
        // A fetched file with a location, on the same day, at a fractional start.
        Store(db, dataDir, "ANMO", "LHZ", "00", midnight + 3600.5, 1.0, 600, "Gleaner"),
        // A file that holds fewer samples than its row claims.
        Store(db, dataDir, "tuc", "HHZ", "??", midnight + 60.0, 100.0, 500, "NRTSDISKLOOP", 700),
    };

    KVR_EXPORT_OPTIONS options;
    options.dataDirectory = dataDir;
    options.outputFolder = (scratch / "sds").string();
    options.network = "IU";
    KVR_EXPORT_SUMMARY summary;
    ASSERT_TRUE(kvrExportMiniSeed(db, options, &summary, &error)) << error;
    EXPECT_EQ(summary.rows, 3u);
    EXPECT_EQ(summary.samples, 3100u);
    ASSERT_EQ(summary.warnings.size(), 1u);
    EXPECT_NE(summary.warnings[0].find("holds 500 samples, its row 700"), std::string::npos);

    // The SDS names: upper-case codes, no location for "??", one file per channel and day.
    EXPECT_TRUE(fs::exists(scratch / "sds/2025/IU/ANMO/BHZ.D/IU.ANMO..BHZ.D.2025.341"));
    EXPECT_TRUE(fs::exists(scratch / "sds/2025/IU/ANMO/BHZ.D/IU.ANMO..BHZ.D.2025.342"));
    EXPECT_TRUE(fs::exists(scratch / "sds/2025/IU/ANMO/LHZ.D/IU.ANMO.00.LHZ.D.2025.342"));
    int files = 0;
    auto back = ReadBack(scratch / "sds", &files);
    EXPECT_EQ(files, 4);

    const char* keys[] = {"IU.ANMO..BHZ", "IU.ANMO.00.LHZ", "IU.TUC..HHZ"};
    for (size_t f = 0; f < stored.size(); ++f) {
        const auto& channel = back[keys[f]];
        ASSERT_EQ(channel.size(), stored[f].samples.size()) << keys[f];
        for (size_t i = 0; i < stored[f].samples.size(); ++i) {
            hptime_t t = std::llround((stored[f].row.tbegin + i / stored[f].row.sps) * HPTMODULUS);
            auto it = channel.find(t);
            ASSERT_NE(it, channel.end()) << keys[f] << " sample " << i << " has no record time";
            ASSERT_EQ(it->second, stored[f].samples[i]) << keys[f] << " sample " << i;
        }
    }

    // A window and a channel filter export only what they name.
    options.outputFolder = (scratch / "sds2").string();
    options.channel = "bhz";
    options.begin = midnight;
    options.end = midnight + 10.0;
    ASSERT_TRUE(kvrExportMiniSeed(db, options, &summary, &error)) << error;
    EXPECT_EQ(summary.samples, 200u);
    EXPECT_EQ(summary.files, 1u);
    fs::remove_all(scratch);
}

// Exports into an SDS tree that exists merge: a second window of the same day joins the first, the
// same window again changes no byte, and two rows that hold the same samples (the recorder's and a
// fetch's) give them once.
TEST(KvrMiniSeedExport, ExportIntoAnExistingTreeKeepsWhatItHoldsAndAddsNothingTwice) {
    const fs::path scratch = Scratch("kvr-export-merge-");
    KvrConnection db;
    std::string error;
    ASSERT_TRUE(OpenCatalogue(scratch, db, &error)) << error;
    const std::string dataDir = (scratch / "data").string();
    const double noon = 1765195200.0;  // 2025-12-08 12:00:00 UTC
    // An hour of the recorder's BHZ in two files, and a fetch of the same stream's middle.
    Store(db, dataDir, "anmo", "BHZ", "??", noon, 20.0, 36000, "NRTSDISKLOOP");
    Store(db, dataDir, "anmo", "BHZ", "??", noon + 1800.0, 20.0, 36000, "NRTSDISKLOOP");
    Store(db, dataDir, "ANMO", "BHZ", "??", noon + 1500.0, 20.0, 12000, "Gleaner");

    KVR_EXPORT_OPTIONS options;
    options.dataDirectory = dataDir;
    options.outputFolder = (scratch / "sds").string();
    options.network = "IU";
    options.begin = noon;
    options.end = noon + 1200.0;
    KVR_EXPORT_SUMMARY summary;
    ASSERT_TRUE(kvrExportMiniSeed(db, options, &summary, &error)) << error;
    EXPECT_EQ(summary.samples, 24000u);
    options.begin = noon + 1200.0;
    options.end = noon + 3600.0;
    ASSERT_TRUE(kvrExportMiniSeed(db, options, &summary, &error)) << error;
    EXPECT_EQ(summary.samples, 48000u);
    EXPECT_EQ(summary.samplesPresent, 12000u);  // the fetch's, which the recorder's hold

    const fs::path day = scratch / "sds/2025/IU/ANMO/BHZ.D/IU.ANMO..BHZ.D.2025.342";
    auto bytes = [&] {
        std::ifstream in(day, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string before = bytes();
    options.begin = -HUGE_VAL;
    options.end = HUGE_VAL;
    ASSERT_TRUE(kvrExportMiniSeed(db, options, &summary, &error)) << error;
    EXPECT_EQ(summary.samples, 0u);
    EXPECT_EQ(summary.samplesPresent, 84000u);
    EXPECT_EQ(bytes(), before);

    // Every sample of the hour once, at its own time, with the value its file holds.
    int files = 0;
    uint64_t records = 0;
    auto back = ReadBack(scratch / "sds", &files, &records);
    EXPECT_EQ(files, 1);
    const auto& channel = back["IU.ANMO..BHZ"];
    ASSERT_EQ(channel.size(), 72000u);
    EXPECT_EQ(records, 72000u);
    for (size_t i = 0; i < 72000; ++i) {
        const hptime_t t = std::llround((noon + double(i) / 20.0) * HPTMODULUS);
        auto it = channel.find(t);
        ASSERT_NE(it, channel.end()) << "sample " << i;
        ASSERT_EQ(it->second, Value(noon, 20.0, int64_t(i))) << "sample " << i;
    }
    fs::remove_all(scratch);
}
