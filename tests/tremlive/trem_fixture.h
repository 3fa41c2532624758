// Channels and packets built by hand for the buffer and drawing tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tremlive/buffers.h"

namespace tremtest {

inline std::unique_ptr<tremlive::CTracePacket> MakePacket(double first, float interval,
                                                          std::vector<int32_t> samples) {
    auto p = std::make_unique<tremlive::CTracePacket>();
    p->station = "ABC";
    p->channel = "BHZ";
    p->interval = interval;
    p->firstTime = first;
    p->count = int32_t(samples.size());
    p->lastTime = first + double(p->count - 1) * double(interval);
    p->samples = std::move(samples);
    return p;
}

inline tremlive::CDisplayChannel& AddChannel(tremlive::CTraceBuffers* b, const std::string& sta,
                                             const std::string& chn, const std::string& loc) {
    auto ch = std::make_unique<tremlive::CDisplayChannel>();
    ch->station = sta;
    ch->channel = chn;
    ch->location = loc;
    b->channels.push_back(std::move(ch));
    return *b->channels.back();
}

}  // namespace tremtest
