#include "gleaner/spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "gleaner/kvrwriter.h"

namespace {

constexpr size_t kStationAt = 0;
constexpr size_t kChannelAt = 8;
constexpr size_t kLocationAt = 12;
constexpr size_t kFactorAt = 24;
constexpr size_t kMultiplierAt = 26;
constexpr size_t kFirstTimeAt = 40;
constexpr size_t kLastTimeAt = 56;
constexpr size_t kCountAt = 96;
constexpr size_t kCompressAt = 100;
constexpr size_t kTypeAt = 101;
constexpr size_t kOrderAt = 102;
constexpr size_t kBytesAt = 104;

template <typename T>
void put(uint8_t* image, size_t at, T value) {
    std::memcpy(image + at, &value, sizeof value);
}
template <typename T>
T get(const uint8_t* image, size_t at) {
    T value;
    std::memcpy(&value, image + at, sizeof value);
    return value;
}

// Up to width - 1 characters; the image is zeroed, so the text stays terminated.
void putText(uint8_t* image, size_t at, size_t width, const char* text) {
    std::memcpy(image + at, text, strnlen(text, width - 1));
}
void getText(const uint8_t* image, size_t at, size_t width, char* out, size_t outSize) {
    size_t n = strnlen(reinterpret_cast<const char*>(image + at), width);
    if (n >= outSize) n = outSize - 1;
    std::memcpy(out, image + at, n);
    out[n] = '\0';
}

// The folder given, else the system's temporary folder ($TMPDIR or /tmp; Windows' TEMP).
std::string spoolFolder(const std::string& directory) {
    if (!directory.empty()) return directory;
    std::error_code ec;
    std::string tmp = std::filesystem::temp_directory_path(ec).string();
    return ec ? std::string(".") : tmp;
}

}  // namespace

bool CSpoolFile::Create(const std::string& directory) {
    Close();
    std::string error;
    fd_ = platOpenScratchFile(spoolFolder(directory), &error);
    size_ = 0;
    records_ = 0;
    failed_ = false;
    used_ = 0;
    ends_.clear();
    return fd_ >= 0;
}

bool CSpoolFile::Append(const ISI_TS_PACKET& packet) {
    if (fd_ < 0 || failed_) return false;
    uint8_t image[kSpoolHeaderSize] = {};
    putText(image, kStationAt, kChannelAt - kStationAt, packet.name.sta);
    putText(image, kChannelAt, kLocationAt - kChannelAt, packet.name.chn);
    putText(image, kLocationAt, 4, packet.name.loc);
    put(image, kFactorAt, packet.factor);
    put(image, kMultiplierAt, packet.multiplier);
    put(image, kFirstTimeAt, packet.tofs);
    put(image, kLastTimeAt, packet.tols);
    put(image, kCountAt, packet.nsamp);
    put(image, kCompressAt, packet.compress);
    put(image, kTypeAt, packet.datatype);
    put(image, kOrderAt, packet.order);
    put(image, kBytesAt, packet.nbytes);

    // One write per buffer instead of one per packet: a run spools tens of thousands of packets.
    const uint64_t total = kSpoolHeaderSize + packet.nbytes;
    if (!buffer_) buffer_.reset(new (std::nothrow) uint8_t[kSpoolBufferSize]);
    if (used_ + total > kSpoolBufferSize && !Flush()) return false;
    if (buffer_ && total <= kSpoolBufferSize) {
        std::memcpy(buffer_.get() + used_, image, kSpoolHeaderSize);
        if (packet.nbytes > 0)
            std::memcpy(buffer_.get() + used_ + kSpoolHeaderSize, packet.data, packet.nbytes);
        used_ += total;
        ends_.push_back(uint32_t(used_));
        return true;
    }
    // No buffer to be had, or a record larger than it: straight to the file.
    PLAT_IOVEC parts[2] = {{image, kSpoolHeaderSize}, {packet.data, packet.nbytes}};
    const bool whole = WriteOut(parts, packet.nbytes > 0 ? 2 : 1, total) == total;
    if (whole) ++records_;
    failed_ = !whole;
    return whole;
}

bool CSpoolFile::Flush() {
    if (fd_ < 0 || failed_) return false;
    if (used_ == 0) return true;
    PLAT_IOVEC part = {buffer_.get(), used_};
    const uint64_t written = WriteOut(&part, 1, used_);
    for (uint32_t end : ends_)
        if (end <= written) ++records_;
    failed_ = written < used_;
    used_ = 0;
    ends_.clear();
    return !failed_;
}

uint64_t CSpoolFile::WriteOut(const PLAT_IOVEC* parts, int count, uint64_t total) {
    uint64_t allowed = total;
    if (limit_ != 0) allowed = size_ >= limit_ ? 0 : std::min<uint64_t>(total, limit_ - size_);
    uint64_t written = 0;
    while (written < allowed) {
        // Skip what is already out, then write no more than allowed.
        PLAT_IOVEC rest[2];
        int n = platIovecRemainder(parts, count, written, rest);
        uint64_t budget = allowed - written;
        int kept = 0;
        for (int i = 0; i < n && budget > 0; ++i, ++kept) {
            rest[i].len = size_t(std::min<uint64_t>(rest[i].len, budget));
            budget -= rest[i].len;
        }
        long r = platWriteGathered(fd_, rest, kept);
        if (r <= 0) break;
        written += uint64_t(r);
    }
    size_ += written;
    if (written < total && allowed < total) errno = ENOSPC;
    return written;
}

bool CSpoolFile::Rewind() {
    if (fd_ < 0) return false;
    Flush();  // a failure was reported to the writer already; what reached the file is read back
    return platRewindFile(fd_);
}

void CSpoolFile::Close() {
    platCloseFile(fd_);
    fd_ = -1;
    used_ = 0;
    ends_.clear();
}

long CSpoolReader::Read(uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (position_ == valid_) {
            if (!buffer_) {
                buffer_.reset(new (std::nothrow) uint8_t[kSpoolBufferSize]);
                if (!buffer_) return -1;
            }
            long r = platReadFile(fd_, buffer_.get(), kSpoolBufferSize);
            if (r < 0) return -1;
            valid_ = size_t(r);
            position_ = 0;
            if (r == 0) break;
        }
        size_t take = std::min(n - done, valid_ - position_);
        std::memcpy(out + done, buffer_.get() + position_, take);
        position_ += take;
        done += take;
    }
    return long(done);
}

long CSpoolReader::ReadRecord(SPOOL_RECORD* record) {
    uint8_t image[kSpoolHeaderSize];
    long got = Read(image, kSpoolHeaderSize);
    if (got < 0) return kSpoolReadError;
    if (got == 0) return kSpoolEnd;
    if (size_t(got) < kSpoolHeaderSize) {
        std::fprintf(stderr, "gleaner: spool record cut short after %ld bytes dropped\n", got);
        return kSpoolEnd;
    }
    getText(image, kStationAt, kChannelAt - kStationAt, record->station, sizeof record->station);
    getText(image, kChannelAt, kLocationAt - kChannelAt, record->channel, sizeof record->channel);
    getText(image, kLocationAt, 4, record->location, sizeof record->location);
    record->factor = get<int16_t>(image, kFactorAt);
    record->multiplier = get<int16_t>(image, kMultiplierAt);
    record->tofs = get<double>(image, kFirstTimeAt);
    record->tols = get<double>(image, kLastTimeAt);
    record->nsamp = get<uint32_t>(image, kCountAt);
    record->compress = get<uint8_t>(image, kCompressAt);
    record->datatype = get<uint8_t>(image, kTypeAt);
    record->order = get<uint8_t>(image, kOrderAt);
    record->nbytes = get<uint32_t>(image, kBytesAt);
    // No packet of the library is larger than a frame: anything else is not our record.
    if (record->nbytes > ISI_MAX_FRAME_PAYLOAD) return kSpoolReadError;
    record->data.reset(new (std::nothrow) uint8_t[record->nbytes > 0 ? record->nbytes : 1]);
    if (!record->data) return kSpoolNoMemory;
    got = Read(record->data.get(), record->nbytes);
    if (got < 0) return kSpoolReadError;
    // A record cut short by a failed write (already reported as such) ends the spool.
    if (size_t(got) < record->nbytes) return kSpoolEnd;
    return long(kSpoolHeaderSize + record->nbytes);
}
