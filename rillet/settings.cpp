#include "rillet/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/profile.h"
#include "rillet/log.h"

namespace {

// A value the profile layer reports for a key that is not there at all.
constexpr const char* kMissing = "\x01missing\x01";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    return s;
}

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return std::toupper(ch); });
    return s;
}

// Parses a whole decimal integer (blanks around it allowed). False for anything else.
bool ParseWholeInt(const std::string& text, long long* value) {
    const char* p = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (end == p || errno != 0) return false;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return false;
    *value = v;
    return true;
}

bool IsChannelSeparator(char ch) {
    return ch == ',' || ch == ';';
}

// Reads one code from text at i: blanks and tabs before it skipped, blanks inside dropped, ended
// by ",", ";", "." or the end (the terminator is not consumed).
std::string ReadCode(const std::string& text, size_t& i) {
    std::string code;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    while (i < text.size() && !IsChannelSeparator(text[i]) && text[i] != '.') {
        if (text[i] != ' ') code += text[i];
        ++i;
    }
    return code;
}

}  // namespace

std::vector<CChannelEntry> SplitChannelList(const std::string& text) {
    std::vector<CChannelEntry> entries;
    size_t i = 0;
    while (i < text.size()) {
        CChannelEntry entry;
        entry.channel = ReadCode(text, i);
        if (i < text.size() && text[i] == '.') {
            ++i;
            entry.location = ReadCode(text, i);
        }
        if (i < text.size()) ++i;  // the "," ";" or "." that ended the entry
        if (entry.channel.empty()) continue;
        if (entry.location.empty()) entry.location = kNoLocation;
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool IsSafeCode(const std::string& code) {
    if (code.empty() || code == "." || code == "..") return false;
    for (unsigned char ch : code) {
        if (std::strchr("/\\:=[]", ch) != nullptr || ch < 0x20 || ch == 0x7f) return false;
    }
    return true;
}

CRilletSettings::CRilletSettings(CRilletLog& log, std::string rilletIni, std::string kvrIni)
    : log_(log), rilletIni_(std::move(rilletIni)), kvrIni_(std::move(kvrIni)) {}

bool CRilletSettings::LoadSettings(const RateLookup& lookupRate) {
    groups_.clear();

    logDirectory_ = platGetProfileString("LOG", "DIR", "..\\log", rilletIni_);
    if (logDirectory_.empty() || logDirectory_.back() != '\\') logDirectory_ += '\\';
    log_.Open(logDirectory_);

    dataDirectory_ = platGetProfileString("DATA", "DIR", "\\", kvrIni_);
    if (!dataDirectory_.empty() && (dataDirectory_.back() == '\\' || dataDirectory_.back() == '/'))
        dataDirectory_.pop_back();

    server_ = platGetProfileString("SYSTEM", "SERVER", kDefaultServer, rilletIni_);
    if (server_.empty()) server_ = kDefaultServer;

    std::string portText = platGetProfileString("SYSTEM", "PORT", kMissing, rilletIni_);
    port_ = kDefaultPort;
    if (portText != kMissing) {
        long long v = 0;
        if (ParseWholeInt(portText, &v) && v > 0 && v <= 65535) {
            port_ = static_cast<int>(v);
        } else {
            log_.WriteLogf("SYSTEM: PORT '%s' is not a port number; %d used", portText.c_str(),
                           kDefaultPort);
        }
    }

    // GROUPS counts by its leading digits, as the profile layer reads integers.
    int groupCount = platGetProfileInt("SYSTEM", "GROUPS", 0, rilletIni_);
    if (groupCount < 0) groupCount = 0;
    if (groupCount > kMaxGroups) {
        log_.WriteLogf("SYSTEM: GROUPS %d too large; only %d read", groupCount, kMaxGroups);
        groupCount = kMaxGroups;
    }

    for (int n = 1; n <= groupCount; ++n) {
        std::string section = "GROUP" + std::to_string(n);
        std::string station = Lower(platGetProfileString(section, "STATION", "", rilletIni_));
        if (station.empty()) continue;
        if (!IsSafeCode(station)) {
            log_.WriteLogf("%s: station '%s' cannot name a data folder; group skipped",
                           section.c_str(), station.c_str());
            continue;
        }

        // SIZEMB: a value that is not a whole number from 1 to 2047 is refused with its group, so
        // that neither a wrap nor a garbage value shrinks the loop and deletes recorded files.
        long long sizeMb = 1;
        std::string sizeText = platGetProfileString(section, "SIZEMB", kMissing, rilletIni_);
        if (sizeText != kMissing &&
            (!ParseWholeInt(sizeText, &sizeMb) || sizeMb < 1 || sizeMb > kMaxSizeMb)) {
            log_.WriteLogf("%s: SIZEMB '%s' of station %s refused (1 to %d); group skipped",
                           section.c_str(), sizeText.c_str(), station.c_str(), kMaxSizeMb);
            continue;
        }

        CRecorderGroup group;
        group.station = station;
        group.sizeLimit = static_cast<uint32_t>(sizeMb) * kBytesPerMegabyte;

        std::string lengthText =
            platGetProfileString(section, "FILELENGTH(MIN)", kMissing, rilletIni_);
        if (lengthText != kMissing) {
            long long minutes = 0;
            if (ParseWholeInt(lengthText, &minutes) && minutes > 0 && minutes <= INT32_MAX / 60) {
                group.fileLength = static_cast<int32_t>(minutes);
            } else {
                log_.WriteLogf("%s: FILELENGTH(MIN) '%s' is not a number of minutes; %d used",
                               section.c_str(), lengthText.c_str(), kDefaultFileLengthMin);
            }
        }
        groups_.push_back(std::move(group));

        std::string chan = Upper(platGetProfileString(section, "CHAN", "", rilletIni_));
        ParseChannelList(groups_.size() - 1, chan, lookupRate);
        if (groups_.back().channels.empty()) {
            log_.WriteLogf("%s: no channel of station %s to record (CHAN '%s')", section.c_str(),
                           station.c_str(), chan.c_str());
        }
    }
    return true;
}

void CRilletSettings::ParseChannelList(size_t g, const std::string& text,
                                       const RateLookup& lookupRate) {
    CRecorderGroup& group = groups_.at(g);
    for (CChannelEntry& entry : SplitChannelList(text)) {
        if (!IsSafeCode(entry.channel) ||
            (entry.location != kNoLocation && !IsSafeCode(entry.location))) {
            std::string name = entry.channel;
            if (entry.location != kNoLocation) name += "." + entry.location;
            log_.WriteLogf("Station %s: channel '%s' cannot name a data file; skipped",
                           group.station.c_str(), name.c_str());
            continue;
        }
        double rate = lookupRate ? lookupRate(group.station, entry.channel, entry.location) : 0;
        if (!(rate > 0) || !std::isfinite(rate)) continue;  // no SITECHAN rate: not recorded
        bool known = std::any_of(
            group.channels.begin(), group.channels.end(), [&](const CRecorderChannel& c) {
                return c.channel == entry.channel && c.location == entry.location;
            });
        if (known) continue;
        CRecorderChannel channel;
        channel.channel = entry.channel;
        channel.location = entry.location;
        channel.sampleRate = rate;
        group.channels.push_back(std::move(channel));
    }
}

int64_t CRilletSettings::ReadResumeTime(size_t g, size_t c) const {
    const CRecorderChannel& channel = groups_.at(g).channels.at(c);
    std::string text = platGetProfileString(Section(g), ResumeTimeKey(channel), "0", rilletIni_);
    long long seconds = std::strtoll(text.c_str(), nullptr, 10);
    // Negative values are request markers to the server, never a stored time.
    return seconds > 0 ? seconds : 0;
}

bool CRilletSettings::WriteResumeTime(size_t g, size_t c, int64_t seconds) const {
    const CRecorderChannel& channel = groups_.at(g).channels.at(c);
    char value[32];
    std::snprintf(value, sizeof value, "%" PRId64, seconds);
    return platWriteProfileString(Section(g), ResumeTimeKey(channel), value, rilletIni_);
}

std::string CRilletSettings::DataPath(const std::string& relative) const {
    return platHostPath(dataDirectory_ + "\\" + relative);
}
