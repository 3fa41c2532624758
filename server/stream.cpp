#include "server/stream.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "server/synthetic.h"
#include "util/util.h"

namespace isisim {

namespace {

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The typed name of a stream the server offers: the parts the client library reads, without
// wildcards (a stream is one stream).
bool makeName(const std::string& sta, const std::string& chn, const std::string& loc,
              ISI_STREAM_ID* name, std::string* error) {
    if (!isiStreamIdFromParts(sta, chn, loc, name, error)) return false;
    if (isiStreamIdHasWildcard(name)) {
        if (error) *error = "stream \"" + sta + "." + chn + "\": a stream offered has no wildcard";
        return false;
    }
    return true;
}

bool parseSamplesPerPacket(const std::string& text, int* spp, std::string* error) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > kMaxSamplesPerPacket) {
        if (error)
            *error = "samples per packet must be 1.." + std::to_string(kMaxSamplesPerPacket) +
                     ": \"" + text + "\"";
        return false;
    }
    *spp = int(value);
    return true;
}

}  // namespace

SimStream SimStream::synthetic(const ISI_STREAM_ID& name, SimRate rate, int samplesPerPacket,
                               double history) {
    SimStream s;
    s.name_ = name;
    s.rate_ = rate;
    s.spp_ = samplesPerPacket;
    s.synthetic_ = true;
    s.history_ = history;
    s.hash_ = simStreamHash(name);
    return s;
}

SimStream SimStream::stored(const ISI_STREAM_ID& name, SimRate rate, int samplesPerPacket,
                            std::vector<SimSegment> segments, uint8_t sampleType) {
    SimStream s;
    s.name_ = name;
    s.rate_ = rate;
    s.spp_ = samplesPerPacket;
    s.synthetic_ = false;
    s.sampleType_ = sampleType;
    if (sampleType == ISI_TYPE_REAL64) s.spp_ = std::min(s.spp_, kMaxReal64SamplesPerPacket);
    const bool reals = sampleType != ISI_TYPE_INT32;
    int64_t base = 0;
    for (SimSegment& seg : segments) {
        const size_t n = reals ? seg.reals.size() : seg.samples.size();
        if (n == 0) continue;
        seg.base = base;
        base += int64_t(n);
        if (reals) {
            seg.count = int64_t(n);
            seg.reals.shrink_to_fit();
        } else {
            pack(seg);
        }
        s.segments_.push_back(std::move(seg));
    }
    return s;
}

namespace {

void putVarint(std::vector<uint8_t>& out, int64_t value) {
    auto z = (uint64_t(value) << 1) ^ uint64_t(value >> 63);  // small magnitudes, few bytes
    while (z >= 0x80) {
        out.push_back(uint8_t(z | 0x80));
        z >>= 7;
    }
    out.push_back(uint8_t(z));
}

int64_t getVarint(const uint8_t*& p) {
    uint64_t z = 0;
    for (int shift = 0;; shift += 7) {
        uint8_t b = *p++;
        z |= uint64_t(b & 0x7f) << shift;
        if ((b & 0x80) == 0) break;
    }
    return int64_t(z >> 1) ^ -int64_t(z & 1);
}

}  // namespace

// Each block: its first sample, then the differences from one sample to the next.
void SimStream::pack(SimSegment& seg) {
    seg.count = int64_t(seg.samples.size());
    seg.packed.clear();
    seg.blockOffsets.clear();
    for (size_t i = 0; i < seg.samples.size(); ++i) {
        if (i % kSimPackBlock == 0) {
            seg.blockOffsets.push_back(uint32_t(seg.packed.size()));
            putVarint(seg.packed, seg.samples[i]);
        } else {
            putVarint(seg.packed, int64_t(seg.samples[i]) - int64_t(seg.samples[i - 1]));
        }
    }
    seg.packed.shrink_to_fit();
    seg.blockOffsets.shrink_to_fit();
    std::vector<int32_t>().swap(seg.samples);
}

std::string SimStream::text() const {
    char buf[32];
    return isiStreamIdString(&name_, buf, sizeof buf);
}

const SimSegment* SimStream::segmentOf(int64_t k) const {
    if (segments_.empty()) return nullptr;
    auto it = std::upper_bound(segments_.begin(), segments_.end(), k,
                               [](int64_t v, const SimSegment& seg) { return v < seg.base; });
    return it == segments_.begin() ? &segments_.front() : &*(it - 1);
}

int64_t SimStream::firstIndex(double now) const {
    if (synthetic_) return simIndexAtOrAfter(rate_, 0.0, now - history_);
    return 0;
}

int64_t SimStream::lastIndex(double now) const {
    if (synthetic_) return simIndexAtOrBefore(rate_, 0.0, now);
    if (segments_.empty()) return -1;
    const SimSegment& last = segments_.back();
    return last.base + last.count - 1;
}

double SimStream::timeOf(int64_t k) const {
    if (synthetic_) return simSampleTime(rate_, 0.0, k);
    const SimSegment* seg = segmentOf(k);
    if (seg == nullptr) return 0.0;
    return simSampleTime(rate_, seg->t0, k - seg->base);
}

int64_t SimStream::indexAtOrAfter(double t) const {
    if (synthetic_) return simIndexAtOrAfter(rate_, 0.0, t);
    for (const SimSegment& seg : segments_) {
        int64_t n = seg.count;
        int64_t i = std::max<int64_t>(0, simIndexAtOrAfter(rate_, seg.t0, t));
        if (i < n) return seg.base + i;
    }
    return lastIndex(0.0) + 1;
}

int64_t SimStream::indexAtOrBefore(double t) const {
    if (synthetic_) return simIndexAtOrBefore(rate_, 0.0, t);
    for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
        int64_t n = it->count;
        int64_t i = std::min<int64_t>(n - 1, simIndexAtOrBefore(rate_, it->t0, t));
        if (i >= 0) return it->base + i;
    }
    return -1;
}

int64_t SimStream::packetEnd(int64_t k) const {
    if (synthetic_) return floorDiv(k, spp_) * spp_ + spp_ - 1;
    const SimSegment* seg = segmentOf(k);
    if (seg == nullptr) return k;
    int64_t segEnd = seg->base + seg->count - 1;
    return std::min(segEnd, seg->base + floorDiv(k - seg->base, spp_) * spp_ + spp_ - 1);
}

int64_t SimStream::newestPacketStart(double now) const {
    int64_t last = lastIndex(now);
    if (synthetic_) {
        int64_t start = floorDiv(last + 1, spp_) * spp_ - spp_;
        return std::max(start, firstIndex(now));
    }
    const SimSegment* seg = segmentOf(last);
    if (seg == nullptr) return 0;
    return seg->base + floorDiv(last - seg->base, spp_) * spp_;
}

void SimStream::fill(int64_t k, int count, int32_t* out) const {
    if (synthetic_) {
        simSyntheticSamples(hash_, k, count, out);
        return;
    }
    // Decoded from the start of the block that holds k.
    const SimSegment* seg = segmentOf(k);
    const int64_t first = k - seg->base;
    const uint8_t* p = nullptr;
    int64_t value = 0;
    int n = 0;
    for (int64_t j = first / kSimPackBlock * kSimPackBlock; j < first + count; ++j) {
        if (j % kSimPackBlock == 0) {
            p = seg->packed.data() + seg->blockOffsets[size_t(j / kSimPackBlock)];
            value = getVarint(p);
        } else {
            value += getVarint(p);
        }
        if (j >= first) out[n++] = int32_t(value);
    }
}

void SimStream::fillReals(int64_t k, int count, double* out) const {
    const SimSegment* seg = segmentOf(k);
    const auto first = size_t(k - seg->base);
    std::copy(seg->reals.begin() + ptrdiff_t(first),
              seg->reals.begin() + ptrdiff_t(first + size_t(count)), out);
}

uint32_t SimStream::segmentsHeld() const {
    return synthetic_ ? 1u : uint32_t(segments_.size());
}

uint32_t SimStream::packetsHeld(double now) const {
    if (synthetic_) {
        int64_t first = firstIndex(now), last = lastIndex(now);
        if (last < first) return 0;
        return uint32_t(floorDiv(last, spp_) - floorDiv(first, spp_) + 1);
    }
    uint64_t n = 0;
    for (const SimSegment& seg : segments_) n += uint64_t(seg.count + spp_ - 1) / uint64_t(spp_);
    return uint32_t(n);
}

void SimStream::shift(double seconds) {
    for (SimSegment& seg : segments_) seg.t0 += seconds;
}

bool simNameMatches(const ISI_STREAM_ID& pattern, const ISI_STREAM_ID& stream) {
    return isiStreamIdMatches(&pattern, &stream);
}

bool simParseStreamSpec(const std::string& text, int defaultSamplesPerPacket, double history,
                        SimStream* stream, std::string* error) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        if (error) *error = "stream \"" + text + "\" needs \":RATE\"";
        return false;
    }
    std::string namePart = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    std::string rateText = rest, sppText;
    if (size_t c2 = rest.find(':'); c2 != std::string::npos) {
        rateText = rest.substr(0, c2);
        sppText = rest.substr(c2 + 1);
    }
    ISI_STREAM_ID name{};
    if (!isiParseStreamName(namePart, &name, error)) return false;
    if (isiStreamIdHasWildcard(&name)) {
        if (error) *error = "stream \"" + namePart + "\": a stream offered has no wildcard";
        return false;
    }
    SimRate rate;
    if (!simParseRate(rateText, &rate, error)) return false;
    int spp = defaultSamplesPerPacket;
    if (!sppText.empty() && !parseSamplesPerPacket(sppText, &spp, error)) return false;
    *stream = SimStream::synthetic(name, rate, spp, history);
    return true;
}

bool simReadStreamFile(const std::string& path, int defaultSamplesPerPacket, double history,
                       std::vector<SimStream>* streams, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = "cannot open stream file \"" + path + "\"";
        return false;
    }
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.empty()) continue;
        std::string why;
        auto fail = [&](const std::string& reason) {
            if (error) *error = path + ":" + std::to_string(lineNo) + ": " + reason;
            return false;
        };
        if (f.size() < 4 || f.size() > 5)
            return fail("expected STATION CHANNEL LOCATION RATE [SAMPLES_PER_PACKET]");
        ISI_STREAM_ID name{};
        if (!makeName(f[0], f[1], f[2], &name, &why)) return fail(why);
        SimRate rate;
        if (!simParseRate(f[3], &rate, &why)) return fail(why);
        int spp = defaultSamplesPerPacket;
        if (f.size() == 5 && !parseSamplesPerPacket(f[4], &spp, &why)) return fail(why);
        streams->push_back(SimStream::synthetic(name, rate, spp, history));
    }
    return true;
}

std::vector<SimStream> simDefaultStreams(int samplesPerPacket, double history) {
    static const char* const kDefaultStreams[] = {"SIM1.BHZ:20",    "SIM1.BHN:20",
                                                  "SIM1.BHE:20",    "SIM1.LHZ.00:1",
                                                  "SIM2.SHZ.10:50", "SIM2.VHZ:0.1"};
    std::vector<SimStream> streams;
    for (const char* stream : kDefaultStreams) {
        SimStream s;
        simParseStreamSpec(stream, samplesPerPacket, history, &s, nullptr);
        streams.push_back(s);
    }
    return streams;
}

}  // namespace isisim
