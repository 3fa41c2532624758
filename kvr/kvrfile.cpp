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

#include "kvr/format.h"
#include "platform/filewrite.h"
#include "util/util.h"

namespace {

constexpr char kHeaderFiller = ' ';

// A file name's fields of whole epoch seconds, through the library's calendar. False outside the
// years 1..9999 the calendar names.
bool nameTime(double wholeSeconds, KVR_NAME_TIME* out) {
    KVR_NAME_TIME t{};
    int msec = 0;
    utilTimeToYdhmsm(wholeSeconds, &t.year, &t.yday, &t.hour, &t.minute, &t.second, &msec);
    if (t.year == 0) return false;
    utilYdayToMonthDay(t.year, t.yday, &t.month, &t.day);
    *out = t;
    return true;
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
    UTIL_TSPLIT split;
    utilTimeSplit(epochSeconds, &split);
    if (split.year == 0) return false;
    *year = split.year;
    *month = split.month;
    *day = split.mday;
    *hour = split.hour;
    *minute = split.minute;
    *seconds = split.second;
    return true;
}

bool kvrNameTime20(double epochSeconds, KVR_NAME_TIME* out) {
    return std::isfinite(epochSeconds) && nameTime(std::floor(epochSeconds), out);
}

bool kvrNameTime40(double epochSeconds, KVR_NAME_TIME* out) {
    if (!std::isfinite(epochSeconds)) return false;
    double milliseconds = std::round(epochSeconds * 1000.0);
    return nameTime(std::floor(milliseconds / 1000.0), out);
}

bool BuildHeader20(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                   std::string_view channel, double sps, double firstSample) {
    KVR_NAME_TIME t;
    if (!kvrNameTime20(firstSample, &t)) {
        std::fill(block.begin(), block.end(), kHeaderFiller);
        return false;
    }
    return fillHeader(block, KVR_MAGIC_20, kvrFormat("%02d %02d %02d", t.hour, t.minute, t.second),
                      kvrFormat("%02d %02d %04d", t.day, t.month, t.year),
                      kvrFormat("%02d %02d %02d", 0, 0, 0), station, channel, sps);
}

bool kvrBuildHeader40(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                      std::string_view channel, double sps) {
    return fillHeader(block, KVR_MAGIC_40, kvrFormat("%02d %02d %02d", 0, 0, 0),
                      kvrFormat("%02d %02d %04d", 0, 0, 0), kvrFormat("%02d %02d %02d", 0, 0, 0),
                      station, channel, sps);
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

namespace {

// Reads and checks the header of an open file of size bytes; the file is left after the header.
bool readHeader(std::FILE* in, uint64_t size, const std::string& hostPath, KVR_FILE_INFO* info,
                std::string* error) {
    if (size < KVR_HEADER_SIZE) {
        setError(error, hostPath + ": not a KVR file: " + std::to_string(size) +
                            " bytes, shorter than the 512-byte header");
        return false;
    }
    char block[KVR_HEADER_SIZE];
    if (std::fread(block, 1, sizeof block, in) != sizeof block) {
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

// The file opened for reading with its size, or null with *error set.
std::FILE* openForReading(const std::string& hostPath, uint64_t* size, std::string* error) {
    std::FILE* in = std::fopen(hostPath.c_str(), "rb");
    if (in == nullptr) {
        std::error_code ec(errno, std::generic_category());
        setError(error, hostPath + ": " + ec.message());
        return nullptr;
    }
    std::error_code ec;
    *size = std::filesystem::file_size(hostPath, ec);
    if (ec) {
        std::fclose(in);
        setError(error, hostPath + ": " + ec.message());
        return nullptr;
    }
    return in;
}

// Little-endian samples as floats of the host, in place.
void samplesFromLittleEndian(float* samples, size_t count) {
    if constexpr (std::endian::native == std::endian::little) return;
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(samples + i);
        for (size_t b = 0; b < KVR_SAMPLE_SIZE; ++b) v |= uint32_t(bytes[b]) << (8 * b);
        samples[i] = std::bit_cast<float>(v);
    }
}

}  // namespace

bool kvrReadHeader(const std::string& hostPath, KVR_FILE_INFO* info, std::string* error) {
    uint64_t size = 0;
    std::FILE* in = openForReading(hostPath, &size, error);
    if (in == nullptr) return false;
    const bool ok = readHeader(in, size, hostPath, info, error);
    std::fclose(in);
    return ok;
}

bool kvrReadFile(const std::string& hostPath, KVR_FILE_INFO* info, std::vector<float>* samples,
                 std::string* error) {
    KvrSampleReader reader;
    KVR_FILE_INFO header;
    if (!reader.Read(hostPath, &header, error)) return false;
    samples->assign(reader.Samples().begin(), reader.Samples().end());
    *info = std::move(header);
    return true;
}

bool KvrSampleReader::Read(const std::string& hostPath, KVR_FILE_INFO* info, std::string* error) {
    count_ = 0;
    uint64_t size = 0;
    std::FILE* in = openForReading(hostPath, &size, error);
    if (in == nullptr) return false;
    KVR_FILE_INFO header;
    bool ok = readHeader(in, size, hostPath, &header, error);
    const size_t count = ok ? size_t(header.sampleCount) : 0;
    if (ok && count > capacity_) {
        // Made without being cleared: the read fills it.
        buffer_.reset(new float[count]);
        capacity_ = count;
    }
    if (ok && count > 0 && std::fread(buffer_.get(), KVR_SAMPLE_SIZE, count, in) != count) {
        setError(error, hostPath + ": cannot read the samples");
        ok = false;
    }
    std::fclose(in);
    if (!ok) return false;
    samplesFromLittleEndian(buffer_.get(), count);
    count_ = count;
    *info = std::move(header);
    return true;
}
