// The settings file, the configured station list and the command-line switch.
#include "tremlive/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/profile.h"

namespace tremlive {

namespace {

// The longest values read from the settings file: longer ones are cut to these lengths.
constexpr size_t kConfigValueLen = 127;
constexpr size_t kStationValueLen = 15;

std::string readValue(const std::string& file, const std::string& section, const std::string& key,
                      size_t maxLen) {
    std::string value = platGetProfileString(section, key, "", file);
    if (value.size() > maxLen) value.resize(maxLen);
    return value;
}

// An empty or missing value keeps the default; anything else goes through atoi, so text that
// is not a number reads as 0.
int readInt(const std::string& file, const std::string& section, const std::string& key,
            int defaultValue, size_t maxLen) {
    std::string value = readValue(file, section, key, maxLen);
    if (value.empty()) return defaultValue;
    return std::atoi(value.c_str());
}

void writeInt(const std::string& file, const std::string& section, const std::string& key,
              int value) {
    platWriteProfileString(section, key, std::to_string(value), file);
}

void checkRange(const std::string& file, const char* key, int* value, IntRange range,
                int defaultValue) {
    if (range.contains(*value)) return;
    std::fprintf(stderr, "tremlive: %s=%d in %s is outside %d..%d; using %d\n", key, *value,
                 file.c_str(), range.lo, range.hi, defaultValue);
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

void LoadConfigSection(const std::string& file, TremliveSettings* settings) {
    TremliveSettings& s = *settings;
    s = TremliveSettings{};
    std::string server = readValue(file, kConfigSection, "SERVER", kConfigValueLen);
    if (!server.empty()) s.server = server;
    auto readConfigInt = [&file](const char* key, int defaultValue) {
        return readInt(file, kConfigSection, key, defaultValue, kConfigValueLen);
    };
    s.port = readConfigInt("PORT", kDefaultPort);
    s.displayedTime = readConfigInt("DISPLAYEDTIME", kDefaultDisplayedTime);
    s.bufferedTime = readConfigInt("BUFFEREDTIME", kDefaultBufferedTime);
    s.refreshTime = readConfigInt("REFRESHTIME", kDefaultRefreshTime);
    s.delay = readConfigInt("DELAY", kDefaultDelay);

    checkRange(file, "PORT", &s.port, kPortRange, kDefaultPort);
    checkRange(file, "DISPLAYEDTIME", &s.displayedTime, kDisplayedTimeRange, kDefaultDisplayedTime);
    checkRange(file, "BUFFEREDTIME", &s.bufferedTime, kBufferedTimeRange, kDefaultBufferedTime);
    checkRange(file, "REFRESHTIME", &s.refreshTime, kRefreshTimeRange, kDefaultRefreshTime);
    checkRange(file, "DELAY", &s.delay, kDelayRange, kDefaultDelay);
}

void LoadStations(const std::string& file, CStationList* list) {
    list->clear();
    int n = readInt(file, kStationsSection, "N", 0, kStationValueLen);
    for (int i = 0; i < n; ++i) {
        std::string station =
            readValue(file, kStationsSection, "STATION" + std::to_string(i), kStationValueLen);
        if (station.empty()) continue;
        CStationConfig& s = list->appendStation(station);
        int nch = readInt(file, station, "N", 0, kStationValueLen);
        for (int k = 0; k < nch; ++k) {
            std::string key = "CH" + std::to_string(k);
            CChannelConfig c;
            c.channel = readValue(file, station, key, kStationValueLen);
            c.samplesPerSecond =
                std::atof(readValue(file, station, key + ".SpS", kStationValueLen).c_str());
            c.location = readValue(file, station, key + ".LCODE", kStationValueLen);
            if (c.location.empty()) c.location = kBlankLocation;
            c.selected =
                readInt(file, station, key + ".Selected", 0, kStationValueLen) != 0 ? 1 : 0;
            s.channels.push_back(c);
        }
    }
}

void SaveStations(const std::string& file, const CStationList& list) {
    writeInt(file, kStationsSection, "N", int(list.stations.size()));
    for (size_t i = 0; i < list.stations.size(); ++i) {
        const CStationConfig& s = list.stations[i];
        platWriteProfileString(kStationsSection, "STATION" + std::to_string(i), s.station, file);
        writeInt(file, s.station, "N", int(s.channels.size()));
        for (size_t k = 0; k < s.channels.size(); ++k) {
            const CChannelConfig& c = s.channels[k];
            std::string key = "CH" + std::to_string(k);
            char sps[64];
            std::snprintf(sps, sizeof sps, "%.4f", c.samplesPerSecond);
            platWriteProfileString(s.station, key, c.channel, file);
            platWriteProfileString(s.station, key + ".SpS", sps, file);
            platWriteProfileString(s.station, key + ".LCODE", c.location, file);
            platWriteProfileString(s.station, key + ".Selected", c.selected ? "1" : "0", file);
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

void SaveNetworkSettings(const std::string& file, const TremliveSettings& settings) {
    platWriteProfileString(kConfigSection, "SERVER", settings.server, file);
    writeInt(file, kConfigSection, "PORT", settings.port);
}

void SaveDisplaySettings(const std::string& file, const TremliveSettings& settings) {
    writeInt(file, kConfigSection, "DISPLAYEDTIME", settings.displayedTime);
    writeInt(file, kConfigSection, "BUFFEREDTIME", settings.bufferedTime);
    writeInt(file, kConfigSection, "REFRESHTIME", settings.refreshTime);
    writeInt(file, kConfigSection, "DELAY", settings.delay);
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
