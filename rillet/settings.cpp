#include "rillet/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "isi/isi.h"
#include "kvr/kvrfile.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "rillet/log.h"
#include "util/util.h"

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

// The decimal digits at the start of a value (blanks before them skipped), as the settings read
// counts: "100 ; hundred MB" gives 100. False when the value does not start with a digit or the
// number does not fit.
bool ParseLeadingDigits(const std::string& text, long long* value) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    long long v = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (v > (INT64_MAX - 9) / 10) return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t") == std::string::npos;
}

// A stored resume time later than this much past the present is no time the server can have.
constexpr int64_t kResumeFutureSlackSeconds = 86400;

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

CRilletSettings::CRilletSettings(CRilletLog& log, std::string rilletIni, std::string kvrIni)
    : log_(log), rilletIni_(std::move(rilletIni)), kvrIni_(std::move(kvrIni)) {}

bool CRilletSettings::LoadSettings(const RateLookup& lookupRate) {
    groups_.clear();
    ini_ = PlatProfileSnapshot(rilletIni_);
    rilletIniFound_ = ini_.Found();

    logDirectory_ = ini_.Get("LOG", "DIR", "..\\log");
    if (logDirectory_.empty() || logDirectory_.back() != '\\') logDirectory_ += '\\';
    std::string logError;
    if (!log_.Open(logDirectory_, &logError)) {
        // Nothing can be logged: standard error is the only place left to say so.
        std::fprintf(stderr, "rillet: log directory %s cannot be written (%s): no log is kept\n",
                     platHostPath(logDirectory_).c_str(), logError.c_str());
    }

    store_ = KVR_STORE{};
    storeError_.clear();
    storeNamed_ = kvrStoreReadProfile(&store_, &storeError_, kvrIni_);

    server_ = ini_.Get("SYSTEM", "SERVER", kDefaultServer);
    metricsFile_ = platHostPath(ini_.Get("SYSTEM", "METRICS", ""));
    if (server_.empty()) server_ = kDefaultServer;

    std::string portText = ini_.Get("SYSTEM", "PORT", kMissing);
    port_ = kDefaultPort;
    if (portText != kMissing) {
        long long v = 0;
        if (ParseWholeInt(portText, &v) && v > 0 && v <= 65535) {
            port_ = static_cast<int>(v);
        } else {
            log_.WriteWarningf("SYSTEM: PORT '%s' is not a port number; %d used", portText.c_str(),
                               kDefaultPort);
        }
    }

    // GROUPS counts by its leading digits, as the profile layer reads integers.
    const std::string groupsText = ini_.Get("SYSTEM", "GROUPS", kMissing);
    int groupCount = 0;
    long long groupsValue = 0;
    if (groupsText != kMissing) {
        if (!ParseLeadingDigits(groupsText, &groupsValue)) {
            log_.WriteWarningf("SYSTEM: GROUPS '%s' in %s is not a number of groups; none read",
                               Printable(groupsText).c_str(), IniPath(rilletIni_).c_str());
        } else if (groupsValue > kMaxGroups) {
            log_.WriteWarningf("SYSTEM: GROUPS %lld too large; only %d read", groupsValue,
                               kMaxGroups);
            groupCount = kMaxGroups;
        } else {
            groupCount = static_cast<int>(groupsValue);
        }
    }
    configuredGroups_ = groupCount;

    for (int n = 1; n <= groupCount; ++n) {
        std::string section = "GROUP" + std::to_string(n);
        std::string station = Lower(ini_.Get(section, "STATION", ""));
        if (station.empty()) continue;
        std::string fault;
        if (!kvrCodeIsValid(KvrCodeKind::Station, station, &fault)) {
            log_.WriteWarningf("%s: station '%s' cannot name a data folder (%s); group skipped",
                               section.c_str(), Printable(station).c_str(), fault.c_str());
            continue;
        }

        if (station.size() > static_cast<size_t>(ISI_STALEN)) {
            log_.WriteWarningf(
                "%s: station '%s' is longer than a request allows (%d); group "
                "skipped",
                section.c_str(), Printable(station).c_str(), ISI_STALEN);
            continue;
        }

        // SIZEMB counts by its leading digits. A value without any, zero, or one from 2048 on
        // refuses its group, so that neither a wrap nor a garbage value shrinks the loop and
        // deletes recorded files; an empty value is taken as a missing one.
        long long sizeMb = 1;
        std::string sizeText = ini_.Get(section, "SIZEMB", kMissing);
        if (sizeText != kMissing && IsBlank(sizeText)) {
            log_.WriteWarningf("%s: SIZEMB of station %s is empty; 1 used", section.c_str(),
                               station.c_str());
        } else if (sizeText != kMissing &&
                   (!ParseLeadingDigits(sizeText, &sizeMb) || sizeMb < 1 || sizeMb > kMaxSizeMb)) {
            log_.WriteWarningf("%s: SIZEMB '%s' of station %s refused (1 to %d); group skipped",
                               section.c_str(), Printable(sizeText).c_str(), station.c_str(),
                               kMaxSizeMb);
            continue;
        }

        CRecorderGroup group;
        group.section = n;
        group.station = station;
        group.sizeLimit = static_cast<uint32_t>(sizeMb) * kBytesPerMegabyte;

        std::string lengthText =
            ini_.Get(section, "FILELENGTH(MIN)", kMissing);
        if (lengthText != kMissing) {
            long long minutes = 0;
            if (ParseWholeInt(lengthText, &minutes) && minutes > 0 && minutes <= INT32_MAX / 60) {
                group.fileLength = static_cast<int32_t>(minutes);
            } else {
                log_.WriteWarningf("%s: FILELENGTH(MIN) '%s' is not a number of minutes; %d used",
                                   section.c_str(), lengthText.c_str(), kDefaultFileLengthMin);
            }
        }
        groups_.push_back(std::move(group));

        std::string chan = Upper(ini_.Get(section, "CHAN", ""));
        ParseChannelList(groups_.size() - 1, chan, lookupRate);
        if (groups_.back().channels.empty()) {
            log_.WriteWarningf("%s: no channel of station %s to record (CHAN '%s')",
                               section.c_str(), station.c_str(), chan.c_str());
        }
    }
    NameSharedChannelCodes();
    return true;
}

void CRilletSettings::NameSharedChannelCodes() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> byStation;
    for (const CRecorderGroup& group : groups_)
        for (const CChannelConfig& c : group.channels)
            byStation[group.station].emplace_back(c.channel, c.location);
    std::set<std::string> logged;
    for (CRecorderGroup& group : groups_) {
        const auto& channels = byStation[group.station];
        for (CChannelConfig& c : group.channels) {
            c.locationInName = kvrRecorderNamesLocation(channels, c.channel, c.location);
            if (c.locationInName && logged.insert(group.station + "." + c.channel).second)
                log_.WriteLogf(
                    "Station %s records %s under more than one location: each located channel's "
                    "files carry the location in their names (DDMMYYYY-HHMMSS-%s)",
                    group.station.c_str(), c.channel.c_str(),
                    kvrFileName20(group.station, c.channel, c.location, 0).substr(17).c_str());
        }
    }
}

CStartProblem CRilletSettings::CheckStart(std::string* message, bool forWriting) const {
    const std::string settingsPath = IniPath(rilletIni_);
    if (!storeNamed_) {
        *message = storeError_;
        return CStartProblem::NoDataDirectory;
    }
    if (!kvrStoreCheckFolder(store_, message) ||
        (forWriting && !kvrStoreCheckWritable(store_, message)))
        return CStartProblem::NoDataDirectory;
    size_t channels = 0;
    for (const auto& group : groups_) channels += group.channels.size();
    if (channels > 0) return CStartProblem::None;
    if (!rilletIniFound_) {
        *message = "nothing to record: " + settingsPath + " not found";
    } else if (configuredGroups_ == 0) {
        *message = "nothing to record: no [SYSTEM] GROUPS in " + settingsPath;
    } else {
        *message = "nothing to record: no channel of the " + std::to_string(configuredGroups_) +
                   " group section(s) of " + settingsPath +
                   " has a sample rate in SITECHAN (see the log)";
    }
    return CStartProblem::NothingToRecord;
}

void CRilletSettings::ParseChannelList(size_t g, const std::string& text,
                                       const RateLookup& lookupRate) {
    CRecorderGroup& group = groups_.at(g);
    for (CChannelEntry& entry : SplitChannelList(text)) {
        std::string name = entry.channel;
        if (entry.location != kNoLocation) name += "." + entry.location;
        std::string fault;
        if (!kvrCodeIsValid(KvrCodeKind::Channel, entry.channel, &fault) ||
            !kvrCodeIsValid(KvrCodeKind::Location, entry.location, &fault)) {
            log_.WriteWarningf("Station %s: channel '%s' cannot name a data file (%s); skipped",
                               group.station.c_str(), Printable(name).c_str(), fault.c_str());
            continue;
        }
        if (entry.channel.size() > static_cast<size_t>(ISI_CHNLEN) ||
            (entry.location != kNoLocation && entry.location.size() > ISI_LOCLEN)) {
            log_.WriteWarningf("Station %s: channel '%s' is longer than a request allows; skipped",
                               group.station.c_str(), Printable(name).c_str());
            continue;
        }
        double rate = lookupRate ? lookupRate(group.station, entry.channel, entry.location) : 0;
        if (!(rate > 0) || !std::isfinite(rate)) continue;  // no SITECHAN rate: not recorded
        bool known =
            std::any_of(group.channels.begin(), group.channels.end(), [&](const CChannelConfig& c) {
                return c.channel == entry.channel && c.location == entry.location;
            });
        if (known) continue;
        CChannelConfig channel;
        channel.channel = entry.channel;
        channel.location = entry.location;
        channel.sampleRate = rate;
        group.channels.push_back(std::move(channel));
    }
}

double CRilletSettings::ReadResumeTime(size_t g, size_t c) const {
    const CChannelConfig& channel = groups_.at(g).channels.at(c);
    const std::string text = ini_.Get(Section(g), ResumeTimeKey(channel), "0");
    if (text.find_first_not_of(" \t0") == std::string::npos) return 0;  // none stored
    // Only a time the server can hold is sent: anything else would ask it for a time that is no
    // time at all (a negative one is even a request marker).
    const double now = platNow();
    double t = 0;
    if (!utilParseTime(text.c_str(), now, &t) || !(t > 0) || t > now + kResumeFutureSlackSeconds) {
        log_.WriteWarningf(
            "%s: resume time %s='%s' is not a time (%s); the channel starts at the newest data",
            Section(g).c_str(), ResumeTimeKey(channel).c_str(), Printable(text).c_str(),
            UTIL_TIME_FORMS);
        return 0;
    }
    return t;
}

bool CRilletSettings::WriteResumeTime(size_t g, size_t c, double seconds) {
    return WriteResumeTimes({{g, c, seconds}});
}

std::string CRilletSettings::NumberText(double value) {
    if (value == std::floor(value) && std::fabs(value) < 9e15)
        return std::to_string(static_cast<long long>(value));
    std::string text = kvrFixedNumber(value);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

bool CRilletSettings::WriteResumeTimes(const std::vector<ResumeTime>& times) {
    std::vector<PLAT_PROFILE_ENTRY> entries;
    entries.reserve(times.size());
    for (const ResumeTime& t : times)
        entries.push_back({Section(t.g), ResumeTimeKey(groups_.at(t.g).channels.at(t.c)),
                           NumberText(t.seconds)});
    if (!platWriteProfileStrings(entries, rilletIni_)) return false;
    for (const PLAT_PROFILE_ENTRY& e : entries) ini_.Set(e.section, e.key, e.value);
    return true;
}

std::string CRilletSettings::Printable(const std::string& text) {
    std::string out(text.size() * 4 + 1, '\0');
    utilPrintable(out.data(), text.c_str(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string CRilletSettings::IniPath(const std::string& file) {
    return platResolveProfilePath(file);
}
