// ".\\Siphon.ini", everything the retrieval program remembers between sessions, read and written
// one key at a time through the profile functions (a missing file, section or key gives the
// default; results of writes are ignored):
//
//   [-CONFIG-]      SERVER, PORT, OUTPUTBYTEORDER, TIMEFORMAT, WFDDIR, TIMEBEG, TIMEEND
//   [-STATIONS-]    N, STATION0.. ; then one section per station:
//   [<station>]     N, Selected, CH%d, CH%d.SpS ("%.4f"), CH%d.LCODE, CH%d.Selected
//   [IDA SERVERS]   server1..server30, most recent first
//   [Columns Width] Width: six channel-list column widths joined by ","
//
// The data directory of the KVR files is the store's (kvr/store.h).
#pragma once

#include <array>
#include <string>

#include "gleaner/selection.h"

inline constexpr const char* kSettingsFile = ".\\Siphon.ini";
inline constexpr const char* kDefaultServer = "localhost";
inline constexpr int kColumnCount = 6;
inline constexpr int kMinPort = 9000;
inline constexpr int kMaxPort = 65535;

struct GLEANER_CONFIG {
    std::string server = kDefaultServer;
    int port = ISI_DEFAULT_PORT;
    int outputByteOrder = 0;  // 0 little-endian (intel), 1 big-endian (sparc); stored only
    int timeFormat = 0;       // 0, 1 or 2
    std::string wfdDir;       // read at start and written back at exit, nothing else
};

GLEANER_CONFIG gleanerReadConfig(const std::string& file = kSettingsFile);
// The options dialog's OK: PORT, OUTPUTBYTEORDER and TIMEFORMAT.
void gleanerWriteOptions(const GLEANER_CONFIG& config, const std::string& file = kSettingsFile);
// At exit: SERVER and WFDDIR.
void gleanerWriteServer(const GLEANER_CONFIG& config, const std::string& file = kSettingsFile);

// TIMEBEG and TIMEEND as whole seconds (default 0).
void gleanerReadInterval(double* begin, double* end, const std::string& file = kSettingsFile);
// TIMEEND then TIMEBEG, "%ld", the fraction dropped.
void gleanerWriteInterval(double begin, double end, const std::string& file = kSettingsFile);

void gleanerReadStations(CStationMap* map, const std::string& file = kSettingsFile);
void gleanerWriteStations(const CStationMap& map, const std::string& file = kSettingsFile);

void gleanerReadServers(CServerList* list, const std::string& file = kSettingsFile);
// Removes the whole section, then writes every non-empty entry numbered by position from 1.
void gleanerWriteServers(const CServerList& list, const std::string& file = kSettingsFile);

using GLEANER_WIDTHS = std::array<int, kColumnCount>;
std::string gleanerColumnWidthsText(const GLEANER_WIDTHS& widths);
// Each piece that converts to a positive number sets the width of its column; other pieces and
// an empty text leave the width.
void gleanerApplyColumnWidths(const std::string& text, GLEANER_WIDTHS* widths);
void gleanerReadColumnWidths(GLEANER_WIDTHS* widths, const std::string& file = kSettingsFile);
void gleanerWriteColumnWidths(const GLEANER_WIDTHS& widths,
                              const std::string& file = kSettingsFile);
