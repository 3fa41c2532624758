#include "rillet/groups.h"

bool IsNoLocation(const std::string& location) {
    return location.empty() || location == "  " || location == kNoLocation;
}

std::string ResumeTimeKey(const CChannelConfig& channel) {
    if (IsNoLocation(channel.location)) return channel.channel;
    return channel.channel + "." + channel.location;
}
