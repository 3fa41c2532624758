#include "server/mseed.h"

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <tuple>

namespace isisim {

namespace {

// A data record kept as it is in the file until its stream is built: a few hundred bytes hold
// hundreds of samples, so many long streams load without holding all their samples decoded.
struct Record {
    double start = 0.0;
    std::vector<char> raw;
};

struct Pending {
    ISI_STREAM_ID name{};
    double samprate = 0.0;
    std::vector<Record> records;
};

int32_t clampToInt32(double v) {
    v = std::round(v);
    if (v > 2147483647.0) return INT32_MAX;
    if (v < -2147483648.0) return INT32_MIN;
    return int32_t(v);
}

bool samplesOf(const MSRecord* msr, std::vector<int32_t>* out) {
    auto n = size_t(msr->numsamples);
    out->resize(n);
    switch (msr->sampletype) {
        case 'i': {
            const auto* in = static_cast<const int32_t*>(msr->datasamples);
            std::copy(in, in + n, out->begin());
            return true;
        }
        case 'f': {
            const auto* in = static_cast<const float*>(msr->datasamples);
            for (size_t i = 0; i < n; ++i) (*out)[i] = clampToInt32(in[i]);
            return true;
        }
        case 'd': {
            const auto* in = static_cast<const double*>(msr->datasamples);
            for (size_t i = 0; i < n; ++i) (*out)[i] = clampToInt32(in[i]);
            return true;
        }
        default:
            return false;
    }
}

bool readFile(const std::string& path,
              std::map<std::tuple<std::string, std::string, std::string>, Pending>* pending,
              std::string* error) {
    MSRecord* msr = nullptr;
    int rc;
    while ((rc = ms_readmsr(&msr, path.c_str(), 0, nullptr, nullptr, 1, 0, 0)) == MS_NOERROR) {
        SimRate rate;
        if (msr->samplecnt <= 0 || !simRateFromDouble(msr->samprate, &rate) ||
            msr->record == nullptr || msr->reclen <= 0)
            continue;
        Record rec;
        rec.raw.assign(msr->record, msr->record + msr->reclen);
        rec.start = double(msr->starttime) / double(HPTMODULUS);
        auto key = std::make_tuple(std::string(msr->station), std::string(msr->channel),
                                   std::string(msr->location));
        Pending& p = (*pending)[key];
        if (p.records.empty()) {
            isiSetStreamId(&p.name, msr->station, msr->channel, msr->location);
            p.samprate = msr->samprate;
        } else if (std::fabs(msr->samprate - p.samprate) > p.samprate * 1e-6) {
            continue;
        }
        p.records.push_back(std::move(rec));
    }
    ms_readmsr(&msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
    if (rc != MS_ENDOFFILE) {
        if (error) *error = "miniSEED file \"" + path + "\": " + ms_errorstr(rc);
        return false;
    }
    return true;
}

}  // namespace

bool simLoadMseed(const std::vector<std::string>& files, bool keepTimes, int samplesPerPacket,
                  double now, std::vector<SimStream>* streams, std::string* error) {
    std::map<std::tuple<std::string, std::string, std::string>, Pending> pending;
    for (const std::string& file : files)
        if (!readFile(file, &pending, error)) return false;

    std::vector<SimStream> loaded;
    double newest = -HUGE_VAL;
    for (auto& [key, p] : pending) {
        std::sort(p.records.begin(), p.records.end(),
                  [](const Record& a, const Record& b) { return a.start < b.start; });
        SimRate rate;
        simRateFromDouble(p.samprate, &rate);
        double interval = simRateInterval(rate);
        std::vector<SimSegment> segments;
        std::vector<int32_t> samples;
        for (Record& rec : p.records) {
            MSRecord* msr = nullptr;
            bool decoded = msr_unpack(rec.raw.data(), int(rec.raw.size()), &msr, 1, 0) ==
                               MS_NOERROR &&
                           msr->numsamples > 0 && samplesOf(msr, &samples);
            msr_free(&msr);
            std::vector<char>().swap(rec.raw);
            if (!decoded) continue;
            if (!segments.empty()) {
                SimSegment& seg = segments.back();
                double expected = simSampleTime(rate, seg.t0, int64_t(seg.samples.size()));
                if (std::fabs(rec.start - expected) < interval / 2) {
                    seg.samples.insert(seg.samples.end(), samples.begin(), samples.end());
                    continue;
                }
                // An overlap with what is held already is dropped rather than served twice.
                if (rec.start < expected) continue;
            }
            SimSegment seg;
            seg.t0 = rec.start;
            seg.samples = samples;
            segments.push_back(std::move(seg));
        }
        std::vector<Record>().swap(p.records);
        SimStream s = SimStream::stored(p.name, rate, samplesPerPacket, std::move(segments));
        newest = std::max(newest, s.timeOf(s.lastIndex(0.0)));
        loaded.push_back(std::move(s));
    }
    if (loaded.empty()) {
        if (error) *error = "no data records in the miniSEED files";
        return false;
    }
    if (!keepTimes) {
        for (SimStream& s : loaded) s.shift(now - newest);
    }
    streams->insert(streams->end(), std::make_move_iterator(loaded.begin()),
                    std::make_move_iterator(loaded.end()));
    return true;
}

}  // namespace isisim
