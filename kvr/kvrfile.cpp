// KVR file times, names, headers, writing and reading. The layout is documented in kvrfile.h.
#include "kvr/kvrfile.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "platform/filewrite.h"

namespace {

constexpr double kSecondsFrom0001To1970 = 62135596800.0;
constexpr double kSecondsPerDay = 86400.0;
constexpr int64_t kDaysPer400Years = 146097;
constexpr int64_t kDaysPer100Years = 36524;
constexpr int64_t kDaysPer4Years = 1461;
constexpr int64_t kDaysPerYear = 365;
constexpr int64_t kDaysFrom0001To10000 = 3652059;  // the calendar we name ends with year 9999
constexpr char kHeaderFiller = ' ';

bool isLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Day count from 0001-01-01 (day 0) to year, month, day and day of year, through the 400, 100,
// 4 and 1 year cycles of the proleptic Gregorian calendar.
void splitDayCount(int64_t days, int* year, int* month, int* day, int* yday) {
    int64_t n400 = days / kDaysPer400Years;
    int64_t rest = days % kDaysPer400Years;
    int64_t n100 = std::min<int64_t>(rest / kDaysPer100Years, 3);  // day 146096 is in century 3
    rest -= n100 * kDaysPer100Years;
    int64_t n4 = rest / kDaysPer4Years;
    rest -= n4 * kDaysPer4Years;
    int64_t n1 = std::min<int64_t>(rest / kDaysPerYear, 3);  // day 1460 is the leap day of year 3
    rest -= n1 * kDaysPerYear;
    int y = static_cast<int>(1 + n400 * 400 + n100 * 100 + n4 * 4 + n1);
    static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    *year = y;
    *yday = static_cast<int>(rest) + 1;
    int m = 0;
    while (m < 12) {
        int length = kMonthDays[m] + (m == 1 && isLeap(y) ? 1 : 0);
        if (rest < length) break;
        rest -= length;
        ++m;
    }
    *month = m + 1;
    *day = static_cast<int>(rest) + 1;
}

// The whole split on doubles, so that 59.9999999 s never turns into 60 through a float.
bool splitTime(double epochSeconds, int* year, int* month, int* day, int* yday, int* hour,
               int* minute, double* seconds) {
    if (!std::isfinite(epochSeconds)) return false;
    double total = epochSeconds + kSecondsFrom0001To1970;
    double dayCount = std::floor(total / kSecondsPerDay);
    if (dayCount < 0 || dayCount >= static_cast<double>(kDaysFrom0001To10000)) return false;
    double secondOfDay = total - dayCount * kSecondsPerDay;
    if (secondOfDay < 0) secondOfDay = 0;
    if (secondOfDay >= kSecondsPerDay) secondOfDay = std::nextafter(kSecondsPerDay, 0.0);
    splitDayCount(static_cast<int64_t>(dayCount), year, month, day, yday);
    int whole = static_cast<int>(secondOfDay);
    *hour = whole / 3600;
    *minute = whole % 3600 / 60;
    *seconds = secondOfDay - (*hour * 3600 + *minute * 60);
    return true;
}

bool nameTime(double epochSeconds, KVR_NAME_TIME* out) {
    double seconds = 0;
    KVR_NAME_TIME t{};
    if (!splitTime(epochSeconds, &t.year, &t.month, &t.day, &t.yday, &t.hour, &t.minute, &seconds))
        return false;
    t.second = std::clamp(static_cast<int>(seconds), 0, 59);
    *out = t;
    return true;
}

// printf's "%3s": left-padded with blanks to three characters, never shortened.
std::string pad3(std::string_view code) {
    std::string s(code);
    if (s.size() < 3) s.insert(0, 3 - s.size(), ' ');
    return s;
}

std::string format(const char* fmt, auto... args) {
    int n = std::snprintf(nullptr, 0, fmt, args...);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(s.data(), s.size(), fmt, args...);
    s.resize(static_cast<size_t>(n));
    return s;
}

// Header text from the three time fields (already formatted), the rate and the codes.
bool fillHeader(std::span<char, KVR_HEADER_SIZE> block, const char* magic,
                const std::string& startTime, const std::string& startDate,
                const std::string& duration, std::string_view station, std::string_view channel,
                double sps) {
    std::fill(block.begin(), block.end(), kHeaderFiller);
    std::string text;
    text += magic;
    text += "\r\n";
    text += "Data offset=512\r\n";
    text += "Start time=" + startTime + "\r\n";
    text += "Start date=" + startDate + "\r\n";
    text += "Time duration=" + duration + "\r\n";
    text += "Data Type=FLOAT\r\n";
    text += "SpS=" + kvrFixedNumber(sps) + "\r\n";
    text += "Gain=1\r\n";
    text += "Station=" + std::string(station) + "\r\n";
    text += "Channels=\"" + std::string(channel) + "\"\r\n";
    if (text.size() + 1 > KVR_HEADER_SIZE) return false;
    std::copy(text.begin(), text.end(), block.begin());
    block[text.size()] = '\0';
    return true;
}

// Samples go to disk little-endian whatever the host's order.
// The samples as the file stores them (IEEE floats, little-endian): on a little-endian host the
// array itself, elsewhere a swapped copy made in scratch.
std::span<const char> littleEndianBytes(std::span<const float> samples,
                                        std::vector<char>& scratch) {
    static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == KVR_SAMPLE_SIZE);
    if constexpr (std::endian::native == std::endian::little)
        return {reinterpret_cast<const char*>(samples.data()), samples.size_bytes()};
    scratch.resize(samples.size() * KVR_SAMPLE_SIZE);
    for (size_t i = 0; i < samples.size(); ++i) {
        uint32_t v = std::bit_cast<uint32_t>(samples[i]);
        for (size_t b = 0; b < KVR_SAMPLE_SIZE; ++b)
            scratch[i * KVR_SAMPLE_SIZE + b] = static_cast<char>((v >> (8 * b)) & 0xff);
    }
    return scratch;
}

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// Reads exactly size bytes at offset of the file; false when it cannot be opened or is shorter.
bool readBytes(const std::string& hostPath, long offset, void* buffer, size_t size) {
    std::FILE* in = std::fopen(hostPath.c_str(), "rb");
    if (!in) return false;
    bool ok = std::fseek(in, offset, SEEK_SET) == 0 && std::fread(buffer, 1, size, in) == size;
    std::fclose(in);
    return ok;
}

}  // namespace

bool SplitEpochTime(double epochSeconds, int* year, int* month, int* day, int* hour, int* minute,
                    float* seconds) {
    int y, mo, d, yd, h, mi;
    double s;
    if (!splitTime(epochSeconds, &y, &mo, &d, &yd, &h, &mi, &s)) return false;
    *year = y;
    *month = mo;
    *day = d;
    *hour = h;
    *minute = mi;
    *seconds = static_cast<float>(s);
    return true;
}

bool kvrNameTime20(double epochSeconds, KVR_NAME_TIME* out) {
    return nameTime(epochSeconds, out);
}

bool kvrNameTime40(double epochSeconds, KVR_NAME_TIME* out) {
    if (!std::isfinite(epochSeconds)) return false;
    double milliseconds = std::round(epochSeconds * 1000.0);
    return nameTime(std::floor(milliseconds / 1000.0), out);
}

bool kvrLocationIsNone(std::string_view location) {
    if (location == "??") return true;
    return std::all_of(location.begin(), location.end(), [](char c) { return c == ' '; });
}

std::string kvrStoredLocation(std::string_view location) {
    return kvrLocationIsNone(location) ? std::string("??") : std::string(location);
}

std::string kvrFileName20(std::string_view station, std::string_view channel, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) return {};
    return format("\\%02d%02d%04d-%02d%02d%02d-%s.%s", t.day, t.month, t.year, t.hour, t.minute,
                  t.second, pad3(channel).c_str(), pad3(station).c_str());
}

std::string kvrHourFolder20(std::string_view station, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) return {};
    return std::string(station) + format("\\%02d", t.hour);
}

std::string kvrRelativePath20(std::string_view station, std::string_view channel,
                              double firstSample) {
    std::string name = kvrFileName20(station, channel, firstSample);
    if (name.empty()) return {};
    return kvrHourFolder20(station, firstSample) + name;
}

std::string kvrFileName40(std::string_view station, std::string_view channel,
                          std::string_view location, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime40(firstSample, &t)) return {};
    if (kvrLocationIsNone(location))
        return format("\\%03d%04d-%02d%02d%02d-%s.%s", t.yday, t.year, t.hour, t.minute, t.second,
                      pad3(channel).c_str(), pad3(station).c_str());
    return format("\\%03d%04d-%02d%02d%02d-%s.%s.%s", t.yday, t.year, t.hour, t.minute, t.second,
                  pad3(channel).c_str(), std::string(location).c_str(), pad3(station).c_str());
}

std::string kvrRelativePath40(std::string_view station, std::string_view channel,
                              std::string_view location, double firstSample) {
    std::string name = kvrFileName40(station, channel, location, firstSample);
    if (name.empty()) return {};
    return std::string(station) + name;
}

std::string kvrCatalogPath(std::string_view relativePath) {
    std::string s(relativePath);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string kvrFullPath(std::string_view dataDirectory, std::string_view relativePath) {
    std::string dir(dataDirectory);
    std::replace(dir.begin(), dir.end(), '\\', '/');
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string rel = kvrCatalogPath(relativePath);
    while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
    if (dir.empty()) return rel;
    if (dir == "/") return "/" + rel;
    return dir + "/" + rel;
}

bool BuildHeader20(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                   std::string_view channel, double sps, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) {
        std::fill(block.begin(), block.end(), kHeaderFiller);
        return false;
    }
    return fillHeader(block, KVR_MAGIC_20, format("%02d %02d %02d", t.hour, t.minute, t.second),
                      format("%02d %02d %04d", t.day, t.month, t.year),
                      format("%02d %02d %02d", 0, 0, 0), station, channel, sps);
}

bool kvrBuildHeader40(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                      std::string_view channel, double sps) {
    return fillHeader(block, KVR_MAGIC_40, format("%02d %02d %02d", 0, 0, 0),
                      format("%02d %02d %04d", 0, 0, 0), format("%02d %02d %02d", 0, 0, 0), station,
                      channel, sps);
}

std::string kvrFixedNumber(double value) {
    // to_chars does not look at the locale, unlike printf.
    constexpr int kFixedDecimals = 6;
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                   kFixedDecimals);
    if (ec != std::errc()) return "0.000000";
    return std::string(buffer, end);
}

bool kvrCreateFile(const std::string& hostPath, std::span<const char, KVR_HEADER_SIZE> header,
                   std::span<const float> samples, std::string* error) {
    std::vector<char> scratch;
    std::span<const char> bytes = littleEndianBytes(samples, scratch);
    std::string why;
    bool opened = false;
    if (platWriteFile(hostPath, true, {header, bytes}, &why, &opened)) return true;
    setError(error, (opened ? "cannot write " : "cannot create ") + hostPath + ": " + why);
    return false;
}

bool kvrAppendSamples(const std::string& hostPath, std::span<const float> samples,
                      std::string* error, long long* sizeBefore) {
    // The file is opened without being created: a file that vanished must not come back as a
    // headerless stub.
    std::vector<char> scratch;
    std::span<const char> bytes = littleEndianBytes(samples, scratch);
    std::string why;
    bool opened = false;
    if (platWriteFile(hostPath, false, {bytes}, &why, &opened, sizeBefore)) return true;
    setError(error, (opened ? "cannot write " : "cannot open ") + hostPath + ": " + why);
    return false;
}

bool kvrMakeFolders(const std::string& hostPath, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(hostPath, ec);
    if (ec && !std::filesystem::is_directory(hostPath)) {
        setError(error, "cannot create folder " + hostPath + ": " + ec.message());
        return false;
    }
    return true;
}

bool kvrLooksLikeKvrFile(const std::string& hostPath) {
    char magic[4] = {};
    return readBytes(hostPath, 0, magic, sizeof magic) &&
           std::memcmp(magic, "[KVR", sizeof magic) == 0;
}

bool kvrReadHeader(const std::string& hostPath, KVR_FILE_INFO* info, std::string* error) {
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(hostPath, ec);
    if (ec) {
        setError(error, hostPath + ": " + ec.message());
        return false;
    }
    if (size < KVR_HEADER_SIZE) {
        setError(error, hostPath + ": not a KVR file: " + std::to_string(size) +
                            " bytes, shorter than the 512-byte header");
        return false;
    }
    char block[KVR_HEADER_SIZE];
    if (!readBytes(hostPath, 0, block, sizeof block)) {
        setError(error, hostPath + ": cannot read the header");
        return false;
    }
    const char* end = static_cast<const char*>(std::memchr(block, '\0', sizeof block));
    if (!end) {
        setError(error, hostPath + ": not a KVR file: the header has no terminating zero byte");
        return false;
    }
    std::string_view text(block, static_cast<size_t>(end - block));
    KVR_FILE_INFO result;
    bool first = true;
    while (!text.empty()) {
        size_t eol = text.find("\r\n");
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 2);
        if (first) {
            if (line.size() < 6 || !line.starts_with("[KVR") || !line.ends_with("]")) {
                setError(error, hostPath +
                                    ": not a KVR file: the first header line is not a "
                                    "KVR version");
                return false;
            }
            result.version = std::string(line.substr(4, line.size() - 5));
            first = false;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key(line.substr(0, eq));
        std::string value(line.substr(eq + 1));
        if (key == "Data offset") result.dataOffset = std::strtol(value.c_str(), nullptr, 10);
        if (key == "SpS") result.sps = std::strtod(value.c_str(), nullptr);
        if (key == "Station") result.station = value;
        if (key == "Channels") {
            result.channel = value;
            if (result.channel.size() >= 2 && result.channel.front() == '"' &&
                result.channel.back() == '"')
                result.channel = result.channel.substr(1, result.channel.size() - 2);
        }
        result.lines.emplace_back(std::move(key), std::move(value));
    }
    if (first) {
        setError(error, hostPath + ": not a KVR file: empty header");
        return false;
    }
    if (result.dataOffset != static_cast<long>(KVR_HEADER_SIZE)) {
        setError(error, hostPath + ": unsupported data offset " +
                            std::to_string(result.dataOffset) + " (expected 512)");
        return false;
    }
    result.fileSize = size;
    result.sampleCount = (size - KVR_HEADER_SIZE) / KVR_SAMPLE_SIZE;
    *info = std::move(result);
    return true;
}

bool kvrReadFile(const std::string& hostPath, KVR_FILE_INFO* info, std::vector<float>* samples,
                 std::string* error) {
    KVR_FILE_INFO header;
    if (!kvrReadHeader(hostPath, &header, error)) return false;
    std::vector<unsigned char> bytes(header.sampleCount * KVR_SAMPLE_SIZE);
    if (!readBytes(hostPath, KVR_HEADER_SIZE, bytes.data(), bytes.size())) {
        setError(error, hostPath + ": cannot read the samples");
        return false;
    }
    std::vector<float> values(header.sampleCount);
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t v = 0;
        for (size_t b = 0; b < KVR_SAMPLE_SIZE; ++b)
            v |= static_cast<uint32_t>(bytes[i * KVR_SAMPLE_SIZE + b]) << (8 * b);
        values[i] = std::bit_cast<float>(v);
    }
    *info = std::move(header);
    *samples = std::move(values);
    return true;
}
