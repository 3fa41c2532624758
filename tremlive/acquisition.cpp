// The acquisition thread and its packet matching.
#include "tremlive/acquisition.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/clock.h"
#include "tremlive/settings.h"
#include "util/util.h"

namespace tremlive {

namespace {

// A request that never ends: the library's "forever".
constexpr double kRequestForever = UTIL_TIME_FOREVER;
constexpr uint32_t kAllocRetryPauseMs = 1000;

std::string fieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

constexpr uint32_t kPauseSliceMs = 100;

// The scale of the drawing is whole counts.
constexpr double kLargestCount = 2147483647.0;

ISI_CLIENT* closeClient(CAcquisitionControl& control, ISI_CLIENT* client) {
    control.PublishClient(nullptr);
    return isiCloseClient(client);
}

// Sleeps up to milliseconds, returning early when the run flag is cleared.
void pauseWhileRunning(const CAcquisitionControl& control, uint32_t milliseconds) {
    for (uint32_t slept = 0; slept < milliseconds && control.Running(); slept += kPauseSliceMs)
        platSleepMs(std::min(kPauseSliceMs, milliseconds - slept));
}

template <typename T>
void copyCounts(const uint8_t* data, uint32_t n, std::vector<int32_t>* out) {
    for (uint32_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, data + size_t(i) * sizeof(T), sizeof(T));
        (*out)[i] = int32_t(std::clamp<int64_t>(int64_t(v), INT32_MIN, INT32_MAX));
    }
}

}  // namespace

void CAcquisitionControl::Stop() {
    running = 0;
    cancel = 1;
    std::lock_guard<std::mutex> lock(clientMutex_);
    if (client_ != nullptr) isiSetStopFlag(client_, 1);
}

void CAcquisitionControl::PublishClient(ISI_CLIENT* client) {
    std::lock_guard<std::mutex> lock(clientMutex_);
    client_ = client;
    if (client != nullptr && !Running()) isiSetStopFlag(client, 1);
}

bool SamplesAsCounts(const ISI_TS_PACKET& packet, std::vector<int32_t>* counts) {
    const uint32_t n = packet.nsamp;
    counts->resize(n);
    const uint32_t width = packet.datatype == ISI_TYPE_INT8    ? 1
                           : packet.datatype == ISI_TYPE_INT16 ? 2
                           : packet.datatype == ISI_TYPE_INT32 ? 4
                           : packet.datatype == ISI_TYPE_INT64 ? 8
                                                               : 0;
    if (width != 0) {
        // Integers are exact on the scale of counts (a float would round them past 2^24).
        if (packet.compress != ISI_COMP_NONE || packet.order != ISI_ORDER_HOST ||
            uint64_t(packet.nbytes) < uint64_t(n) * width)
            return false;
        switch (width) {
            case 1:
                copyCounts<int8_t>(packet.data, n, counts);
                break;
            case 2:
                copyCounts<int16_t>(packet.data, n, counts);
                break;
            case 4:
                copyCounts<int32_t>(packet.data, n, counts);
                break;
            default:
                copyCounts<int64_t>(packet.data, n, counts);
                break;
        }
        return true;
    }
    // Floats by the library's conversion, then to the nearest count.
    thread_local std::vector<REAL32> values;
    if (!isiSamplesToFloat(&packet, &values) || values.size() < n) return false;
    for (uint32_t i = 0; i < n; ++i) {
        const double v = std::isfinite(values[i]) ? std::nearbyint(double(values[i])) : 0.0;
        (*counts)[i] = int32_t(std::clamp(v, -kLargestCount, kLargestCount));
    }
    return true;
}

std::string BuildStreamSpecifier(const CTraceBuffers& buffers) {
    std::string text;
    for (const auto& ch : buffers.channels)
        text += "+" + ch->station + "." + ch->channel + "." + ch->location;
    return text;
}

int MatchChannel(const CTraceBuffers& buffers, const ISI_STREAM_ID& name) {
    std::string sta = fieldText(name.sta, sizeof name.sta);
    std::string chn = fieldText(name.chn, sizeof name.chn);
    std::string loc = fieldText(name.loc, sizeof name.loc);
    for (size_t i = 0; i < buffers.channels.size(); ++i) {
        const CDisplayChannel& ch = *buffers.channels[i];
        if (EqualNoCase(ch.station, sta) && EqualNoCase(ch.channel, chn) && ch.location == loc)
            return int(i);
    }
    return -1;
}

bool HandlePacket(CTraceBuffers* buffers, const ISI_TS_PACKET& packet) {
    double interval = isiSrateToInterval(packet.factor, packet.multiplier);
    float storedInterval = float(interval);
    // A packet that cannot be placed in time, or whose samples are not all there, would stall
    // or corrupt the drawing; it is dropped like one for a stream nobody shows.
    if (packet.nsamp == 0 || packet.data == nullptr || packet.nsamp > uint32_t(INT32_MAX))
        return false;
    std::vector<int32_t> counts;
    if (!SamplesAsCounts(packet, &counts)) return false;
    if (!std::isfinite(storedInterval) || !(storedInterval > 0.0f)) return false;
    if (!std::isfinite(packet.tofs) || !std::isfinite(packet.tols)) return false;

    std::lock_guard<std::mutex> lock(buffers->dataLock);
    int index = MatchChannel(*buffers, packet.name);
    if (index < 0) return false;
    auto record = std::make_unique<CTracePacket>();
    record->station = fieldText(packet.name.sta, sizeof packet.name.sta);
    record->channel = fieldText(packet.name.chn, sizeof packet.name.chn);
    record->interval = storedInterval;
    record->firstTime = packet.tofs;
    record->lastTime = packet.tols;
    record->count = int32_t(packet.nsamp);
    record->samples = std::move(counts);
    buffers->AppendPacket(size_t(index), std::move(record));
    return true;
}

int AcquisitionThread(CTraceBuffers* buffers, CAcquisitionParams params,
                      CAcquisitionControl& control) {
    // One start time for every request of this run, so a repeated request re-delivers from
    // the same point.
    double start = platNow() - double(params.bufferedTime);
    utilNetworkInit();
    ISI_OPEN_PARAMS open;
    isiInitOpenParams(&open);
    open.port = params.port;
    open.lp = params.log;
    // The library would retry a refused connection inside the call until it succeeds, and Stop
    // would wait for a server that may never come back. The attempts are paced here instead,
    // with the library's delay, and end when the run flag is cleared.
    const uint32_t connectRetryMs = open.attr.retry_delay;
    open.attr.maxerr = IACP_ERR_NONE;
    open.attr.cancel = &control.cancel;

    // The channel list does not change while the thread runs: read without the lock.
    std::string specifier = BuildStreamSpecifier(*buffers);

    ISI_CLIENT* client = nullptr;
    while (control.Running()) {
        ISI_DATA_REQUEST* request =
            isiAllocSimpleDataRequest(start, kRequestForever, specifier.c_str());
        if (request == nullptr) {
            // Only a specifier the library cannot read gets here; retrying at once would spin.
            platSleepMs(kAllocRetryPauseMs);
            continue;
        }
        isiRequestSetFormat(request, ISI_FORMAT_GENERIC);
        isiRequestSetCompress(request, ISI_COMP_IDA);
        if (!control.Running()) {
            isiFreeDataRequest(request);
            break;
        }
        client = isiInitiateDataRequest(params.server.c_str(), &open, request);
        isiFreeDataRequest(request);
        if (client == nullptr) {
            pauseWhileRunning(control, connectRetryMs);
            continue;
        }
        control.PublishClient(client);

        while (control.Running()) {
            int status = ISI_STATUS_FAILED;
            ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
            if (status == ISI_STATUS_FAILED) continue;  // the next call tries a new reconnect
            if (status == ISI_STATUS_DONE || status == ISI_STATUS_STOPPED) {
                client = closeClient(control, client);
                break;
            }
            if (status == ISI_STATUS_DATA && packet != nullptr) HandlePacket(buffers, *packet);
        }
    }

    if (client != nullptr) isiSetStopFlag(client, 1);
    platSleepMs(params.stopPauseMs);
    if (client != nullptr) closeClient(control, client);
    if (params.onEnded) params.onEnded();
    return 0;
}

CAcquisitionRunner::CAcquisitionRunner() : control_(std::make_shared<CAcquisitionControl>()) {}

CAcquisitionRunner::~CAcquisitionRunner() {
    if (thread_.joinable()) thread_.detach();
}

void CAcquisitionRunner::Start(std::shared_ptr<CTraceBuffers> buffers, CAcquisitionParams params) {
    if (thread_.joinable()) thread_.detach();  // an earlier run that already posted its end
    auto end = std::make_shared<EndState>();
    end_ = end;
    auto control = std::make_shared<CAcquisitionControl>();
    control->running = 1;
    control_ = control;
    thread_ = std::thread([buffers, params = std::move(params), end, control]() mutable {
        platSetThreadLowestPriority();
        AcquisitionThread(buffers.get(), std::move(params), *control);
        std::lock_guard<std::mutex> lock(end->mutex);
        end->finished = true;
        end->ended.notify_all();
    });
}

bool CAcquisitionRunner::WaitForEnd(uint32_t timeoutMs) {
    if (!thread_.joinable()) return true;
    std::shared_ptr<EndState> end = end_;
    std::unique_lock<std::mutex> lock(end->mutex);
    bool done = end->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&end] { return end->finished; });
    lock.unlock();
    if (!done) return false;
    thread_.join();
    return true;
}

}  // namespace tremlive
