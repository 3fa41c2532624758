// The archive's rules: the data directory (DIR of [DATA] in KVR.ini), paths, codes and file
// names. See store.h.
#include "kvr/store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "kvr/format.h"
#include "kvr/kvrfile.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace {

// What the profile layer gives for a key that is not there at all.
constexpr const char* kMissing = "\x01missing\x01";
const std::string kNoDataDirectory = "no data directory: ";

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The text without its trailing separators (and blanks a hand edit may leave).
std::string withoutTrailingSeparators(std::string text) {
    while (!text.empty() && (isSeparator(text.back()) || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

// The folder as the host names it, or false with *error when it does not exist or is no folder.
bool existingFolder(const std::string& hostPath, const std::string& origin, std::string* error) {
    std::error_code ec;
    if (fs::is_directory(hostPath, ec)) return true;
    const bool exists = fs::exists(hostPath, ec);
    *error = kNoDataDirectory + hostPath + " (" + origin + ") " +
             (exists ? "is not a folder" : "does not exist");
    return false;
}

// printf's "%3s": left-padded with blanks to three characters, never shortened.
std::string pad3(std::string_view code) {
    std::string s(code);
    if (s.size() < 3) s.insert(0, 3 - s.size(), ' ');
    return s;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// n decimal digits at text[at..]; false when any is not a digit.
bool readDigits(std::string_view text, size_t at, size_t n, int* value) {
    if (at + n > text.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

std::string withoutLeadingBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

}  // namespace

bool kvrStoreReadProfile(KVR_STORE* store, std::string* error, const std::string& profile) {
    const std::string path = platResolveProfilePath(profile);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        *error = kNoDataDirectory + path + " not found";
        return false;
    }
    const std::string value = platGetProfileString("DATA", "DIR", kMissing, profile);
    if (value == kMissing || value.find_first_not_of(" \t") == std::string::npos) {
        *error = kNoDataDirectory + "[DATA] DIR is not set in " + path;
        return false;
    }
    const std::string dir = withoutTrailingSeparators(value);
    if (dir.empty()) {
        *error = kNoDataDirectory + "[DATA] DIR in " + path + " names the root";
        return false;
    }
    fs::path folder(platHostPath(dir));
    if (folder.is_relative()) folder = fs::path(path).parent_path() / folder;
    store->dataDirectory = folder.string();
    store->origin = "from " + path;
    return true;
}

bool kvrStoreCheckFolder(const KVR_STORE& store, std::string* error) {
    return existingFolder(store.dataDirectory, store.origin, error);
}

bool kvrStoreFromProfile(KVR_STORE* store, std::string* error, const std::string& profile) {
    KVR_STORE read;
    if (!kvrStoreReadProfile(&read, error, profile) || !kvrStoreCheckFolder(read, error))
        return false;
    *store = std::move(read);
    return true;
}

bool kvrStoreFromFolder(const std::string& folder, const std::string& origin, bool make,
                        KVR_STORE* store, std::string* error) {
    const std::string dir = withoutTrailingSeparators(folder);
    if (dir.empty()) {
        *error = kNoDataDirectory + "\"" + folder + "\" (" + origin + ") " +
                 (folder.empty() ? "is empty" : "names the root");
        return false;
    }
    const std::string host = platHostPath(dir);
    std::error_code ec;
    if (make && !fs::is_directory(host, ec)) {
        fs::create_directories(host, ec);
        if (ec && !fs::is_directory(host)) {
            *error =
                "cannot make the data directory " + host + " (" + origin + "): " + ec.message();
            return false;
        }
    }
    if (!existingFolder(host, origin, error)) return false;
    store->dataDirectory = host;
    store->origin = origin;
    return true;
}

bool kvrStoreCheckWritable(const KVR_STORE& store, std::string* error) {
    // A file of a name no writer uses, made and removed again.
    const std::string probe =
        kvrFullPath(store.dataDirectory,
                    kvrFormat(".kvr-write-test-%lu", static_cast<unsigned long>(platProcessId())));
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    const bool written = f != nullptr && std::fclose(f) == 0;
    const int cause = errno;
    if (f != nullptr) std::remove(probe.c_str());
    if (written) return true;
    *error = "data directory " + store.dataDirectory + " (" + store.origin +
             ") cannot be written: " + std::strerror(cause);
    return false;
}

std::string kvrStorePath(const KVR_STORE& store, std::string_view relativePath) {
    return kvrFullPath(store.dataDirectory, relativePath);
}

std::string kvrCatalogPath(std::string_view relativePath) {
    std::string s(relativePath);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string kvrFullPath(std::string_view dataDirectory, std::string_view relativePath) {
    std::string dir = platHostPath(std::string(dataDirectory));
    while (dir.size() > 1 && isSeparator(dir.back())) dir.pop_back();
    std::string rel = platHostPath(std::string(relativePath));
    while (!rel.empty() && isSeparator(rel.front())) rel.erase(0, 1);
    if (dir.empty()) return rel;
    if (isSeparator(dir.back())) return dir + rel;
    // The host form of a path uses '/', which every host we build for accepts.
    return dir + "/" + rel;
}

bool kvrRelativePathIsSafe(std::string_view path) {
    if (path.empty() || isSeparator(path.front())) return false;
    if (path.find(':') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (path.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

bool kvrCodeIsValid(KvrCodeKind kind, std::string_view code, std::string* why) {
    auto refuse = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    if (kind == KvrCodeKind::Location && kvrLocationIsNone(code)) return true;
    if (code.empty()) return refuse("empty");
    for (unsigned char c : code) {
        if (std::isalnum(c) && c < 0x80) continue;
        if (c == '-' || c == '_') continue;
        if (c >= 0x20 && c < 0x7f) return refuse(kvrFormat("character '%c'", c));
        return refuse(kvrFormat("byte 0x%02x", c));
    }
    return true;
}

bool kvrLocationIsNone(std::string_view location) {
    if (location == "??") return true;
    return std::all_of(location.begin(), location.end(), [](char c) { return c == ' '; });
}

std::string kvrStoredLocation(std::string_view location) {
    return kvrLocationIsNone(location) ? std::string("??") : std::string(location);
}

std::string kvrFileName20(std::string_view station, std::string_view channel, double firstSample) {
    return kvrFileName20(station, channel, "", firstSample);
}

std::string kvrFileName20(std::string_view station, std::string_view channel,
                          std::string_view location, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) return {};
    const std::string time = kvrFormat("\\%02d%02d%04d-%02d%02d%02d-", t.day, t.month, t.year,
                                       t.hour, t.minute, t.second);
    if (kvrLocationIsNone(location)) return time + pad3(channel) + "." + pad3(station);
    return time + pad3(channel) + "." + std::string(location) + "." + pad3(station);
}

std::string kvrHourFolder20(std::string_view station, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) return {};
    return std::string(station) + kvrFormat("\\%02d", t.hour);
}

std::string kvrRelativePath20(std::string_view station, std::string_view channel,
                              double firstSample) {
    return kvrRelativePath20(station, channel, "", firstSample);
}

std::string kvrRelativePath20(std::string_view station, std::string_view channel,
                              std::string_view location, double firstSample) {
    std::string name = kvrFileName20(station, channel, location, firstSample);
    if (name.empty()) return {};
    return kvrHourFolder20(station, firstSample) + name;
}

std::string kvrFileName40(std::string_view station, std::string_view channel,
                          std::string_view location, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime40(firstSample, &t)) return {};
    const std::string time =
        kvrFormat("\\%03d%04d-%02d%02d%02d-", t.yday, t.year, t.hour, t.minute, t.second);
    if (kvrLocationIsNone(location)) return time + pad3(channel) + "." + pad3(station);
    return time + pad3(channel) + "." + std::string(location) + "." + pad3(station);
}

std::string kvrRelativePath40(std::string_view station, std::string_view channel,
                              std::string_view location, double firstSample) {
    std::string name = kvrFileName40(station, channel, location, firstSample);
    if (name.empty()) return {};
    return std::string(station) + name;
}

bool kvrRecorderNamesLocation(std::span<const std::pair<std::string, std::string>> stationChannels,
                              std::string_view channel, std::string_view location) {
    if (kvrLocationIsNone(location)) return false;
    for (const auto& [otherChannel, otherLocation] : stationChannels) {
        if (!equalIgnoringCase(otherChannel, channel)) continue;
        const bool sameLocation =
            kvrLocationIsNone(otherLocation) ? false : equalIgnoringCase(otherLocation, location);
        if (!sameLocation) return true;
    }
    return false;
}

bool kvrParseFileName(std::string_view relativePath, KVR_NAME_FIELDS* fields, std::string* why) {
    size_t slash = relativePath.find_last_of("/\\");
    std::string_view name =
        slash == std::string_view::npos ? relativePath : relativePath.substr(slash + 1);
    // DDMMYYYY-HHMMSS- (2.0) or DDDYYYY-HHMMSS- (4.0): the first dash tells which.
    const size_t dash = name.find('-');
    const int version = dash == 8 ? 20 : dash == 7 ? 40 : 0;
    int a = 0, b = 0, year = 0, hour = 0, minute = 0, second = 0;
    const size_t clock = dash + 1;
    const bool timeRead =
        version != 0 &&
        (version == 20 ? readDigits(name, 0, 2, &a) && readDigits(name, 2, 2, &b) &&
                             readDigits(name, 4, 4, &year)
                       : readDigits(name, 0, 3, &a) && readDigits(name, 3, 4, &year)) &&
        readDigits(name, clock, 2, &hour) && readDigits(name, clock + 2, 2, &minute) &&
        readDigits(name, clock + 4, 2, &second) && name.size() > clock + 6 &&
        name[clock + 6] == '-';
    if (!timeRead) {
        if (why) *why = "its name holds no time";
        return false;
    }
    std::vector<std::string_view> parts;
    std::string_view rest = name.substr(clock + 7);
    for (size_t start = 0;;) {
        const size_t dot = rest.find('.', start);
        parts.push_back(rest.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    KVR_NAME_FIELDS f;
    f.version = version;
    f.channel = withoutLeadingBlanks(parts.front());
    f.station = withoutLeadingBlanks(parts.back());
    f.namesLocation = parts.size() == 3;
    f.location = f.namesLocation ? std::string(parts[1]) : std::string("??");
    if ((parts.size() != 2 && parts.size() != 3) || f.channel.empty() || f.station.empty()) {
        if (why) *why = "its name holds no channel and station";
        return false;
    }
    // 2.0 names give day and month, 4.0 names the day of the year.
    const int yday = version == 20 ? utilMonthDayToYday(year, b, a) : a;
    const int daysOfYear = utilIsLeapYear(year) ? 366 : 365;
    const bool dateOk = year >= 1 &&
                        (version == 40 || (b >= 1 && b <= 12 && a >= 1 &&
                                           utilMonthDayToYday(year, b + 1, 1) > yday)) &&
                        yday >= 1 && yday <= daysOfYear && hour < 24 && minute < 60 && second < 60;
    if (!dateOk) {
        if (why) *why = "its name holds no date";
        return false;
    }
    f.firstSecond = utilYdhmsmToTime(year, yday, hour, minute, second, 0);
    *fields = std::move(f);
    return true;
}
