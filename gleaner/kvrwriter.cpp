#include "gleaner/kvrwriter.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "kvr/kvrfile.h"

namespace {

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

bool gleanerCodeIsSafe(const std::string& code, bool mayBeEmpty, std::string* why) {
    auto refuse = [why](const char* text) {
        if (why) *why = text;
        return false;
    };
    if (code.empty() || code == ".") {
        if (code.empty() && mayBeEmpty) return true;
        return refuse("empty code");
    }
    for (unsigned char c : code) {
        if (c == '/' || c == '\\') return refuse("path separator");
        if (c == '\'' || c == '"') return refuse("quote");
        if (c < 0x20 || c == 0x7f) return refuse("control character");
    }
    if (code.find("..") != std::string::npos) return refuse("\"..\"");
    return true;
}

CKvrWriter::CKvrWriter(KvrConnection* db, std::string creator)
    : fileList_(db), creator_(std::move(creator)) {}

void CKvrWriter::SetDataDirectory(const std::string& directory) {
    dataDirectory_ = directory;
}

bool CKvrWriter::AddSamples(const std::string& station, const std::string& channel,
                            const std::string& location, double rate, double start, int count,
                            const int32_t* samples) {
    std::string why;
    if (!gleanerCodeIsSafe(station, false, &why) || !gleanerCodeIsSafe(channel, false, &why) ||
        !gleanerCodeIsSafe(location, true, &why)) {
        std::fprintf(stderr, "gleaner: packet of %s.%s.%s refused: %s in a code\n", station.c_str(),
                     channel.c_str(), location.c_str(), why.c_str());
        return false;
    }
    if (!std::isfinite(rate) || rate <= 0.0 || !std::isfinite(start)) {
        std::fprintf(stderr, "gleaner: packet of %s.%s.%s refused: sample rate %g\n",
                     station.c_str(), channel.c_str(), location.c_str(), rate);
        return false;
    }
    if (count <= 0) return true;
    CStationBuf* owner = nullptr;
    CChannelBuf* buf = FindChannel(station, channel, location, rate, &owner);
    for (int k = 0; k < count; k += kChunkSamples) {
        int n = std::min(kChunkSamples, count - k);
        AddChunk(*owner, *buf, rate, start + k / rate, n, samples + k);
    }
    return true;
}

CChannelBuf* CKvrWriter::FindChannel(const std::string& station, const std::string& channel,
                                     const std::string& location, double rate,
                                     CStationBuf** owner) {
    CStationBuf* sta = nullptr;
    for (auto& s : stations_)
        if (s->station == station) sta = s.get();
    if (sta == nullptr) {
        stations_.push_back(std::make_unique<CStationBuf>(station));
        sta = stations_.back().get();
    }
    *owner = sta;
    for (auto& c : sta->channels)
        if (equalIgnoringCase(c->channel, channel) && equalIgnoringCase(c->location, location))
            return c.get();
    sta->channels.push_back(std::make_unique<CChannelBuf>(channel, location, rate));
    return sta->channels.back().get();
}

void CKvrWriter::AddChunk(CStationBuf& station, CChannelBuf& buf, double rate, double start,
                          int count, const int32_t* samples) {
    const double interval = 1.0 / rate;
    const bool continues = std::fabs(buf.blockStart + buf.blockDuration - start) <= interval;
    if (continues && buf.blockCount + count <= kMaxBlockSamples && buf.rate > kSlowChannelRate) {
        for (int i = 0; i < count; ++i) buf.block[buf.blockCount + i] = float(samples[i]);
        buf.blockDuration += count * interval;
        buf.blockCount += count;
        return;
    }
    WriteBlock(station, buf);
    buf.blockStart = start;
    buf.blockDuration = count * interval;
    buf.blockCount = count;
    for (int i = 0; i < count; ++i) buf.block[i] = float(samples[i]);
}

void CKvrWriter::FlushAll() {
    for (auto& s : stations_)
        for (auto& c : s->channels) WriteBlock(*s, *c);
}

void CKvrWriter::WriteBlock(CStationBuf& station, CChannelBuf& buf) {
    if (buf.blockCount == 0) return;
    const double interval = 1.0 / buf.rate;
    bool written = false;
    if (std::fabs(buf.fileStart + buf.fileDuration - buf.blockStart) <= interval) {
        if (AppendBlock(kvrFullPath(dataDirectory_, buf.relativePath), buf)) {
            written = true;
            buf.fileDuration += buf.blockDuration;
            WriteRow(KvrRowMode::Update, station, buf);
            if (buf.fileDuration > station.fileLengthMinutes * 60.0 - 1.0) {
                buf.fileStart = 0.0;
                buf.fileDuration = 0.0;
            }
        }
    } else {
        buf.fileStart = buf.blockStart;
        buf.fileDuration = buf.blockDuration;
        buf.relativePath =
            kvrRelativePath40(station.station, buf.channel, buf.location, buf.fileStart);
        std::string fullPath = kvrFullPath(dataDirectory_, buf.relativePath);
        if (!buf.relativePath.empty() && CreateFileWithBlock(fullPath, station, buf)) {
            written = true;
            WriteRow(KvrRowMode::Insert, station, buf);
        } else {
            // No file: the next block must not try to extend one.
            buf.fileStart = 0.0;
            buf.fileDuration = 0.0;
        }
    }
    if (written) {
        if (buf.samplesWritten == 0) buf.firstWritten = buf.blockStart;
        buf.lastWritten = buf.blockStart + (buf.blockCount - 1) * interval;
        buf.samplesWritten += uint64_t(buf.blockCount);
    } else {
        ++droppedBlocks_;
    }
    buf.blockStart = 0.0;
    buf.blockDuration = 0.0;
    buf.blockCount = 0;
}

bool CKvrWriter::AppendBlock(const std::string& fullPath, const CChannelBuf& buf) {
    std::error_code ec;
    const uintmax_t sizeBefore = std::filesystem::file_size(fullPath, ec);
    std::string error;
    if (!ec &&
        kvrAppendSamples(fullPath, std::span<const float>(buf.block, buf.blockCount), &error))
        return true;
    // A short write (full disk) must not leave part of a block that no row accounts for.
    if (!ec) std::filesystem::resize_file(fullPath, sizeBefore, ec);
    std::fprintf(stderr, "gleaner: block of %d samples lost: %s\n", buf.blockCount,
                 error.empty() ? fullPath.c_str() : error.c_str());
    return false;
}

bool CKvrWriter::CreateFileWithBlock(const std::string& fullPath, const CStationBuf& station,
                                     const CChannelBuf& buf) {
    std::string error;
    // Only the station's folder is made: a data directory that does not exist is a fault of the
    // set-up, and files must not appear somewhere else instead.
    const std::string stationFolder = kvrFullPath(dataDirectory_, station.station);
    std::error_code ec;
    std::filesystem::create_directory(stationFolder, ec);
    std::array<char, KVR_HEADER_SIZE> header;
    if (kvrBuildHeader40(header, station.station, buf.channel, buf.rate) &&
        kvrCreateFile(fullPath, header, std::span<const float>(buf.block, buf.blockCount), &error))
        return true;
    // A file cut short by a failed write goes; one that could not even be opened was not touched.
    if (error.rfind("cannot write", 0) == 0) std::filesystem::remove(fullPath, ec);
    std::fprintf(stderr, "gleaner: block of %d samples lost: %s\n", buf.blockCount,
                 error.empty() ? fullPath.c_str() : error.c_str());
    return false;
}

void CKvrWriter::WriteRow(KvrRowMode mode, const CStationBuf& station, const CChannelBuf& buf) {
    if (!fileList_.WriteRow(mode, buf.relativePath, station.station, buf.channel, buf.location,
                            buf.rate, buf.fileStart, buf.fileDuration, creator_)) {
        ++rowErrors_;
        std::fprintf(stderr, "gleaner: FILELIST row of %s rolled back: %s\n",
                     kvrCatalogPath(buf.relativePath).c_str(), fileList_.Message().c_str());
    }
}

std::vector<GLEANER_RESULT_ENTRY> CKvrWriter::Results() const {
    std::vector<GLEANER_RESULT_ENTRY> out;
    for (const auto& s : stations_)
        for (const auto& c : s->channels) {
            if (c->samplesWritten == 0) continue;
            out.push_back({s->station, c->channel, c->location, c->rate, c->firstWritten,
                           c->lastWritten, c->samplesWritten});
        }
    return out;
}
