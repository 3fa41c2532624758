#include "rillet/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "platform/clock.h"
#include "platform/filewrite.h"
#include "platform/profile.h"
#include "rillet/log.h"
#include "rillet/settings.h"

namespace {

// -1 when the file does not exist.
long long FileSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(size);
}

// Creates one folder level; an existing one is no error (the file create decides).
void MakeFolder(const std::string& hostPath) {
    std::error_code ec;
    std::filesystem::create_directory(hostPath, ec);
}

// Two sample intervals of one rate: equal but for the rounding of their computation.
bool SameInterval(double a, double b) {
    return std::fabs(a - b) <= 1e-9 * std::max(a, b);
}

}  // namespace

CRecorder::CRecorder(CRilletSettings& settings, CFileCatalogue& catalogue, CRilletLog& log)
    : settings_(settings), catalogue_(catalogue), log_(log) {
    ResetStates();
}

void CRecorder::ResetStates() {
    states_.clear();
    refusingChannels_ = 0;
    resyncNeeded_ = false;
    for (const auto& group : settings_.Groups()) states_.emplace_back(group.channels.size());
}

void CRecorder::PrepareChannels() {
    resumeWaiting_ = false;
    indexed_ = false;
    ResetStates();
    lastTimesLog_ = platNow();
    for (size_t g = 0; g < states_.size(); ++g) {
        for (size_t c = 0; c < states_[g].size(); ++c) {
            CChannelState& ch = states_[g][c];
            const double stored = settings_.ReadResumeTime(g, c);
            ch.nextTime = stored;
            ReconcileNewestFile(g, c);
            // Files written after the last stored resume time (the process ended before the next
            // store): the stored time is brought up to them.
            if (ch.nextTime > stored) {
                ch.resumeTime = ch.nextTime;
                ch.resumeDirty = resumeWaiting_ = true;
            }
        }
    }
    StoreResumeTimes(true);
}

void CRecorder::ReconcileNewestFile(size_t g, size_t c) {
    const CRecorderGroup& group = settings_.Groups()[g];
    const CChannelConfig& cfg = group.channels[c];
    CChannelState& ch = states_[g][c];
    CFileRow row;
    if (!catalogue_.NewestFile(group.station, cfg.channel, cfg.location, &row) || !(row.sps > 0) ||
        !kvrRelativePathIsSafe(row.cpath))
        return;
    const std::string full = settings_.DataPath(row.cpath);
    const long long header = KVR_HEADER_SIZE;
    const long long sampleSize = KVR_SAMPLE_SIZE;
    const long long size = FileSize(full);
    if (size < header) return;
    const long long fileSamples = (size - header) / sampleSize;
    const long long rowSamples = std::llround(row.tqty * row.sps);
    // A sample cut in half by the end of the process is no sample.
    if (header + fileSamples * sampleSize != size) CutBack(full, header + fileSamples * sampleSize);
    double tqty = row.tqty;
    if (fileSamples != rowSamples) {
        // The samples in the file are whole and in order, at the row's rate (the stream's): the
        // row is made to say so.
        tqty = static_cast<double>(fileSamples) / row.sps;
        CRowUpdate update = catalogue_.UpdateFileRow(row.cpath, group.station, row.tbegin, tqty,
                                                     cfg.channel, cfg.location);
        log_.WriteLogf("File '%s' holds %lld samples, its row %lld: %s", full.c_str(), fileSamples,
                       rowSamples,
                       update == CRowUpdate::Done ? "row updated" : "row left as it was");
        if (update != CRowUpdate::Done) {
            tqty = row.tqty;
            if (fileSamples > rowSamples) CutBack(full, header + rowSamples * sampleSize);
        }
    }
    const double end = row.tbegin + tqty;
    ch.nextTime = std::max(ch.nextTime, end);
    ch.storedEnd = end;
    // The newest file goes on where the stream does: the next run appends to it when it continues
    // it, as it would have had the process not ended.
    const double interval = 1.0 / row.sps;
    if (end >= ch.nextTime - interval / 2 && tqty <= group.fileLength * 60.0 - 1.0) {
        ch.cpath = row.cpath;
        ch.fileStart = row.tbegin;
        ch.fileLength = tqty;
        ch.fileRate = row.sps;
    }
}

void CRecorder::NoteStreamRate(size_t g, size_t c, double interval) {
    CChannelState& ch = states_[g][c];
    const double rate = 1.0 / interval;
    if (ch.streamRate != 0 && SameInterval(1.0 / ch.streamRate, interval)) return;
    ch.streamRate = rate;
    const CChannelConfig& cfg = settings_.Groups()[g].channels[c];
    if (ch.rateLogged || std::fabs(rate - cfg.sampleRate) <= 1e-6 * rate) return;
    ch.rateLogged = true;
    log_.WriteWarningf(
        "Station %s %s: SITECHAN gives %s samples per second, the stream sends %s: its files and "
        "rows carry the stream's rate",
        settings_.Groups()[g].station.c_str(), ResumeTimeKey(cfg).c_str(),
        CRilletSettings::NumberText(cfg.sampleRate).c_str(),
        CRilletSettings::NumberText(rate).c_str());
}

void CRecorder::AppendChannelKey(std::string& key, std::string_view station,
                                 std::string_view channel, std::string_view location) {
    for (std::string_view part : {station, channel, location}) {
        for (char ch : part) key += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        key += '\0';
    }
}

bool CRecorder::FindChannel(std::string_view station, std::string_view channel,
                            std::string_view location, size_t* g, size_t* c) const {
    if (!indexed_) {
        channelIndex_.clear();
        const auto& groups = settings_.Groups();
        for (size_t gi = 0; gi < groups.size(); ++gi) {
            for (size_t ci = 0; ci < groups[gi].channels.size(); ++ci) {
                const CChannelConfig& cfg = groups[gi].channels[ci];
                // Made in load order and never overwritten: the first match wins. "??" also
                // takes a packet without location (two blanks).
                for (std::string_view loc : {std::string_view(cfg.location), std::string_view()}) {
                    if (loc.empty() && cfg.location != kNoLocation) continue;
                    std::string key;
                    AppendChannelKey(key, groups[gi].station, cfg.channel,
                                     loc.empty() ? "  " : loc);
                    channelIndex_.emplace(std::move(key), std::make_pair(gi, ci));
                }
            }
        }
        rawIndex_.clear();
        indexed_ = true;
    }
    // The name as the server spells it, byte for byte: each spelling is looked up by the rules
    // above once, then found at the price of a 16-byte hash.
    CRawName raw{};
    std::memcpy(raw.bytes, station.data(), std::min<size_t>(station.size(), kRawStation));
    std::memcpy(raw.bytes + kRawStation, channel.data(), std::min<size_t>(channel.size(), kRawChannel));
    std::memcpy(raw.bytes + kRawStation + kRawChannel, location.data(),
                std::min<size_t>(location.size(), kRawLocation));
    if (station.size() > kRawStation || channel.size() > kRawChannel ||
        location.size() > kRawLocation)
        return FindChannelByRules(station, channel, location, g, c);
    auto seen = rawIndex_.find(raw);
    if (seen == rawIndex_.end()) {
        size_t gi = 0, ci = 0;
        const bool found = FindChannelByRules(station, channel, location, &gi, &ci);
        seen = rawIndex_.emplace(raw, found ? std::make_pair(gi, ci) : kNoChannel).first;
    }
    if (seen->second == kNoChannel) return false;
    *g = seen->second.first;
    *c = seen->second.second;
    return true;
}

bool CRecorder::FindChannelByRules(std::string_view station, std::string_view channel,
                                   std::string_view location, size_t* g, size_t* c) const {
    key_.clear();
    AppendChannelKey(key_, station, channel, location);
    auto it = channelIndex_.find(key_);
    if (it == channelIndex_.end()) return false;
    *g = it->second.first;
    *c = it->second.second;
    return true;
}

// A packet the recorder cannot place in time is refused whole: no samples, more samples than its
// data holds, or an interval or sample time that is not finite and positive. One log line per
// channel until it gets a sound packet again, so a faulty stream cannot flood the log.
bool CRecorder::PacketIsSound(size_t g, size_t c, const CRecorderPacket& packet) {
    CChannelState& channel = states_[g][c];
    bool sound = packet.sampleCount > 0 && packet.samples != nullptr &&
                 packet.dataBytes / sizeof(float) >= static_cast<uint64_t>(packet.sampleCount) &&
                 std::isfinite(packet.interval) && packet.interval > 0 &&
                 std::isfinite(packet.firstTime) && packet.firstTime > 0 &&
                 std::isfinite(packet.lastTime) && packet.lastTime >= packet.firstTime;
    if (sound) {
        channel.badPacketLogged = false;
        return true;
    }
    ++counts_.refusedPackets;
    if (!channel.badPacketLogged && packet.unconvertedType != nullptr) {
        log_.WriteLogf("Packet of %s %s refused: its samples are %s, which cannot be recorded",
                       CRilletSettings::Printable(std::string(packet.station)).c_str(),
                       ResumeTimeKey(settings_.Groups()[g].channels[c]).c_str(),
                       packet.unconvertedType);
        channel.badPacketLogged = true;
    } else if (!channel.badPacketLogged) {
        log_.WriteLogf(
            "Packet of %s %s refused: %lld samples in %zu bytes, interval %g s, first %f, last %f",
            CRilletSettings::Printable(std::string(packet.station)).c_str(),
            ResumeTimeKey(settings_.Groups()[g].channels[c]).c_str(),
            static_cast<long long>(packet.sampleCount), packet.dataBytes, packet.interval,
            packet.firstTime, packet.lastTime);
        channel.badPacketLogged = true;
    }
    return false;
}

bool CRecorder::HandlePacket(const CRecorderPacket& packet, size_t* gOut, size_t* cOut) {
    size_t g = 0, c = 0;
    if (!FindChannel(packet.station, packet.channel, packet.location, &g, &c)) return false;
    CChannelState& ch = states_[g][c];
    if (!PacketIsSound(g, c, packet)) return false;
    NoteStreamRate(g, c, packet.interval);

    // Samples before the channel's next time are stored (or pending) already: a request answered
    // from the packet around its begin, or a reconnect that overlaps, gives them again.
    int64_t done = 0;
    if (ch.nextTime > 0) {
        const double late = ch.nextTime - packet.interval / 2 - packet.firstTime;
        if (late > 0) {
            done = static_cast<int64_t>(std::ceil(late / packet.interval));
            if (done >= packet.sampleCount) return false;
        }
    }
    // A channel whose refused packets are to come again with the next request takes nothing
    // beyond them meanwhile: a packet after the hole would carry its next time past it.
    if (ch.awaitingResync &&
        packet.firstTime + done * packet.interval > ch.nextTime + packet.interval / 2)
        return false;
    // A packet larger than kMaxPacketSamples is taken in pieces, each placed at its own
    // first-sample time; the pieces join up exactly, so the run sees one contiguous stream.
    while (done < packet.sampleCount) {
        int count =
            static_cast<int>(std::min<int64_t>(kMaxPacketSamples, packet.sampleCount - done));
        double firstTime = packet.firstTime + static_cast<double>(done) * packet.interval;
        if (!TakeSamples(g, c, firstTime, packet.interval, packet.samples + done, count)) {
            // Refused: the next time stays at the end of what was taken, where the next
            // request will ask again.
            if (done > 0) ch.nextTime = firstTime;
            return false;
        }
        done += count;
    }
    ch.nextTime = packet.lastTime + packet.interval;
    KeepTime();
    if (gOut != nullptr) *gOut = g;
    if (cOut != nullptr) *cOut = c;
    return true;
}

bool CRecorder::TakeSamples(size_t g, size_t c, double firstTime, double interval,
                            const float* samples, int count) {
    CChannelState& ch = states_[g][c];
    double duration = count * interval;
    ch.calib = -1.0;
    ch.calper = -1.0;

    bool continues = ch.runCount > 0 && SameInterval(ch.runInterval, interval) &&
                     std::fabs(ch.runStart + ch.runDuration - firstTime) <= interval;
    bool fits = continues && ch.runCount + count <= kMaxPendingSamples &&
                1.0 / interval > kPacketByPacketRate;
    if (!fits) {
        // A run that could not be written is tried again only now and then; until it is written
        // no packet that it cannot hold is taken, so nothing after it is lost or misplaced.
        const bool wasRefusing = ch.refusing;
        if (wasRefusing && platNow() - ch.lastWriteAttempt < writeRetrySeconds_) return false;
        if (!FlushRun(g, c)) return false;
        // Written at last: the packets refused meanwhile, this one among them, come again with
        // the new request that FlushRun has asked for.
        if (wasRefusing) return false;
        ch.runStart = firstTime;  // FlushRun left the run empty
        ch.runInterval = interval;
    }
    if (!ch.run) ch.run.reset(new float[kMaxPendingSamples]);
    float* to = ch.run.get() + ch.runCount;
    std::copy(samples, samples + count, to);
    ch.runDuration += duration;
    ch.runCount += count;
    return true;
}

bool CRecorder::FlushRun(size_t g, size_t c) {
    const CRecorderGroup& group = settings_.Groups()[g];
    CChannelState& ch = states_[g][c];
    catalogue_.TrimDiskLoop(group.station, group.sizeLimit);
    if (ch.runCount > 0) {
        bool extendsFile = ch.fileStart != 0 && !ch.cpath.empty() &&
                           SameInterval(1.0 / ch.fileRate, ch.runInterval) &&
                           std::fabs(ch.fileStart + ch.fileLength - ch.runStart) <= ch.runInterval;
        bool written = extendsFile ? AppendRun(g, c) : WriteNewFile(g, c);
        if (!written) {
            // The run stays pending and is tried again; the channel's next time stays at its end.
            if (!ch.refusing) ++refusingChannels_;
            ch.refusing = true;
            ch.lastWriteAttempt = platNow();
            return false;
        }
    }
    if (ch.refusing) {
        // Packets may have been refused while the run waited: a new request from the channel's
        // next time fetches them again.
        ch.refusing = false;
        ch.awaitingResync = true;
        --refusingChannels_;
        if (!resyncNeeded_) resyncSince_ = platNowCoarse();
        resyncNeeded_ = true;
    }
    ch.runStart = 0;
    ch.runDuration = 0;
    ch.runCount = 0;
    return true;
}

bool CRecorder::TakeResyncRequest() {
    if (!resyncNeeded_) return false;
    if (refusingChannels_ > 0 && platNowCoarse() - resyncSince_ < kResyncWaitSeconds) return false;
    resyncNeeded_ = false;
    // The new request asks every channel from its next time: the refused packets come again.
    for (auto& group : states_)
        for (CChannelState& ch : group) ch.awaitingResync = false;
    return true;
}

void CRecorder::NoteResumeTime(CChannelState& ch) {
    ch.resumeTime = ch.fileStart + ch.fileLength;
    ch.storedEnd = ch.resumeTime;
    ch.samplesStored += static_cast<uint64_t>(ch.runCount);
    ch.resumeDirty = true;
    resumeWaiting_ = true;
}

// The written samples reach the disk before any resume time that counts them: after a power cut
// the settings file may lag behind the data files, never run ahead of them.
void CRecorder::SyncDataFiles() {
    platSyncFileSystem(settings_.DataPath(""));
}

void CRecorder::KeepTime() {
    // The clock is read once a packet, cheaply: the pacing here is by the second.
    const double time = platNowCoarse();
    StoreResumeTimesAt(time, false);
    if (std::fabs(time - lastTimesLog_) >= kStatementTimesLogSeconds) {
        lastTimesLog_ = time;
        catalogue_.LogStatementTimes();
    }
}

void CRecorder::StoreResumeTimes(bool now) {
    if (resumeWaiting_) StoreResumeTimesAt(platNow(), now);
}

void CRecorder::StoreResumeTimesAt(double time, bool now) {
    if (!resumeWaiting_) return;
    if (!now && std::fabs(time - lastResumeStore_) < kResumeStoreSeconds) return;
    lastResumeStore_ = time;

    std::vector<CRilletSettings::ResumeTime> times;
    for (size_t g = 0; g < states_.size(); ++g) {
        for (size_t c = 0; c < states_[g].size(); ++c) {
            const CChannelState& ch = states_[g][c];
            if (ch.resumeDirty) times.push_back({g, c, ch.resumeTime});
        }
    }
    SyncDataFiles();
    errno = 0;
    if (!settings_.WriteResumeTimes(times)) {
        // The data is in its files and rows; only a restart would ask for some of it again.
        ++counts_.resumeWriteErrors;
        const int cause = errno != 0 ? errno : EIO;
        if (cause != resumeErrorLogged_) {
            log_.WriteWarningf("Resume time write error '%s': %s",
                               platHostPath(settings_.RilletIni()).c_str(), std::strerror(cause));
            resumeErrorLogged_ = cause;
        }
        return;
    }
    resumeErrorLogged_ = 0;
    resumeWaiting_ = false;
    for (const auto& t : times) states_[t.g][t.c].resumeDirty = false;
}

// Cuts a file back to the size it had before a write its row does not hold; false (logged) when
// that fails too.
bool CRecorder::CutBack(const std::string& full, long long size) {
    std::string why;
    if (platTruncateFile(full, size, &why)) return true;
    log_.WriteLogf("File truncate error '%s': %s", full.c_str(), why.c_str());
    return false;
}

bool CRecorder::AppendRun(size_t g, size_t c) {
    const CRecorderGroup& group = settings_.Groups()[g];
    const CChannelConfig& cfg = group.channels[c];
    CChannelState& ch = states_[g][c];
    std::string full = settings_.DataPath(ch.cpath);

    long long before = -1;  // the size the append started from
    std::string error;
    if (!kvrAppendSamples(full, std::span<const float>(ch.run.get(), ch.runCount), &error,
                          &before)) {
        if (before < 0 && FileSize(full) < 0) {
            // The file is gone (the disk loop took it, or an operator did): appending could
            // never succeed again, so the run begins a new file instead.
            log_.WriteLogf("File open error '%s': %s", full.c_str(), std::strerror(ENOENT));
            ch.fileStart = 0;
            ch.fileLength = 0;
            return WriteNewFile(g, c);
        }
        // A write that fails part-way (a full disk) is cut back, so that the file holds exactly
        // what its row says; the row, the file state and the resume time stay as they were.
        if (before >= 0 && FileSize(full) != before) CutBack(full, before);
        FileFailed("File write error", full, error);
        return false;
    }
    FileWritten();

    double length = ch.fileLength + ch.runDuration;
    CRowUpdate row = catalogue_.UpdateFileRow(ch.cpath, group.station, ch.fileStart, length,
                                              cfg.channel, cfg.location);
    // A file whose row has gone would never be trimmed: it is registered again.
    bool rowWritten =
        row == CRowUpdate::Done ||
        (row == CRowUpdate::NoRow &&
         catalogue_.RegisterNewFile(ch.cpath, group.station, ch.fileStart, length, ch.fileRate,
                                    cfg.channel, cfg.location, ch.calib, ch.calper));
    if (!rowWritten) {
        // File and row must agree: the samples go again, with the run, at the next attempt (the
        // catalogue has said why).
        CutBack(full, before);
        return false;
    }
    if (row == CRowUpdate::Done)
        catalogue_.AddToDiskLoop(group.station, double(ch.runCount) * KVR_SAMPLE_SIZE);
    ch.fileLength = length;
    NoteResumeTime(ch);
    if (ch.fileLength > static_cast<double>(group.fileLength) * 60.0 - 1.0) {
        ch.fileStart = 0;
        ch.fileLength = 0;
    }
    return true;
}

bool CRecorder::WriteNewFile(size_t g, size_t c) {
    const CRecorderGroup& group = settings_.Groups()[g];
    const CChannelConfig& cfg = group.channels[c];
    CChannelState& ch = states_[g][c];

    std::string relative =
        cfg.locationInName
            ? kvrRelativePath20(group.station, cfg.channel, cfg.location, ch.runStart)
            : kvrRelativePath20(group.station, cfg.channel, ch.runStart);
    std::array<char, KVR_HEADER_SIZE> header{};
    // The file is the stream's: its rate is the run's.
    const double rate = 1.0 / ch.runInterval;
    if (relative.empty() || !BuildHeader20(header, group.station, cfg.channel, rate, ch.runStart)) {
        log_.WriteLogf("File create error '%s'", settings_.DataPath(group.station + "\\?").c_str());
        return false;
    }
    MakeFolder(settings_.DataPath(group.station));
    MakeFolder(settings_.DataPath(kvrHourFolder20(group.station, ch.runStart)));

    std::string full = settings_.DataPath(relative);
    std::string error;
    if (!kvrCreateFile(full, header, std::span<const float>(ch.run.get(), ch.runCount), &error)) {
        // A file this write could not fill is removed again; it has no row, and a half-written
        // file would later be taken for data.
        std::remove(full.c_str());
        FileFailed("File create error", full, error);
        return false;
    }
    FileWritten();
    if (!catalogue_.RegisterNewFile(relative, group.station, ch.runStart, ch.runDuration, rate,
                                    cfg.channel, cfg.location, ch.calib, ch.calper)) {
        // A file without a row would never be trimmed: it goes, and the run stays pending (the
        // catalogue has said why).
        std::remove(full.c_str());
        return false;
    }
    log_.WriteLogf("Created file '%s'", full.c_str());

    ch.cpath = relative;
    ch.fileStart = ch.runStart;
    ch.fileLength = ch.runDuration;
    ch.fileRate = rate;
    NoteResumeTime(ch);
    return true;
}

void CRecorder::FileFailed(const char* what, const std::string& full, const std::string& error) {
    ++counts_.fileWriteErrors;
    // The cause without the path it came with ("cannot write PATH: No space left on device").
    const size_t colon = error.rfind(": ");
    const std::string cause = colon == std::string::npos ? error : error.substr(colon + 2);
    auto episode = fileEpisodes_.find(cause);
    if (episode == fileEpisodes_.end()) {
        const std::string name = cause == std::strerror(ENOSPC)
                                     ? "no space left on the data disk"
                                     : "file writes failing (" + cause + ")";
        episode = fileEpisodes_.try_emplace(cause, log_, name, "writes retried").first;
    }
    char retry[64];
    std::snprintf(retry, sizeof retry, "%g", writeRetrySeconds_);
    episode->second.Failed(std::string(what) + " '" + full + "': " + cause +
                           "; the run stays pending and is written again every " + retry +
                           " s (a line when writes succeed again)");
}

void CRecorder::FileWritten() {
    for (auto& [cause, episode] : fileEpisodes_) episode.Succeeded();
}

void CRecorder::FlushAll() {
    for (size_t g = 0; g < states_.size(); ++g) {
        for (size_t c = 0; c < states_[g].size(); ++c) {
            if (states_[g][c].runCount > 0) FlushRun(g, c);
        }
    }
    StoreResumeTimes(true);
    catalogue_.LogStatementTimes();
}
