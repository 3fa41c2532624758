// Window times, purge and scale arithmetic of the per-channel buffers.
#include "tremlive/buffers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tremlive {

namespace {

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// Stores lo..hi as a scale, saturated at the 32-bit limits and never empty: the drawing divides
// by the range.
void setScale(CDisplayChannel* ch, int64_t lo, int64_t hi) {
    lo = std::clamp(lo, kInt32Min, kInt32Max);
    hi = std::clamp(hi, kInt32Min, kInt32Max);
    if (hi <= lo) {
        if (hi < kInt32Max) {
            hi = lo + 1;
        } else {
            lo = hi - 1;
        }
    }
    ch->scaleMin = int32_t(lo);
    ch->scaleMax = int32_t(hi);
}

// The latest time a packet reaches: its end, or its last time when that is later. Infinite for a
// packet whose samples cannot be placed by its times, so that no search passes it.
double reachOf(const CTracePacket& p) {
    const double end = p.endTime();
    if (!(p.interval > 0.0f) || !std::isfinite(p.firstTime) || !std::isfinite(p.lastTime) ||
        !std::isfinite(end))
        return std::numeric_limits<double>::infinity();
    return std::max(p.lastTime, end);
}

}  // namespace

void CDisplayChannel::AddPacket(std::unique_ptr<CTracePacket> packet) {
    if (packet->count > 0) {
        const int32_t* v = packet->samples.data();
        const auto [lo, hi] = std::minmax_element(v, v + packet->count);
        packet->minSample = *lo;
        packet->maxSample = *hi;
    }
    const double reach = reachOf(*packet);
    reach_.push_back(reach_.empty() ? reach : std::max(reach_.back(), reach));
    packets_.push_back(std::move(packet));
}

void CDisplayChannel::PurgeBefore(double t) {
    std::erase_if(packets_,
                  [t](const std::unique_ptr<CTracePacket>& p) { return p->lastTime < t; });
    reach_.clear();
    for (const auto& p : packets_)
        reach_.push_back(reach_.empty() ? reachOf(*p) : std::max(reach_.back(), reachOf(*p)));
}

size_t CDisplayChannel::FirstPacketReaching(double t) const {
    // A NaN t compares false everywhere and passes nothing.
    return size_t(std::partition_point(reach_.begin(), reach_.end(),
                                       [t](double reach) { return reach < t; }) -
                  reach_.begin());
}

int32_t CTracePacket::firstIndexAtOrAfter(double t) const {
    if (count <= 0) return 0;
    if (timeOf(count - 1) < t) return count;  // the common case of a packet before a window
    if (timeOf(0) >= t) return 0;
    double s = double(interval);
    int64_t j = 0;
    if (s > 0.0) {
        double guess = std::ceil((t - firstTime) / s);
        if (guess >= double(count)) {
            j = count;
        } else if (guess > 0.0) {
            j = int64_t(guess);
        }
    }
    // The guess can be off by one through rounding; settle it with the very expression the
    // per-sample walk uses, so both agree on every sample.
    while (j > 0 && timeOf(j - 1) >= t) --j;
    while (j < count && timeOf(j) < t) ++j;
    return int32_t(j);
}

int32_t CTracePacket::firstIndexAfter(double t, int32_t from) const {
    if (from >= count) return count;
    if (timeOf(from) > t) return from;
    if (!(timeOf(count - 1) > t)) return count;
    double s = double(interval);
    int64_t j = from;
    if (s > 0.0) {
        double guess = std::floor((t - firstTime) / s) + 1.0;
        if (guess >= double(count)) {
            j = count;
        } else if (guess > double(from)) {
            j = int64_t(guess);
        }
    } else {
        // All samples share one time: either all lie after t or none does.
        return timeOf(from) > t ? from : count;
    }
    while (j > from && timeOf(j - 1) > t) --j;
    while (j < count && timeOf(j) <= t) ++j;
    return int32_t(j);
}

void CTraceBuffers::AppendPacket(size_t channel, std::unique_ptr<CTracePacket> packet) {
    CDisplayChannel& ch = *channels[channel];
    ch.AddPacket(std::move(packet));
    ++ch.receivedPackets;
}

void CTraceBuffers::UpdateWindowTimes(double now) {
    now -= double(delay);
    std::lock_guard<std::mutex> lock(dataLock);
    if (displayedEnd >= bufferedEnd) {
        // The display was at the live edge at the last update: it follows.
        displayedEnd = now;
        displayedStart = now - double(displayedTime);
    } else if (bufferedStart >= displayedStart) {
        // The buffer has moved past the start of a display the user left behind.
        displayedStart = now - double(bufferedTime);
        displayedEnd = displayedStart + double(displayedTime);
    }
    bufferedEnd = now;
    bufferedStart = now - double(bufferedTime);
}

void CTraceBuffers::PurgeOldPackets() {
    std::lock_guard<std::mutex> lock(dataLock);
    for (auto& ch : channels) ch->PurgeBefore(bufferedStart);
}

void CTraceBuffers::MoveDisplayedWindow(double t) {
    std::lock_guard<std::mutex> lock(dataLock);
    displayedStart = std::floor(t - double(displayedTime) * 0.5);
    displayedEnd = displayedStart + double(displayedTime);
    if (displayedEnd > bufferedEnd) {
        displayedEnd = bufferedEnd;
        displayedStart = bufferedEnd - double(displayedTime);
    }
    if (displayedStart < bufferedStart) {
        displayedStart = bufferedStart;
        displayedEnd = bufferedStart + double(displayedTime);
    }
}

void CTraceBuffers::FitScale(size_t channel, int wholeBuffer) {
    CDisplayChannel& ch = *channels[channel];
    bool taken = false;
    int64_t lo = ch.scaleMin;
    int64_t hi = ch.scaleMax;
    const auto& packets = ch.packets();
    for (size_t k = wholeBuffer ? 0 : ch.FirstPacketReaching(displayedStart); k < packets.size();
         ++k) {
        const auto& p = packets[k];
        int32_t from = 0;
        int32_t to = p->count;
        if (!wholeBuffer) {
            // Only the samples inside the displayed window; the rest are never looked at, and a
            // packet wholly outside it is passed by its times alone.
            if (p->endTime() < displayedStart || p->firstTime > displayedEnd) continue;
            from = p->firstIndexAtOrAfter(displayedStart);
            to = p->firstIndexAfter(displayedEnd, from);
        }
        if (from >= to) continue;
        const bool whole = from == 0 && to == p->count;
        const int32_t* v = p->samples.data();
        if (!taken) {
            // The first sample opens the range one either side of it.
            lo = int64_t(v[from]) - 1;
            hi = int64_t(v[from]) + 1;
            taken = true;
            ++from;
        }
        int32_t pmin = std::numeric_limits<int32_t>::max();
        int32_t pmax = std::numeric_limits<int32_t>::min();
        if (whole) {
            // Its extremes are known (the first sample, when taken above, lies inside the range
            // it opened).
            pmin = p->minSample;
            pmax = p->maxSample;
        } else {
            for (int32_t j = from; j < to; ++j) {
                pmin = std::min(pmin, v[j]);
                pmax = std::max(pmax, v[j]);
            }
        }
        if (from < to) {
            lo = std::min<int64_t>(lo, pmin);
            hi = std::max<int64_t>(hi, pmax);
        }
    }
    if (lo == hi) {
        ++hi;
        --lo;
    }
    setScale(&ch, lo, hi);
}

void CTraceBuffers::ExpandScale(size_t channel) {
    CDisplayChannel& ch = *channels[channel];
    int64_t mx = ch.scaleMax;
    int64_t mn = ch.scaleMin;
    int64_t mid = (mx + mn) / 2;
    int64_t q = ((mx - mn) / 2) / 2;
    mx = mid + q;
    mn = mid - q;
    if (mx == mn) {
        ++mx;
        --mn;
    }
    setScale(&ch, mn, mx);
}

void CTraceBuffers::ContractScale(size_t channel) {
    CDisplayChannel& ch = *channels[channel];
    int64_t mx = ch.scaleMax;
    int64_t mn = ch.scaleMin;
    int64_t mid = (mx + mn) / 2;
    int64_t c = ((mx - mn) / 2) * 2;
    if (c == 0) c = 1;
    setScale(&ch, mid - c, mid + c);
}

void CTraceBuffers::ShiftScale(size_t channel, ShiftDirection direction) {
    CDisplayChannel& ch = *channels[channel];
    int64_t mx = ch.scaleMax;
    int64_t mn = ch.scaleMin;
    int64_t step = (mx - mn) / 10;
    if (step == 0) step = 1;
    int64_t half = (mx - mn) / 2;
    int64_t centre = (mx + mn) / 2 + (direction == ShiftDirection::Up ? -step : step);
    int64_t newMax = half + centre;
    int64_t newMin = centre - half;
    // At a limit the range keeps its size rather than shrink against the wall.
    if (newMax > kInt32Max) {
        newMin -= newMax - kInt32Max;
        newMax = kInt32Max;
    } else if (newMin < kInt32Min) {
        newMax += kInt32Min - newMin;
        newMin = kInt32Min;
    }
    setScale(&ch, newMin, newMax);
}

}  // namespace tremlive
