#include "gleaner/kvrwriter.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "kvr/kvrfile.h"
#include "kvr/owners.h"
#include "kvr/store.h"
#include "util/util.h"

namespace {

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

std::string gleanerStreamName(const std::string& station, const std::string& channel,
                              const std::string& location) {
    std::string name = station + "." + channel;
    if (!kvrLocationIsNone(location)) name += "." + location;
    return name;
}

CKvrWriter::CKvrWriter(KvrConnection* db, std::string creator)
    : fileList_(db), creator_(std::move(creator)) {}

bool CKvrWriter::AddSamples(const std::string& station, const std::string& channel,
                            const std::string& location, double rate, double start, int count,
                            const float* samples, std::string* why) {
    std::string fault;
    if (!kvrCodeIsValid(KvrCodeKind::Station, station, &fault) ||
        !kvrCodeIsValid(KvrCodeKind::Channel, channel, &fault) ||
        !kvrCodeIsValid(KvrCodeKind::Location, location, &fault)) {
        if (why) *why = fault + " in a code";
        return false;
    }
    if (!std::isfinite(rate) || rate <= 0.0) {
        if (why) *why = "its sample rate " + std::to_string(rate) + " is not a positive number";
        return false;
    }
    if (!std::isfinite(start)) {
        if (why) *why = "the time of its first sample is not a number";
        return false;
    }
    if (count <= 0) return true;
    CStationBuf* owner = nullptr;
    CChannelBuf* buf = FindChannel(station, channel, location, rate, &owner);
    GLEANER_RESULT_ENTRY& account = buf->account;
    if (account.samplesReceived == 0)
        account.firstReceived = start;
    else if (std::fabs(account.lastReceived + 1.0 / rate - start) > 1.0 / rate)
        ++account.receivedBreaks;
    account.lastReceived = start + (count - 1) / rate;
    account.samplesReceived += uint64_t(count);
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
                          int count, const float* samples) {
    const double interval = 1.0 / rate;
    const bool continues = std::fabs(buf.blockStart + buf.blockDuration - start) <= interval;
    if (continues && buf.blockCount + count <= kMaxBlockSamples && buf.rate > kSlowChannelRate) {
        std::copy(samples, samples + count, buf.block + buf.blockCount);
        buf.blockDuration += count * interval;
        buf.blockCount += count;
        return;
    }
    WriteBlock(station, buf);
    buf.blockStart = start;
    buf.blockDuration = count * interval;
    buf.blockCount = count;
    std::copy(samples, samples + count, buf.block);
}

void CKvrWriter::FlushAll() {
    for (auto& s : stations_)
        for (auto& c : s->channels) WriteBlock(*s, *c);
}

void CKvrWriter::WriteBlock(CStationBuf& station, CChannelBuf& buf) {
    if (buf.blockCount == 0) return;
    if (!buf.storedKnown) LoadStored(station, buf);
    const double interval = 1.0 / buf.rate;
    if (buf.storedUnreadable) {
        Lose(station, buf, buf.blockCount, "the catalogue cannot say what is stored");
    } else {
        for (int j = 0; j < buf.blockCount;) {
            const double t = buf.blockStart + j * interval;
            if (GLEANER_STORED_FILE* file = Covering(buf, t)) {
                // Samples an earlier file holds are not written again; its row is put right
                // when it disagrees with the file.
                if (!file->rowAgrees && WriteRow(KvrRowMode::Update, station, buf, *file))
                    file->rowAgrees = true;
                const double fileEnd = file->start + double(file->samples) * interval;
                int past = int(std::ceil((fileEnd - 0.5 * interval - buf.blockStart) / interval));
                past = std::clamp(past, j + 1, buf.blockCount);
                buf.account.samplesAlreadyStored += uint64_t(past - j);
                j = past;
                continue;
            }
            // The piece runs up to the next stored file that begins inside the block.
            int until = buf.blockCount;
            for (const GLEANER_STORED_FILE& f : buf.stored)
                if (f.start > t) {
                    int at = int(std::ceil((f.start - 0.5 * interval - buf.blockStart) / interval));
                    until = std::min(until, std::max(at, j + 1));
                }
            j += WritePiece(station, buf, j, until - j);
        }
    }
    buf.blockStart = 0.0;
    buf.blockDuration = 0.0;
    buf.blockCount = 0;
}

void CKvrWriter::LoadStored(const CStationBuf& station, CChannelBuf& buf) {
    buf.storedKnown = true;
    if (!fileList_.HasDatabase()) return;
    // The catalogue learns where this station's files are, so that a check of another data
    // directory on a shared catalogue leaves their rows alone.
    if (registered_.insert(station.station).second) {
        KVR_SQL_RESULT r = kvrRegisterDataDir(*fileList_.Database(),
                                              kvrDataDirOf(store_, station.station, creator_));
        if (!r.ok())
            Note("cannot note the data directory of " + station.station +
                 " in the catalogue: " + r.message);
    }
    std::string error;
    if (!gleanerStoredFiles(*fileList_.Database(), store_, station.station, buf.channel,
                            buf.location, creator_, buf.rate, &buf.stored, &error)) {
        buf.storedUnreadable = true;
        Note("cannot read the FILELIST rows of " +
             gleanerStreamName(station.station, buf.channel, buf.location) + ": " + error);
    }
}

bool gleanerStoredFiles(KvrConnection& db, const KVR_STORE& store, const std::string& station,
                        const std::string& channel, const std::string& location,
                        const std::string& creator, double rate,
                        std::vector<GLEANER_STORED_FILE>* files, std::string* error) {
    std::vector<KVR_FILELIST_ROW> rows;
    const std::string filter = "STA='" + kvrSqlQuote(station) + "' and upper(CH)=upper('" +
                               kvrSqlQuote(channel) + "') and upper(LCODE)=upper('" +
                               kvrSqlQuote(kvrStoredLocation(location)) + "') and CREATER='" +
                               kvrSqlQuote(creator) + "'";
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, filter, &rows);
    if (!r.ok()) {
        *error = r.message;
        return false;
    }
    for (const KVR_FILELIST_ROW& row : rows) {
        // Another rate is another series: its samples do not line up with these.
        if (!(row.sps > 0.0) || (rate > 0.0 && !(std::fabs(row.sps - rate) <= 1e-9 * rate)))
            continue;
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(kvrStorePath(store, row.cpath), ec);
        if (ec || size < KVR_HEADER_SIZE) continue;  // a row without its file stores nothing
        GLEANER_STORED_FILE file;
        file.relativePath = row.cpath;
        file.start = row.tbegin;
        file.rate = row.sps;
        file.samples = (size - KVR_HEADER_SIZE) / KVR_SAMPLE_SIZE;
        file.rowAgrees = std::fabs(row.tqty - double(file.samples) / row.sps) <= 1.0 / row.sps;
        files->push_back(file);
    }
    return true;
}

GLEANER_STORED_FILE* CKvrWriter::Covering(CChannelBuf& buf, double t) {
    const double half = 0.5 / buf.rate;
    for (GLEANER_STORED_FILE& f : buf.stored)
        if (t >= f.start - half && t < f.start + double(f.samples) / buf.rate - half) return &f;
    return nullptr;
}

int CKvrWriter::WritePiece(CStationBuf& station, CChannelBuf& buf, int first, int count) {
    const double interval = 1.0 / buf.rate;
    const double start = buf.blockStart + first * interval;
    const std::span<const float> samples(buf.block + first, size_t(count));
    // A file named after this sample that the catalogue does not know is looked at first: it may
    // hold these very samples.
    const std::string ownName =
        kvrRelativePath40(station.station, buf.channel, buf.location, start);
    std::error_code ec;
    if (!ownName.empty() && !Known(buf, ownName) &&
        std::filesystem::exists(kvrStorePath(store_, ownName), ec) &&
        AdoptFile(station, buf, ownName, start))
        return 0;
    const double fileLimit = station.fileLengthMinutes * 60.0 - 1.0;
    for (GLEANER_STORED_FILE& file : buf.stored) {
        const double duration = double(file.samples) * interval;
        if (std::fabs(file.start + duration - start) > interval || duration > fileLimit) continue;
        const std::string fullPath = kvrStorePath(store_, file.relativePath);
        if (!AppendBlock(fullPath, file.samples, samples)) {
            Lose(station, buf, count, "cannot extend " + kvrCatalogPath(file.relativePath));
            return count;
        }
        file.samples += uint64_t(count);
        if (!WriteRow(KvrRowMode::Update, station, buf, file)) {
            // The file goes back to what its row says, so the two still agree.
            file.samples -= uint64_t(count);
            std::error_code ec;
            std::filesystem::resize_file(fullPath, KVR_HEADER_SIZE + file.samples * KVR_SAMPLE_SIZE,
                                         ec);
            Lose(station, buf, count, "its FILELIST row could not be written");
            return count;
        }
        file.rowAgrees = true;
        ++buf.account.filesExtended;
        Written(buf, start, count);
        return count;
    }

    GLEANER_STORED_FILE file;
    file.relativePath = kvrRelativePath40(station.station, buf.channel, buf.location, start);
    file.start = start;
    file.rate = buf.rate;
    file.samples = uint64_t(count);
    if (file.relativePath.empty()) {
        Lose(station, buf, count, "no file name for its time");
        return count;
    }
    const std::string fullPath = kvrStorePath(store_, file.relativePath);
    if (std::filesystem::exists(fullPath, ec) || ec) {
        if (AdoptFile(station, buf, file.relativePath, start)) return 0;
        Lose(station, buf, count,
             kvrCatalogPath(file.relativePath) + " exists and holds other samples; it is kept");
        return count;
    }
    if (!CreateFileWithBlock(fullPath, station, buf, samples)) {
        Lose(station, buf, count, "cannot create " + kvrCatalogPath(file.relativePath));
        return count;
    }
    if (!WriteRow(KvrRowMode::Insert, station, buf, file)) {
        std::filesystem::remove(fullPath, ec);
        Lose(station, buf, count, "its FILELIST row could not be written");
        return count;
    }
    buf.stored.push_back(file);
    ++buf.account.filesCreated;
    Written(buf, start, count);
    return count;
}

// A file of the name a new file would take, unknown to the catalogue: what a crash between the
// file and its row leaves. It is taken as stored (its name says it begins in the same second)
// when it is a KVR 4.0 file of this channel's rate; one that holds no sample may be replaced.
bool CKvrWriter::AdoptFile(const CStationBuf& station, CChannelBuf& buf,
                           const std::string& relativePath, double start) {
    const std::string fullPath = kvrStorePath(store_, relativePath);
    KVR_FILE_INFO info;
    std::string error;
    std::error_code ec;
    if (!kvrReadHeader(fullPath, &info, &error)) {
        const uintmax_t size = std::filesystem::file_size(fullPath, ec);
        if (ec || size > KVR_HEADER_SIZE) return false;
        return std::filesystem::remove(fullPath, ec) && !ec;
    }
    if (info.version != "4.0" || !(std::fabs(info.sps - buf.rate) <= 1e-6 * buf.rate) ||
        info.sampleCount == 0)
        return false;
    if (Known(buf, relativePath)) return false;
    GLEANER_STORED_FILE file;
    file.relativePath = relativePath;
    file.start = start;
    file.rate = buf.rate;
    file.samples = info.sampleCount;
    if (!WriteRow(KvrRowMode::Insert, station, buf, file)) return false;
    buf.stored.push_back(file);
    return true;
}

bool CKvrWriter::Known(const CChannelBuf& buf, const std::string& relativePath) {
    const std::string path = kvrCatalogPath(relativePath);
    for (const GLEANER_STORED_FILE& f : buf.stored)
        if (kvrCatalogPath(f.relativePath) == path) return true;
    return false;
}

bool CKvrWriter::AppendBlock(const std::string& fullPath, uint64_t storedSamples,
                             std::span<const float> samples) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(fullPath, ec);
    const uintmax_t whole = KVR_HEADER_SIZE + storedSamples * KVR_SAMPLE_SIZE;
    // Only the bytes of a sample cut short by a crash may go; a file that grew under us is not
    // ours to extend.
    if (ec || size < whole || size >= whole + KVR_SAMPLE_SIZE) return false;
    if (size != whole) std::filesystem::resize_file(fullPath, whole, ec);
    std::string error;
    if (!ec && kvrAppendSamples(fullPath, samples, &error)) return true;
    // A short write (full disk) must not leave part of a block that no row accounts for.
    std::filesystem::resize_file(fullPath, whole, ec);
    if (!error.empty()) Note(error);
    return false;
}

bool CKvrWriter::CreateFileWithBlock(const std::string& fullPath, const CStationBuf& station,
                                     const CChannelBuf& buf, std::span<const float> samples) {
    std::string error;
    // Only the station's folder is made: the data directory is the run's to check.
    const std::string stationFolder = kvrStorePath(store_, station.station);
    std::error_code ec;
    std::filesystem::create_directory(stationFolder, ec);
    std::array<char, KVR_HEADER_SIZE> header;
    if (kvrBuildHeader40(header, station.station, buf.channel, buf.rate) &&
        kvrCreateFile(fullPath, header, samples, &error))
        return true;
    // A file cut short by a failed write goes; one that could not even be opened was not touched.
    if (error.rfind("cannot write", 0) == 0) std::filesystem::remove(fullPath, ec);
    if (!error.empty()) Note(error);
    return false;
}

bool CKvrWriter::WriteRow(KvrRowMode mode, const CStationBuf& station, CChannelBuf& buf,
                          const GLEANER_STORED_FILE& file) {
    const double duration = double(file.samples) / buf.rate;
    if (!fileList_.WriteRow(mode, file.relativePath, station.station, buf.channel, buf.location,
                            buf.rate, file.start, duration, creator_)) {
        ++rowErrors_;
        ++buf.account.rowErrors;
        Note("FILELIST row of " + kvrCatalogPath(file.relativePath) +
             " rolled back: " + fileList_.Message());
        return false;
    }
    ++buf.account.rowsWritten;
    return true;
}

void CKvrWriter::Written(CChannelBuf& buf, double start, int count) {
    if (buf.account.samples == 0) buf.firstWritten = start;
    buf.lastWritten = start + (count - 1) / buf.rate;
    buf.account.samples += uint64_t(count);
}

void CKvrWriter::Lose(const CStationBuf& station, CChannelBuf& buf, int count,
                      const std::string& why) {
    ++droppedBlocks_;
    buf.account.samplesLost += uint64_t(count);
    Note(std::to_string(count) + " samples of " +
         gleanerStreamName(station.station, buf.channel, buf.location) + " lost: " + why);
}

std::vector<GLEANER_RESULT_ENTRY> CKvrWriter::Accounts() const {
    std::vector<GLEANER_RESULT_ENTRY> out;
    for (const auto& s : stations_)
        for (const auto& c : s->channels) {
            GLEANER_RESULT_ENTRY e = c->account;
            e.station = s->station;
            e.channel = c->channel;
            e.location = c->location;
            e.sps = c->rate;
            e.firstSample = c->firstWritten;
            e.lastSample = c->lastWritten;
            out.push_back(e);
        }
    return out;
}

std::vector<GLEANER_RESULT_ENTRY> CKvrWriter::Results() const {
    std::vector<GLEANER_RESULT_ENTRY> out = Accounts();
    std::erase_if(out, [](const GLEANER_RESULT_ENTRY& e) { return e.samples == 0; });
    return out;
}
