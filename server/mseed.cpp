#include "server/mseed.h"

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <tuple>
#include <type_traits>

namespace isisim {

namespace {

// A data record kept as it is in the file until its stream is built: a few hundred bytes hold
// hundreds of samples, so many long streams load without holding all their samples decoded.
struct Record {
    double start = 0.0;
    std::vector<char> raw;
    char sampleType = 'i';  // libmseed's: 'i' integers, 'f' 32-bit floats, 'd' 64-bit floats
    std::string where;      // file and record, for a warning
};

// The sample type an encoding decodes to (as libmseed decodes it), or 0 for none.
char sampleTypeOf(int8_t encoding) {
    switch (encoding) {
        case DE_INT16:
        case DE_INT32:
        case DE_STEIM1:
        case DE_STEIM2:
        case DE_CDSN:
        case DE_SRO:
        case DE_DWWSSN:
            return 'i';
        case DE_FLOAT32:
        case DE_GEOSCOPE24:
        case DE_GEOSCOPE163:
        case DE_GEOSCOPE164:
            return 'f';
        case DE_FLOAT64:
            return 'd';
        default:
            return 0;
    }
}

struct Pending {
    ISI_STREAM_ID name{};
    double samprate = 0.0;
    std::vector<Record> records;
};

using StreamKey = std::tuple<std::string, std::string, std::string>;

// "FILE record N (STA.CHN.LOC at TIME)", for a warning about one record.
std::string recordName(const std::string& path, int number, const MSRecord* msr) {
    char when[64];
    ms_hptime2isotimestr(msr->starttime, when, 1);
    return "\"" + path + "\" record " + std::to_string(number) + " (" + msr->station + "." +
           msr->channel + (msr->location[0] != '\0' ? std::string(".") + msr->location : "") +
           " at " + when + ")";
}

// The sample type a stream is served as: integers when every record holds integers, 32-bit
// floats when every record holds those, else 64-bit floats, which hold integers and 32-bit floats
// exactly. No sample is ever rounded.
uint8_t servedType(const std::vector<Record>& records) {
    bool allInt = true, allSingle = true;
    for (const Record& r : records) {
        allInt = allInt && r.sampleType == 'i';
        allSingle = allSingle && r.sampleType == 'f';
    }
    return allInt ? ISI_TYPE_INT32 : allSingle ? ISI_TYPE_REAL32 : ISI_TYPE_REAL64;
}

template <typename T>
void appendAs(const MSRecord* msr, std::vector<T>* out) {
    const auto n = size_t(msr->numsamples);
    const size_t at = out->size();
    out->resize(at + n);
    switch (msr->sampletype) {
        case 'i': {
            const auto* in = static_cast<const int32_t*>(msr->datasamples);
            for (size_t i = 0; i < n; ++i) (*out)[at + i] = T(in[i]);
            break;
        }
        case 'f': {
            const auto* in = static_cast<const float*>(msr->datasamples);
            for (size_t i = 0; i < n; ++i) (*out)[at + i] = T(in[i]);
            break;
        }
        default: {
            const auto* in = static_cast<const double*>(msr->datasamples);
            for (size_t i = 0; i < n; ++i) (*out)[at + i] = T(in[i]);
            break;
        }
    }
}

bool readFile(const std::string& path, std::map<StreamKey, Pending>* pending,
              std::vector<std::string>* warnings, std::string* error) {
    MSRecord* msr = nullptr;
    int rc;
    int number = 0;
    auto warn = [&](const std::string& why) {
        if (warnings != nullptr) warnings->push_back(recordName(path, number, msr) + ": " + why);
    };
    while ((rc = ms_readmsr(&msr, path.c_str(), 0, nullptr, nullptr, 1, 0, 0)) == MS_NOERROR) {
        ++number;
        SimRate rate;
        if (msr->samplecnt <= 0 || msr->record == nullptr || msr->reclen <= 0) continue;
        const char type = sampleTypeOf(msr->encoding);
        if (type == 0) {
            warn("holds no samples it can serve (text, or encoding " +
                 std::to_string(int(msr->encoding)) + "); not served");
            continue;
        }
        if (!simRateFromDouble(msr->samprate, &rate)) {
            warn("its rate " + std::to_string(msr->samprate) +
                 " cannot be carried in a packet header; not served");
            continue;
        }
        Record rec;
        rec.raw.assign(msr->record, msr->record + msr->reclen);
        rec.start = double(msr->starttime) / double(HPTMODULUS);
        rec.sampleType = type;
        rec.where = recordName(path, number, msr);
        auto key = std::make_tuple(std::string(msr->station), std::string(msr->channel),
                                   std::string(msr->location));
        Pending& p = (*pending)[key];
        if (p.records.empty()) {
            isiSetStreamId(&p.name, msr->station, msr->channel, msr->location);
            p.samprate = msr->samprate;
        } else if (std::fabs(msr->samprate - p.samprate) > p.samprate * 1e-6) {
            warn("its rate " + std::to_string(msr->samprate) + " differs from the stream's " +
                 std::to_string(p.samprate) + "; not served");
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

// The samples of one decoded record into a new or the last segment, as T (int32_t or double).
template <typename T>
std::vector<T>& segmentSamples(SimSegment& seg);
template <>
std::vector<int32_t>& segmentSamples<int32_t>(SimSegment& seg) {
    return seg.samples;
}
template <>
std::vector<double>& segmentSamples<double>(SimSegment& seg) {
    return seg.reals;
}

template <typename T>
std::vector<SimSegment> buildSegments(std::vector<Record>& records, SimRate rate,
                                      std::vector<std::string>* warnings) {
    const double interval = simRateInterval(rate);
    std::vector<SimSegment> segments;
    std::vector<T> samples;
    for (Record& rec : records) {
        MSRecord* msr = nullptr;
        samples.clear();
        const int rc = msr_unpack(rec.raw.data(), int(rec.raw.size()), &msr, 1, 0);
        // An integer stream takes integers only: a float would have to be rounded.
        const bool decoded = rc == MS_NOERROR && msr->numsamples > 0 &&
                             (!std::is_integral_v<T> || msr->sampletype == 'i');
        if (decoded) appendAs(msr, &samples);
        msr_free(&msr);
        std::vector<char>().swap(rec.raw);
        if (!decoded) {
            if (warnings != nullptr)
                warnings->push_back(rec.where + ": " +
                                    (rc != MS_NOERROR ? std::string(ms_errorstr(rc))
                                                      : std::string("no samples decoded")) +
                                    "; not served");
            continue;
        }
        if (!segments.empty()) {
            SimSegment& seg = segments.back();
            std::vector<T>& held = segmentSamples<T>(seg);
            const double expected = simSampleTime(rate, seg.t0, int64_t(held.size()));
            if (std::fabs(rec.start - expected) < interval / 2) {
                held.insert(held.end(), samples.begin(), samples.end());
                continue;
            }
            // An overlap with what is held already is dropped rather than served twice.
            if (rec.start < expected) continue;
        }
        SimSegment seg;
        seg.t0 = rec.start;
        segmentSamples<T>(seg) = samples;
        segments.push_back(std::move(seg));
    }
    return segments;
}

}  // namespace

bool simLoadMseed(const std::vector<std::string>& files, bool keepTimes, int samplesPerPacket,
                  double now, std::vector<SimStream>* streams, std::string* error,
                  std::vector<std::string>* warnings) {
    std::map<StreamKey, Pending> pending;
    for (const std::string& file : files)
        if (!readFile(file, &pending, warnings, error)) return false;

    std::vector<SimStream> loaded;
    double newest = -HUGE_VAL;
    for (auto& [key, p] : pending) {
        std::sort(p.records.begin(), p.records.end(),
                  [](const Record& a, const Record& b) { return a.start < b.start; });
        SimRate rate;
        simRateFromDouble(p.samprate, &rate);
        const uint8_t type = servedType(p.records);
        std::vector<SimSegment> segments = type == ISI_TYPE_INT32
                                               ? buildSegments<int32_t>(p.records, rate, warnings)
                                               : buildSegments<double>(p.records, rate, warnings);
        std::vector<Record>().swap(p.records);
        SimStream s = SimStream::stored(p.name, rate, samplesPerPacket, std::move(segments), type);
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
