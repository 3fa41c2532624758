// The settings file, the configured station list and the command-line switch.
#include "tremlive/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/profile.h"

namespace tremlive {

TremliveSettings g_settings;
CStationList g_stationList;
int g_autoRun = 0;
std::string g_settingsFile = kSettingsFileName;

namespace {

// The longest values read from the settings file: longer ones are cut to these lengths.
constexpr size_t kConfigValueLen = 127;
constexpr size_t kStationValueLen = 15;

std::string readValue(const std::string& section, const std::string& key, size_t maxLen) {
    std::string value = platGetProfileString(section, key, "", g_settingsFile);
    if (value.size() > maxLen) value.resize(maxLen);
    return value;
}

// An empty or missing value keeps the default; anything else goes through atoi, so text that
// is not a number reads as 0.
int readInt(const std::string& section, const std::string& key, int defaultValue, size_t maxLen) {
    std::string value = readValue(section, key, maxLen);
    if (value.empty()) return defaultValue;
    return std::atoi(value.c_str());
}

void writeInt(const std::string& section, const std::string& key, int value) {
    platWriteProfileString(section, key, std::to_string(value), g_settingsFile);
}

void checkRange(const char* key, int* value, IntRange range, int defaultValue) {
    if (range.contains(*value)) return;
    std::fprintf(stderr, "tremlive: %s=%d in %s is outside %d..%d; using %d\n", key, *value,
                 g_settingsFile.c_str(), range.lo, range.hi, defaultValue);
    *value = defaultValue;
}

}  // namespace

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

CStationConfig& CStationList::appendStation(const std::string& station) {
    stations.push_back(CStationConfig{station, {}});
    return stations.back();
}

CStationConfig* CStationList::findStation(const std::string& station) {
    for (CStationConfig& s : stations)
        if (EqualNoCase(s.station, station)) return &s;
    return nullptr;
}

void CStationList::merge(const std::string& station, const CChannelConfig& channel) {
    CStationConfig* s = findStation(station);
    if (s == nullptr) s = &appendStation(station);
    for (const CChannelConfig& c : s->channels) {
        if (EqualNoCase(c.channel, channel.channel) && EqualNoCase(c.location, channel.location))
            return;
    }
    s->channels.push_back(channel);
}

void CStationList::copyFrom(const CStationList& other) {
    if (&other == this) return;
    clear();
    for (const CStationConfig& s : other.stations) {
        // A station without channels is kept too, as merging a channel would create it.
        if (findStation(s.station) == nullptr) appendStation(s.station);
        for (const CChannelConfig& c : s.channels) merge(s.station, c);
    }
}

void LoadConfigSection() {
    TremliveSettings& s = g_settings;
    s = TremliveSettings{};
    std::string server = readValue(kConfigSection, "SERVER", kConfigValueLen);
    if (!server.empty()) s.server = server;
    s.port = readInt(kConfigSection, "PORT", kDefaultPort, kConfigValueLen);
    s.displayedTime =
        readInt(kConfigSection, "DISPLAYEDTIME", kDefaultDisplayedTime, kConfigValueLen);
    s.bufferedTime = readInt(kConfigSection, "BUFFEREDTIME", kDefaultBufferedTime, kConfigValueLen);
    s.refreshTime = readInt(kConfigSection, "REFRESHTIME", kDefaultRefreshTime, kConfigValueLen);
    s.delay = readInt(kConfigSection, "DELAY", kDefaultDelay, kConfigValueLen);

    checkRange("PORT", &s.port, kPortRange, kDefaultPort);
    checkRange("DISPLAYEDTIME", &s.displayedTime, kDisplayedTimeRange, kDefaultDisplayedTime);
    checkRange("BUFFEREDTIME", &s.bufferedTime, kBufferedTimeRange, kDefaultBufferedTime);
    checkRange("REFRESHTIME", &s.refreshTime, kRefreshTimeRange, kDefaultRefreshTime);
    checkRange("DELAY", &s.delay, kDelayRange, kDefaultDelay);
}

void LoadStations(CStationList* list) {
    list->clear();
    int n = readInt(kStationsSection, "N", 0, kStationValueLen);
    for (int i = 0; i < n; ++i) {
        std::string station =
            readValue(kStationsSection, "STATION" + std::to_string(i), kStationValueLen);
        if (station.empty()) continue;
        CStationConfig& s = list->appendStation(station);
        int nch = readInt(station, "N", 0, kStationValueLen);
        for (int k = 0; k < nch; ++k) {
            std::string key = "CH" + std::to_string(k);
            CChannelConfig c;
            c.channel = readValue(station, key, kStationValueLen);
            c.samplesPerSecond =
                std::atof(readValue(station, key + ".SpS", kStationValueLen).c_str());
            c.location = readValue(station, key + ".LCODE", kStationValueLen);
            if (c.location.empty()) c.location = kBlankLocation;
            c.selected = readInt(station, key + ".Selected", 0, kStationValueLen) != 0 ? 1 : 0;
            s.channels.push_back(c);
        }
    }
}

void SaveStations(const CStationList& list) {
    writeInt(kStationsSection, "N", int(list.stations.size()));
    for (size_t i = 0; i < list.stations.size(); ++i) {
        const CStationConfig& s = list.stations[i];
        platWriteProfileString(kStationsSection, "STATION" + std::to_string(i), s.station,
                               g_settingsFile);
        writeInt(s.station, "N", int(s.channels.size()));
        for (size_t k = 0; k < s.channels.size(); ++k) {
            const CChannelConfig& c = s.channels[k];
            std::string key = "CH" + std::to_string(k);
            char sps[64];
            std::snprintf(sps, sizeof sps, "%.4f", c.samplesPerSecond);
            platWriteProfileString(s.station, key, c.channel, g_settingsFile);
            platWriteProfileString(s.station, key + ".SpS", sps, g_settingsFile);
            platWriteProfileString(s.station, key + ".LCODE", c.location, g_settingsFile);
            platWriteProfileString(s.station, key + ".Selected", c.selected ? "1" : "0",
                                   g_settingsFile);
        }
    }
}

int CountSelected(const CStationList& list) {
    int n = 0;
    for (const CStationConfig& s : list.stations)
        for (const CChannelConfig& c : s.channels)
            if (c.selected) ++n;
    return n;
}

void SaveNetworkSettings() {
    platWriteProfileString(kConfigSection, "SERVER", g_settings.server, g_settingsFile);
    writeInt(kConfigSection, "PORT", g_settings.port);
}

void SaveDisplaySettings() {
    writeInt(kConfigSection, "DISPLAYEDTIME", g_settings.displayedTime);
    writeInt(kConfigSection, "BUFFEREDTIME", g_settings.bufferedTime);
    writeInt(kConfigSection, "REFRESHTIME", g_settings.refreshTime);
    writeInt(kConfigSection, "DELAY", g_settings.delay);
}

bool ParseAutoRun(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        std::string upper = arg.substr(0, 4);
        for (char& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
        if (upper == "/RUN") return true;
    }
    return false;
}

std::string FormatSamplesPerSecond(double samplesPerSecond) {
    if (!(samplesPerSecond > 0.0)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", samplesPerSecond);
    return text;
}

}  // namespace tremlive

namespace tremlive {

bool ValidateIntegerField(const std::string& text, IntRange range, int* value,
                          std::string* message) {
    // Blanks around the number are allowed, as in a dialog's integer field.
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    std::string trimmed = b == std::string::npos ? "" : text.substr(b, e - b + 1);
    char* end = nullptr;
    errno = 0;
    long long v = trimmed.empty() ? 0 : std::strtoll(trimmed.c_str(), &end, 10);
    if (trimmed.empty() || end == nullptr || *end != '\0' || errno == ERANGE || v < INT32_MIN ||
        v > INT32_MAX) {
        *message = "Please enter an integer.";
        return false;
    }
    if (!range.contains(int(v))) {
        *message = "Please enter an integer between " + std::to_string(range.lo) + " and " +
                   std::to_string(range.hi) + ".";
        return false;
    }
    *value = int(v);
    return true;
}

}  // namespace tremlive
