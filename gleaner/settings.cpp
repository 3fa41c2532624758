#include "gleaner/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/profile.h"

namespace {

constexpr const char* kConfig = "-CONFIG-";
constexpr const char* kStations = "-STATIONS-";
constexpr const char* kServers = "IDA SERVERS";
constexpr const char* kColumns = "Columns Width";
constexpr const char* kNoLocation = "  ";
constexpr size_t kMaxCodeLength = 15;      // station and channel codes as read back
constexpr size_t kMaxWidthsLength = 127;   // the "Width" value as read back
constexpr size_t kMaxServerLength = 4095;  // SERVER

std::string readString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& file, size_t limit) {
    return platGetProfileString(section, key, def, file).substr(0, limit);
}

int readInt(const std::string& section, const std::string& key, int def, const std::string& file) {
    return platGetProfileInt(section, key, def, file);
}

void writeInt(const std::string& section, const std::string& key, long long value,
              const std::string& file) {
    platWriteProfileString(section, key, std::to_string(value), file);
}

std::string chKey(int n, const char* suffix = "") {
    char key[32];
    std::snprintf(key, sizeof key, "CH%d%s", n, suffix);
    return key;
}

}  // namespace

GLEANER_CONFIG gleanerReadConfig(const std::string& file) {
    GLEANER_CONFIG c;
    std::string server = readString(kConfig, "SERVER", "", file, kMaxServerLength);
    if (!server.empty()) c.server = server;
    std::string port =
        platGetProfileString(kConfig, "PORT", std::to_string(ISI_DEFAULT_PORT), file);
    // atoi, as the settings always did: "abc" gives port 0.
    c.port = port.empty() ? ISI_DEFAULT_PORT : std::atoi(port.c_str());
    c.outputByteOrder = readInt(kConfig, "OUTPUTBYTEORDER", 0, file);
    c.timeFormat = readInt(kConfig, "TIMEFORMAT", 0, file);
    c.wfdDir = platGetProfileString(kConfig, "WFDDIR", "", file);
    return c;
}

void gleanerWriteOptions(const GLEANER_CONFIG& config, const std::string& file) {
    writeInt(kConfig, "PORT", config.port, file);
    writeInt(kConfig, "OUTPUTBYTEORDER", config.outputByteOrder, file);
    writeInt(kConfig, "TIMEFORMAT", config.timeFormat, file);
}

void gleanerWriteServer(const GLEANER_CONFIG& config, const std::string& file) {
    platWriteProfileString(kConfig, "SERVER", config.server, file);
    platWriteProfileString(kConfig, "WFDDIR", config.wfdDir, file);
}

void gleanerReadInterval(double* begin, double* end, const std::string& file) {
    // Read as long long: whole seconds pass the range of a 32-bit int in 2038.
    *end = double(std::atoll(platGetProfileString(kConfig, "TIMEEND", "0", file).c_str()));
    *begin = double(std::atoll(platGetProfileString(kConfig, "TIMEBEG", "0", file).c_str()));
}

void gleanerWriteInterval(double begin, double end, const std::string& file) {
    writeInt(kConfig, "TIMEEND", static_cast<long long>(end), file);
    writeInt(kConfig, "TIMEBEG", static_cast<long long>(begin), file);
}

void gleanerReadStations(CStationMap* map, const std::string& file) {
    map->Clear();
    const int n = readInt(kStations, "N", 0, file);
    for (int i = 0; i < n; ++i) {
        std::string code =
            readString(kStations, "STATION" + std::to_string(i), "", file, kMaxCodeLength);
        if (code.empty()) continue;
        const int channels = readInt(code, "N", 0, file);
        map->PutStation(code, readInt(code, "Selected", 0, file) != 0);
        for (int j = 0; j < channels; ++j) {
            std::string channel = readString(code, chKey(j), "", file, kMaxCodeLength);
            // A number left without its keys (a file written when a server listed a stream
            // twice) is no channel.
            if (channel.empty()) continue;
            double sps = std::atof(platGetProfileString(code, chKey(j, ".SpS"), "", file).c_str());
            std::string location =
                platGetProfileString(code, chKey(j, ".LCODE"), kNoLocation, file);
            if (location.empty()) location = kNoLocation;
            int selected = readInt(code, chKey(j, ".Selected"), 0, file);
            map->AddChannel(code, channel, location, sps, selected != 0 ? 1 : 0);
        }
    }
}

void gleanerWriteStations(const CStationMap& map, const std::string& file) {
    writeInt(kStations, "N", long(map.Count()), file);
    int i = 0;
    for (const auto& [code, s] : map.Stations()) {
        platWriteProfileString(kStations, "STATION" + std::to_string(i++), s.station, file);
        writeInt(s.station, "N", long(s.channels.size()), file);
        platWriteProfileString(s.station, "Selected", s.selected ? "1" : "0", file);
        // Numbered 0 to N - 1 in ordinal order: a stream the server listed twice holds one
        // entry but two ordinals, and numbering by ordinal would leave a hole that reading (which
        // stops at N) turns into a lost channel.
        std::vector<const CChannelEntry*> byOrdinal;
        for (const auto& [key, c] : s.channels) byOrdinal.push_back(&c);
        std::sort(
            byOrdinal.begin(), byOrdinal.end(),
            [](const CChannelEntry* a, const CChannelEntry* b) { return a->ordinal < b->ordinal; });
        int number = 0;
        for (const CChannelEntry* c : byOrdinal) {
            char sps[64];
            std::snprintf(sps, sizeof sps, "%.4f", c->sps);
            platWriteProfileString(s.station, chKey(number), c->channel, file);
            platWriteProfileString(s.station, chKey(number, ".SpS"), sps, file);
            platWriteProfileString(s.station, chKey(number, ".LCODE"), c->location, file);
            platWriteProfileString(s.station, chKey(number, ".Selected"),
                                   c->selected != 0 ? "1" : "0", file);
            ++number;
        }
    }
}

void gleanerReadServers(CServerList* list, const std::string& file) {
    for (int i = 0; i < CServerList::kPlaces; ++i)
        list->Entries()[i] = readString(kServers, "server" + std::to_string(i + 1), "", file,
                                        CServerList::kMaxNameLength);
}

void gleanerWriteServers(const CServerList& list, const std::string& file) {
    platDeleteProfileSection(kServers, file);
    for (int i = 0; i < CServerList::kPlaces; ++i)
        if (!list.Entries()[i].empty())
            platWriteProfileString(kServers, "server" + std::to_string(i + 1), list.Entries()[i],
                                   file);
}

std::string gleanerColumnWidthsText(const GLEANER_WIDTHS& widths) {
    std::string text;
    for (int i = 0; i < kColumnCount; ++i) {
        if (i > 0) text += ',';
        text += std::to_string(widths[i]);
    }
    return text;
}

void gleanerApplyColumnWidths(const std::string& text, GLEANER_WIDTHS* widths) {
    if (text.empty()) return;
    size_t start = 0;
    for (int column = 0; column < kColumnCount; ++column) {
        size_t comma = text.find(',', start);
        std::string piece = text.substr(start, comma == std::string::npos ? comma : comma - start);
        int value = std::atoi(piece.c_str());
        if (value > 0) (*widths)[column] = value;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

void gleanerReadColumnWidths(GLEANER_WIDTHS* widths, const std::string& file) {
    gleanerApplyColumnWidths(readString(kColumns, "Width", "", file, kMaxWidthsLength), widths);
}

void gleanerWriteColumnWidths(const GLEANER_WIDTHS& widths, const std::string& file) {
    platWriteProfileString(kColumns, "Width", gleanerColumnWidthsText(widths), file);
}
