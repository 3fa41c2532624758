// The station and channel model of the main dialog: which streams a server offers, which
// stations are shown (ticked in the station list) and which channels are marked for fetching;
// the wildcard masks, the stream list of a run and the remembered servers.
//
// Channel selections are independent of the station's tick: a channel still marked for fetching
// under a hidden station is fetched all the same.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <string>

#include "isi/isi.h"

struct CChannelEntry {
    std::string channel;
    std::string location;  // two blanks for none
    double sps = 0.0;
    int selected = 0;   // 1: fetch this channel
    int ordinal = 0;    // order of addition within the station, from 0
    double tbeg = 0.0;  // first and last sample the server holds; 0: not known
    double tend = 0.0;
};

struct CStationEntry {
    std::string station;
    int channelCount = 0;   // channels added so far, a stream listed twice counted twice
    bool selected = false;  // ticked: its channels are shown
    // Key: channel code "." location code.
    std::map<std::string, CChannelEntry> channels;
};

class CStationMap {
  public:
    using Map = std::map<std::string, CStationEntry>;

    // Adds a channel with the station's next ordinal; an entry of the same channel and location
    // is replaced. The station is made (not ticked) when missing.
    CChannelEntry& AddChannel(const std::string& station, const std::string& channel,
                              const std::string& location, double sps, int selected = 0);
    // Inserts or replaces a whole station (reading the settings file).
    CStationEntry& PutStation(const std::string& station, bool selected);

    CStationEntry* Find(const std::string& station);
    CChannelEntry* FindChannel(const std::string& station, const std::string& key);
    static std::string ChannelKey(const std::string& channel, const std::string& location) {
        return channel + "." + location;
    }

    void Clear() { stations_.clear(); }
    size_t Count() const { return stations_.size(); }
    Map& Stations() { return stations_; }
    const Map& Stations() const { return stations_; }

    int SelectedChannelCount() const;
    // The ticked channels as stream names, stations and channels in the maps' order; a code
    // that is no stream name part (a settings file edited by hand) is left out.
    std::vector<ISI_STREAM_ID> Streams() const;
    // Unmarks every channel of every station, shown or not ("Clear").
    void ClearChannelSelections();
    // Marks the channels of the shown stations whose code matches mask; returns how many matched.
    int SelectByMask(const std::string& mask);
    void SetAllStationsSelected(bool selected);

    // Replaces the map by the server's configuration list (all channels unmarked). Codes that could
    // not name a file or a settings key are refused: their streams' names go to refused (when
    // given), raw (escape them before printing).
    void LoadConfiguration(const ISI_CNF_LIST& list, std::vector<std::string>* refused = nullptr);
    // Copies the first and last sample times of the state-of-health list into known channels.
    void UpdateTimes(const ISI_SOH_LIST& list);

  private:
    Map stations_;
};

// Wildcard match of a channel code, left to right, letter case significant: "?" one character,
// a run of "*" up to the first following occurrence of the next character (no backtracking),
// the end of the mask only at the end of the code. "[" and "]" are ordinary characters.
bool gleanerMaskMatches(const std::string& mask, const std::string& code);
inline constexpr const char* kDefaultMask = "bh?";
inline constexpr size_t kMaskMaxLength = 4;

// True when a code from the server may be listed: safe for paths and statements, and free of the
// characters that separate stream specifiers and settings keys.
bool gleanerListableCode(const std::string& code, bool mayBeEmpty);

// The remembered servers, most recent first.
class CServerList {
  public:
    static constexpr int kPlaces = 30;
    static constexpr size_t kMaxNameLength = 255;

    // Puts name first unless it is in one of the first 29 places already (exact comparison).
    // True when the list changed (the caller then appends it to the box and saves the list).
    bool Add(const std::string& name);
    const std::array<std::string, kPlaces>& Entries() const { return entries_; }
    std::array<std::string, kPlaces>& Entries() { return entries_; }

  private:
    std::array<std::string, kPlaces> entries_;
};

// The server queries of the main dialog, on the calling thread; false when the server cannot be
// asked. LoadConfiguration empties the map first, also on failure.
bool gleanerQueryConfiguration(const std::string& server, int port, LOGIO* log, CStationMap* map);
bool gleanerQueryTimes(const std::string& server, int port, LOGIO* log, CStationMap* map);
