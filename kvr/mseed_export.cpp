#include "kvr/mseed_export.h"

#include <libmseed.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <span>
#include <tuple>

#include "kvr/catalog.h"
#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecordLength = 4096;
constexpr flag kBigEndian = 1;
constexpr double kSecondsPerDay = 86400.0;
// A sample time within this of a boundary counts as on it (times are doubles of epoch seconds).
constexpr double kGridSlack = 1e-6;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The first sample index whose time is at or after t.
int64_t FirstAtOrAfter(double tbegin, double sps, double t) {
    return static_cast<int64_t>(std::ceil((t - tbegin) * sps - kGridSlack));
}

// The spans of time a day file holds samples for: [begin, end) in libmseed's time unit, sorted
// and joined where they touch, so that a sample is looked up by a binary search however many
// records the file has.
class CCoverage {
  public:
    struct Span {
        hptime_t begin;
        hptime_t end;
    };

    // Adds a span; spans that overlap or touch it (within slack) become one.
    void Add(hptime_t begin, hptime_t end, hptime_t slack) {
        auto it = std::lower_bound(spans_.begin(), spans_.end(), begin - slack,
                                   [](const Span& s, hptime_t t) { return s.end < t; });
        while (it != spans_.end() && it->begin <= end + slack) {
            begin = std::min(begin, it->begin);
            end = std::max(end, it->end);
            it = spans_.erase(it);
        }
        spans_.insert(it, {begin, end});
    }
    // The first span that ends after t, or null.
    const Span* After(hptime_t t) const {
        auto it = std::upper_bound(spans_.begin(), spans_.end(), t,
                                   [](hptime_t value, const Span& s) { return value < s.end; });
        return it == spans_.end() ? nullptr : &*it;
    }

  private:
    std::vector<Span> spans_;
};

struct DayFile {
    std::string path;
    FILE* fp = nullptr;
    uint64_t records = 0;
    bool failed = false;
};

void WriteRecord(char* record, int length, void* handlerData) {
    auto* out = static_cast<DayFile*>(handlerData);
    if (std::fwrite(record, 1, static_cast<size_t>(length), out->fp) != static_cast<size_t>(length))
        out->failed = true;
    ++out->records;
}

// Adds what the records of an existing day file hold to *coverage, without decoding a sample.
// False with *error when the file cannot be read as miniSEED.
bool ReadCoverage(const std::string& path, CCoverage* coverage, std::string* error) {
    MSFileParam* file = nullptr;
    MSRecord* msr = nullptr;
    int rc;
    while ((rc = ms_readmsr_r(&file, &msr, path.c_str(), 0, nullptr, nullptr, 1, 0, 0)) ==
           MS_NOERROR) {
        if (!(msr->samprate > 0.0) || msr->samplecnt <= 0) continue;
        const double step = HPTMODULUS / msr->samprate;
        coverage->Add(msr->starttime,
                      msr->starttime + static_cast<hptime_t>(std::llround(msr->samplecnt * step)),
                      static_cast<hptime_t>(step / 2));
    }
    ms_readmsr_r(&file, &msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
    if (rc != MS_ENDOFFILE) {
        *error =
            "cannot read " + path + " as miniSEED (" + ms_errorstr(rc) + "); it is left as it is";
        return false;
    }
    return true;
}

class CMiniSeedWriter {
  public:
    CMiniSeedWriter(const KVR_EXPORT_OPTIONS& options, KVR_EXPORT_SUMMARY* summary)
        : options_(options), summary_(summary) {}
    ~CMiniSeedWriter() { Close(); }

    // Adds samples[0..count) of one channel, the first at time start, to its day file: what the
    // file holds already (an earlier export, or an earlier row of this one) is left out, the rest
    // packed and appended.
    bool Write(const KVR_FILELIST_ROW& row, double start, const float* samples, int64_t count,
               std::string* error) {
        int year, doy, hour, minute, second, msec;
        utilTimeToYdhmsm(start, &year, &doy, &hour, &minute, &second, &msec);
        const std::string sta = Upper(row.sta), cha = Upper(row.ch);
        const std::string loc = row.lcode == KVR_NO_LOCATION ? "" : Upper(row.lcode);
        char name[128];
        std::snprintf(name, sizeof name, "%s.%s.%s.%s.D.%04d.%03d", options_.network.c_str(),
                      sta.c_str(), loc.c_str(), cha.c_str(), year, doy);
        fs::path folder = fs::path(options_.outputFolder) / std::to_string(year) /
                          options_.network / sta / (cha + ".D");
        std::string path = (folder / name).string();
        if (!Open(folder, path, error)) return false;

        CCoverage& coverage = coverage_[path];
        const hptime_t first = static_cast<hptime_t>(std::llround(start * HPTMODULUS));
        const double step = HPTMODULUS / row.sps;
        const hptime_t half = static_cast<hptime_t>(step / 2);
        auto timeOf = [&](int64_t i) {
            return first + static_cast<hptime_t>(std::llround(static_cast<double>(i) * step));
        };
        // The first index from `from` on whose time, plus half an interval, reaches limit (or
        // passes it, when strict): found by arithmetic and checked on the times themselves.
        auto firstReaching = [&](int64_t from, hptime_t limit, bool strict) {
            auto reaches = [&](int64_t k) {
                const hptime_t t = timeOf(k) + half;
                return strict ? t > limit : t >= limit;
            };
            const double guess = std::floor(double(limit - half - first) / step);
            int64_t j = guess >= double(count) ? count : std::max<int64_t>(from, int64_t(guess));
            while (j > from && reaches(j - 1)) --j;
            while (j < count && !reaches(j)) ++j;
            return j;
        };
        // A sample is held when its time, give or take half an interval, lies in a span; the
        // runs between held samples are packed each on its own.
        for (int64_t i = 0; i < count;) {
            const CCoverage::Span* span = coverage.After(timeOf(i) + half);
            if (span != nullptr && span->begin < timeOf(i) + half) {
                const int64_t end = firstReaching(i, span->end, false);
                summary_->samplesPresent += static_cast<uint64_t>(end - i);
                i = end;
                continue;
            }
            const int64_t end = span != nullptr ? firstReaching(i, span->begin, true) : count;
            if (!Pack(row, sta, cha, loc, timeOf(i), samples + i, end - i, path, error))
                return false;
            coverage.Add(timeOf(i), timeOf(end), half);
            i = end;
        }
        return true;
    }

    bool Close() {
        if (current_.fp == nullptr) return true;
        bool ok = std::fclose(current_.fp) == 0 && !current_.failed;
        current_.fp = nullptr;
        return ok;
    }

  private:
    bool Pack(const KVR_FILELIST_ROW& row, const std::string& sta, const std::string& cha,
              const std::string& loc, hptime_t start, const float* samples, int64_t count,
              const std::string& path, std::string* error) {
        MSRecord* msr = msr_init(nullptr);
        if (msr == nullptr) {
            *error = "out of memory";
            return false;
        }
        std::snprintf(msr->network, sizeof msr->network, "%s", options_.network.c_str());
        std::snprintf(msr->station, sizeof msr->station, "%s", sta.c_str());
        std::snprintf(msr->location, sizeof msr->location, "%s", loc.c_str());
        std::snprintf(msr->channel, sizeof msr->channel, "%s", cha.c_str());
        msr->dataquality = 'D';
        msr->starttime = start;
        msr->samprate = row.sps;
        msr->reclen = kRecordLength;
        msr->encoding = DE_FLOAT32;
        msr->byteorder = kBigEndian;
        msr->sampletype = 'f';
        msr->datasamples = const_cast<float*>(samples);  // read only by msr_pack
        msr->numsamples = count;
        int64_t packed = 0;
        int records = msr_pack(msr, WriteRecord, &current_, &packed, 1, 0);
        msr->datasamples = nullptr;  // not ours to free
        msr_free(&msr);
        if (records < 0 || packed != count || current_.failed) {
            *error = "cannot write " + path;
            if (current_.failed) *error += std::string(": ") + std::strerror(errno);
            return false;
        }
        summary_->records += static_cast<uint64_t>(records);
        summary_->samples += static_cast<uint64_t>(packed);
        return true;
    }

    // Keeps one day file open at a time: rows come in channel and time order, so a day file's
    // pieces arrive together. A day file is only ever appended to; the first time this export
    // meets one that exists, the spans its records hold are read, so that nothing is written
    // twice.
    bool Open(const fs::path& folder, const std::string& path, std::string* error) {
        if (current_.fp != nullptr && current_.path == path) return true;
        if (!Close()) {
            *error = "cannot write " + current_.path;
            return false;
        }
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            *error = "cannot make " + folder.string() + ": " + ec.message();
            return false;
        }
        const bool known = coverage_.count(path) != 0;
        if (!known && fs::exists(path, ec) && !ReadCoverage(path, &coverage_[path], error))
            return false;
        current_ = DayFile{path, std::fopen(path.c_str(), "ab"), 0, false};
        if (current_.fp == nullptr) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!known) ++summary_->files;
        return true;
    }

    const KVR_EXPORT_OPTIONS& options_;
    KVR_EXPORT_SUMMARY* summary_;
    DayFile current_;
    std::map<std::string, CCoverage> coverage_;  // per day file met, what it holds
};

}  // namespace

bool kvrExportMiniSeed(KvrConnection& db, const KVR_EXPORT_OPTIONS& options,
                       KVR_EXPORT_SUMMARY* summary, std::string* error) {
    *summary = {};
    if (options.network.empty() || options.network.size() > 2) {
        *error = "the network code has 1 or 2 characters";
        return false;
    }
    if (options.outputFolder.empty()) {
        *error = "no output folder";
        return false;
    }
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, "", &rows);
    if (!r.ok()) {
        *error = "FILELIST cannot be read: " + r.message;
        return false;
    }
    auto matches = [](const std::string& code, const std::string& wanted) {
        return wanted.empty() || Upper(code) == Upper(wanted);
    };
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const KVR_FILELIST_ROW& row) {
                                  return !matches(row.sta, options.station) ||
                                         !matches(row.ch, options.channel);
                              }),
               rows.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return std::tie(a.sta, a.ch, a.lcode, a.tbegin) < std::tie(b.sta, b.ch, b.lcode, b.tbegin);
    });

    CMiniSeedWriter writer(options, summary);
    KvrSampleReader reader;
    for (const KVR_FILELIST_ROW& row : rows) {
        ++summary->rows;
        if (!(row.sps > 0.0)) {
            summary->warnings.push_back(row.cpath + ": no sample rate in its row; not exported");
            continue;
        }
        KVR_FILE_INFO info;
        std::string why;
        if (!reader.Read(kvrFullPath(options.dataDirectory, row.cpath), &info, &why)) {
            summary->warnings.push_back(row.cpath + ": " + why + "; not exported");
            continue;
        }
        const int64_t rowCount = std::llround(row.tqty * row.sps);
        const std::span<const float> samples = reader.Samples();
        const int64_t count = static_cast<int64_t>(samples.size());
        if (count != rowCount)
            summary->warnings.push_back(row.cpath + ": the file holds " + std::to_string(count) +
                                        " samples, its row " + std::to_string(rowCount) +
                                        "; the file's samples exported");
        int64_t first = 0, last = count;
        if (std::isfinite(options.begin))
            first = std::max(first, FirstAtOrAfter(row.tbegin, row.sps, options.begin));
        if (std::isfinite(options.end))
            last = std::min(last, FirstAtOrAfter(row.tbegin, row.sps, options.end));
        // Cut at each UTC midnight, so that every piece lies in one day file.
        for (int64_t i = first; i < last;) {
            const double start = row.tbegin + static_cast<double>(i) / row.sps;
            const double midnight = (std::floor(start / kSecondsPerDay) + 1.0) * kSecondsPerDay;
            const int64_t next =
                std::min(last, std::max(i + 1, FirstAtOrAfter(row.tbegin, row.sps, midnight)));
            if (!writer.Write(row, start, samples.data() + i, next - i, error)) return false;
            i = next;
        }
    }
    if (!writer.Close()) {
        *error = "cannot finish the last miniSEED file";
        return false;
    }
    return true;
}
