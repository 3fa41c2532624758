#include "gleaner/selection.h"

#include <cstdio>
#include <cstring>

#include "gleaner/kvrwriter.h"
#include "util/util.h"

CStationEntry& CStationMap::PutStation(const std::string& station, bool selected) {
    CStationEntry& entry = stations_[station];
    entry = CStationEntry{};
    entry.station = station;
    entry.selected = selected;
    return entry;
}

CChannelEntry& CStationMap::AddChannel(const std::string& station, const std::string& channel,
                                       const std::string& location, double sps, int selected) {
    auto it = stations_.find(station);
    if (it == stations_.end()) {
        it = stations_.emplace(station, CStationEntry{}).first;
        it->second.station = station;
    }
    CStationEntry& entry = it->second;
    CChannelEntry c;
    c.channel = channel;
    c.location = location;
    c.sps = sps;
    c.selected = selected != 0 ? 1 : 0;
    c.ordinal = entry.channelCount++;
    return entry.channels[ChannelKey(channel, location)] = c;
}

CStationEntry* CStationMap::Find(const std::string& station) {
    auto it = stations_.find(station);
    return it == stations_.end() ? nullptr : &it->second;
}

CChannelEntry* CStationMap::FindChannel(const std::string& station, const std::string& key) {
    CStationEntry* s = Find(station);
    if (s == nullptr) return nullptr;
    auto it = s->channels.find(key);
    return it == s->channels.end() ? nullptr : &it->second;
}

int CStationMap::SelectedChannelCount() const {
    int n = 0;
    for (const auto& [code, s] : stations_)
        for (const auto& [key, c] : s.channels) n += c.selected != 0 ? 1 : 0;
    return n;
}

std::vector<ISI_STREAM_ID> CStationMap::Streams() const {
    std::vector<ISI_STREAM_ID> names;
    for (const auto& [code, s] : stations_)
        for (const auto& [key, c] : s.channels) {
            ISI_STREAM_ID name;
            if (c.selected != 0 &&
                isiStreamIdFromParts(s.station, c.channel, c.location, &name, nullptr))
                names.push_back(name);
        }
    return names;
}

void CStationMap::ClearChannelSelections() {
    for (auto& [code, s] : stations_)
        for (auto& [key, c] : s.channels) c.selected = 0;
}

int CStationMap::SelectByMask(const std::string& mask) {
    int matched = 0;
    for (auto& [code, s] : stations_) {
        if (!s.selected) continue;
        for (auto& [key, c] : s.channels)
            if (gleanerMaskMatches(mask, c.channel)) {
                c.selected = 1;
                ++matched;
            }
    }
    return matched;
}

void CStationMap::SetAllStationsSelected(bool selected) {
    for (auto& [code, s] : stations_) s.selected = selected;
}

// A code from the server may become a settings section, a key value, a stream specifier piece,
// a path and a statement literal: anything that could break one of them is refused.
bool gleanerListableCode(const std::string& code, KvrCodeKind kind) {
    return kvrCodeIsValid(kind, code);
}

void CStationMap::LoadConfiguration(const ISI_CNF_LIST& list, std::vector<std::string>* refused) {
    stations_.clear();
    for (uint32_t i = 0; i < list.nentry; ++i) {
        const ISI_STREAM_CNF& e = list.entry[i];
        if (!gleanerListableCode(e.name.sta, KvrCodeKind::Station) ||
            !gleanerListableCode(e.name.chn, KvrCodeKind::Channel) ||
            !gleanerListableCode(e.name.loc, KvrCodeKind::Location)) {
            if (refused != nullptr)
                refused->push_back(gleanerStreamName(e.name.sta, e.name.chn, e.name.loc));
            continue;
        }
        double interval = isiSrateToInterval(e.factor, e.multiplier);
        AddChannel(e.name.sta, e.name.chn, e.name.loc, interval != 0.0 ? 1.0 / interval : 0.0);
    }
}

void CStationMap::UpdateTimes(const ISI_SOH_LIST& list) {
    for (uint32_t i = 0; i < list.nentry; ++i) {
        const ISI_STREAM_SOH& e = list.entry[i];
        CChannelEntry* c = FindChannel(e.name.sta, ChannelKey(e.name.chn, e.name.loc));
        if (c == nullptr) continue;
        c->tbeg = e.tofs;
        c->tend = e.tols;
    }
}

bool gleanerMaskMatches(const std::string& mask, const std::string& code) {
    size_t m = 0, c = 0;
    while (m < mask.size()) {
        if (mask[m] == '*') {
            while (m < mask.size() && mask[m] == '*') ++m;
            if (m == mask.size()) return true;
            if (mask[m] == '?') continue;
            size_t found = code.find(mask[m], c);
            if (found == std::string::npos) return false;
            c = found + 1;
            ++m;
        } else if (mask[m] == '?') {
            if (c >= code.size()) return false;
            ++m;
            ++c;
        } else {
            if (c >= code.size() || code[c] != mask[m]) return false;
            ++m;
            ++c;
        }
    }
    return c == code.size();
}

bool CServerList::Add(const std::string& name) {
    for (int i = 0; i < kPlaces - 1; ++i)
        if (entries_[i] == name) return false;
    for (int i = kPlaces - 1; i > 0; --i) entries_[i] = entries_[i - 1];
    entries_[0] = name.substr(0, kMaxNameLength);
    return true;
}

namespace {
ISI_OPEN_PARAMS openParams(int port, LOGIO* log) {
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = port;
    params.lp = log;
    // The queries run on the dialog's thread: a server that refuses is reported at once instead
    // of being retried for ever behind a frozen window.
    params.attr.maxerr = IACP_ERR_NONE;
    return params;
}
}  // namespace

bool gleanerQueryConfiguration(const std::string& server, int port, LOGIO* log, CStationMap* map) {
    map->Clear();
    utilNetworkInit();
    ISI_OPEN_PARAMS params = openParams(port, log);
    ISI_CNF_LIST* list = isiGetCnfList(server.c_str(), &params);
    if (list == nullptr) return false;
    map->LoadConfiguration(*list);
    isiFreeList(list);
    return true;
}

bool gleanerQueryTimes(const std::string& server, int port, LOGIO* log, CStationMap* map) {
    utilNetworkInit();
    ISI_OPEN_PARAMS params = openParams(port, log);
    ISI_SOH_LIST* list = isiGetSohList(server.c_str(), &params);
    if (list == nullptr) return false;
    map->UpdateTimes(*list);
    isiFreeList(list);
    return true;
}
