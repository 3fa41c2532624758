// The recording logic of the worker, apart from the network: routing a packet to its channel,
// gathering contiguous samples into the channel's pending run, and writing a run into the channel's
// current KVR 2.0 file or a new one, with the catalogue row and the resume time after each write.
//
// Runs hold at most 4900 samples; a channel at 1 sample per second or less is written packet by
// packet. A packet continues the run when it has the run's rate and its first sample lies within
// one sample interval of the run's end; a run continues the file when it has the file's rate and
// starts within one sample interval of the file's end. After an append that takes a file past
// FILELENGTH(MIN) * 60 - 1 seconds the next run starts a new file.
//
// The stream's own rate (from the packets' sample interval) is the truth of a file: its header,
// its row's SPS and its TQTY all count the samples as they were recorded, whatever SITECHAN says
// (SITECHAN's rate only decides that a channel is recorded; a rate that disagrees is logged once
// per channel). So a file's size, its row and the start-up reconciliation always agree.
//
// Resume to the sample: the end of the data written (its fraction kept) is a channel's next time
// and its stored resume time; at start the newest file of each channel gives it too, and is
// continued when the next packet continues it. Samples before a channel's next time are never
// taken again, so a server that answers a request with the packet around its begin (or a
// reconnect that overlaps) cannot store a sample twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rillet/groups.h"
#include "rillet/log.h"

class CRilletLog;
class CRilletSettings;

// A run that could not be written is tried again at most this often while its channel's packets
// arrive: a full disk is not hammered with every packet.
inline constexpr double kDefaultWriteRetrySeconds = 5.0;
// Resume times are stored together at most this often (and at every orderly stop).
inline constexpr double kResumeStoreSeconds = 1.0;
// The catalogue's statement times are logged this often while recording (and at every orderly
// stop).
inline constexpr double kStatementTimesLogSeconds = 3600.0;
// How long a new request waits for channels that still refuse packets (see TakeResyncRequest).
inline constexpr double kResyncWaitSeconds = 10.0;

// A file's row as the catalogue holds it.
struct CFileRow {
    std::string cpath;  // as stored, "/" separators
    double tbegin = 0;
    double tqty = 0;
    double sps = 0;
};

// The outcome of a row update: written, no row of that file to update, or the statement failed.
enum class CRowUpdate { Done, NoRow, Failed };

// What the recorder needs of the catalogue: the disk-loop trim before every write and the row of
// the file after it (with the bytes an append added). The ODBC catalogue implements it; tests may
// watch the calls. A failed row statement is logged by the catalogue (file and statement named);
// the recorder then takes the file back to what its row says.
class CFileCatalogue {
  public:
    virtual ~CFileCatalogue() = default;
    virtual void TrimDiskLoop(const std::string& station, uint32_t limit) = 0;
    // Bytes an append added to a file of the station's loop (its row updated), so that a
    // catalogue that keeps the loop's size need not count it again.
    virtual void AddToDiskLoop(const std::string& /*station*/, double /*bytes*/) {}
    // True when the file's row is in the catalogue.
    virtual bool RegisterNewFile(const std::string& cpath, const std::string& station,
                                 double tbegin, double tqty, double sps, const std::string& channel,
                                 const std::string& location, double calib, double calper) = 0;
    virtual CRowUpdate UpdateFileRow(const std::string& cpath, const std::string& station,
                                     double tbegin, double tqty, const std::string& channel,
                                     const std::string& location) = 0;
    // One log line on how long the catalogue's statements took so far (the ODBC catalogue's
    // form is documented there); nothing by default.
    virtual void LogStatementTimes() {}
    // The statements executed, retried and failed so far (all 0 by default).
    struct Counts {
        uint64_t statements = 0;
        uint64_t retried = 0;
        uint64_t failed = 0;
    };
    virtual Counts StatementCounts() const { return {}; }
    // The station's loop size as last counted or kept (bytes); false when none is known.
    virtual bool KnownLoopSize(const std::string& /*station*/, uint32_t* /*bytes*/) const {
        return false;
    }
    // The row of the channel's newest recorder file (latest tbegin); false when there is none or
    // the catalogue cannot tell.
    virtual bool NewestFile(const std::string& /*station*/, const std::string& /*channel*/,
                            const std::string& /*location*/, CFileRow* /*row*/) {
        return false;
    }
};

// What the recorder keeps of one channel while it runs: where its data ends, its current file and
// its pending run. Only the worker's thread touches it.
struct CChannelState {
    double nextTime = 0;  // epoch seconds of the next expected sample; 0 = unknown

    std::string cpath;      // current file relative to the data directory ("sta\\HH\\name"), or ""
    double fileStart = 0;   // epoch seconds of the current file's first sample; 0 = no open file
    double fileLength = 0;  // seconds of data in the current file
    double fileRate = 0;    // samples per second the current file was recorded at

    double runStart = 0;     // epoch seconds of the pending run's first sample
    double runDuration = 0;  // seconds
    double runInterval = 0;  // seconds between the run's samples (the stream's)
    int32_t runCount = 0;    // samples held
    // kMaxPendingSamples floats, made with the channel's first run (a channel that never
    // receives anything costs no room for one).
    std::unique_ptr<float[]> run;

    double calib = -1.0;
    double calper = -1.0;

    bool badPacketLogged = false;  // one log line per channel for refused packets
    // The end of the data stored in files (epoch seconds; 0 = none known) and the samples
    // written since the start, for the metrics.
    double storedEnd = 0;
    uint64_t samplesStored = 0;
    // The stream's rate as its packets give it (0 before the first); a rate that SITECHAN does
    // not share is logged once (rateLogged).
    double streamRate = 0;
    bool rateLogged = false;

    // Set while the pending run cannot be written and packets that do not fit it are refused;
    // lastWriteAttempt (epoch seconds) paces the retries.
    bool refusing = false;
    // Set once the run is written after refusing, until the new request that fetches the refused
    // packets again is made: packets beyond the hole they left are not taken meanwhile.
    bool awaitingResync = false;
    double lastWriteAttempt = 0;
    // The end of the data written so far (epoch seconds, fraction kept), waiting to be stored as
    // the channel's resume time with the next batch.
    double resumeTime = 0;
    bool resumeDirty = false;
};

// The fields of one generic time-series packet the recorder uses. Samples are 32-bit floats,
// KVR's own sample type, converted from the packet's data type (isiSamplesToFloat); a packet
// whose samples could not be converted has none, and unconvertedType names its type.
struct CRecorderPacket {
    std::string_view station;
    std::string_view channel;
    std::string_view location;  // two blanks for none
    double interval = 0;        // seconds between samples
    double firstTime = 0;       // epoch seconds of the first sample
    double lastTime = 0;        // epoch seconds of the last sample
    int64_t sampleCount = 0;
    const float* samples = nullptr;
    size_t dataBytes = 0;                       // bytes behind samples
    const char* unconvertedType = nullptr;      // the data type in words, when samples are none
};

class CRecorder {
  public:
    CRecorder(CRilletSettings& settings, CFileCatalogue& catalogue, CRilletLog& log);

    // Thread start: the channel states made anew for the loaded group list, without runs; next
    // time from its stored resume time, or from the end of its newest file when that lies later
    // (the process ended before the resume time was stored; it is stored now, with the others in
    // one rewrite). A newest file that holds other samples than its row says (the process ended
    // between the file write and the row) is first brought to agree with it; a newest file that
    // ends at the next time, not yet past its length, is the channel's current file, which the
    // first run appends to when it continues it.
    void PrepareChannels();

    // Finds the channel of a packet: groups in load order whose station equals the packet's
    // (ignoring case), channels in order whose code equals the packet's and whose location equals
    // it, or is "??" while the packet's is two blanks. First match wins. Constant time: an index
    // of the group list, made at the first call (the list never changes shape after loading).
    bool FindChannel(std::string_view station, std::string_view channel, std::string_view location,
                     size_t* g, size_t* c) const;

    // Takes one packet: extends the channel's pending run or flushes it and starts a new one.
    // True, with the channel it went to in *g and *c (either may be null), or false when it
    // matched nothing or was refused.
    // A channel whose pending run cannot be written (a full disk, a locked catalogue) keeps it
    // and refuses the packets that do not fit it, without moving its next time past them; once
    // the run is written, TakeResyncRequest has the worker make a new request that fetches them
    // again.
    bool HandlePacket(const CRecorderPacket& packet, size_t* g = nullptr, size_t* c = nullptr);

    // The state of channel c of group g (after PrepareChannels, or empty before it).
    const CChannelState& State(size_t g, size_t c) const { return states_.at(g).at(c); }
    // Failures met so far, for the metrics.
    struct Counts {
        uint64_t fileWriteErrors = 0;   // file writes and creates that failed
        uint64_t refusedPackets = 0;    // packets refused as unsound
        uint64_t resumeWriteErrors = 0;  // stores of the resume times that failed
    };
    const Counts& FailureCounts() const { return counts_; }
    const CFileCatalogue& Catalogue() const { return catalogue_; }

    // Trims the station's disk loop, then writes the pending run of channel c of group g. True
    // when the run is written (or was empty); false leaves it pending, with its file, row and
    // resume time as they were.
    bool FlushRun(size_t g, size_t c);
    // Orderly stop: every channel's pending run through FlushRun, the resume times stored, and
    // the catalogue's statement times logged.
    void FlushAll();

    // The recorder's timed work between packets, with one look at the clock: the resume times
    // stored as StoreResumeTimes(false) does, and the catalogue's statement times logged when
    // the last such line is kStatementTimesLogSeconds ago (or PrepareChannels was). HandlePacket
    // does it after every packet it takes.
    void KeepTime();

    // Stores the resume times of every channel written to since the last store, in one rewrite
    // of the settings file: when now is set, or when the last store is kResumeStoreSeconds ago.
    // The data files are synced to disk first, so that a stored resume time never claims
    // samples a power cut could take back. A store that fails is logged once per cause; the
    // times stay waiting and the next store that succeeds writes the newest ones.
    void StoreResumeTimes(bool now);

    // True once after packets were refused and the run that held them back has been written:
    // the worker then starts a new connection cycle from each channel's next time. While other
    // channels still refuse (a full disk clears for all at once), it waits for them, up to
    // kResyncWaitSeconds, so that one request fetches everything again.
    bool TakeResyncRequest();

    // Seconds between attempts to write a run that could not be written; tests shorten it.
    void SetWriteRetrySeconds(double seconds) { writeRetrySeconds_ = seconds; }

  private:
    // One empty state per configured channel.
    void ResetStates();
    bool TakeSamples(size_t g, size_t c, double firstTime, double interval, const float* samples,
                     int count);
    // Logs, once per channel, a stream whose rate SITECHAN does not share.
    void NoteStreamRate(size_t g, size_t c, double interval);
    bool AppendRun(size_t g, size_t c);
    bool WriteNewFile(size_t g, size_t c);
    bool PacketIsSound(size_t g, size_t c, const CRecorderPacket& packet);
    void NoteResumeTime(CChannelState& state);
    // StoreResumeTimes with the clock already read (epoch seconds).
    void StoreResumeTimesAt(double time, bool now);
    void SyncDataFiles();
    void ReconcileNewestFile(size_t g, size_t c);
    bool CutBack(const std::string& full, long long size);
    // A file write or create that failed: one line when such failures start (by cause), then
    // only counted. FileWritten ends every such episode with a line of how long and how often.
    void FileFailed(const char* what, const std::string& full, const std::string& error);
    void FileWritten();

    // Appends the index key of a station, channel and location (lower case) to key.
    static void AppendChannelKey(std::string& key, std::string_view station,
                                 std::string_view channel, std::string_view location);

    CRilletSettings& settings_;
    CFileCatalogue& catalogue_;
    // FindChannel's rules over the index of the group list.
    bool FindChannelByRules(std::string_view station, std::string_view channel,
                            std::string_view location, size_t* g, size_t* c) const;
    // A packet's name as the server sends it: station, channel and location bytes, zero-padded.
    static constexpr size_t kRawStation = 7, kRawChannel = 3, kRawLocation = 2;
    struct CRawName {
        char bytes[16];
        bool operator==(const CRawName& other) const {
            return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
        }
    };
    struct CRawNameHash {
        size_t operator()(const CRawName& name) const {
            uint64_t a, b;
            std::memcpy(&a, name.bytes, 8);
            std::memcpy(&b, name.bytes + 8, 8);
            // A multiply-and-shift mix: cheap, and every byte moves the result.
            uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
            h ^= h >> 31;
            return size_t(h ^ (h >> 17));
        }
    };
    static constexpr std::pair<size_t, size_t> kNoChannel{SIZE_MAX, SIZE_MAX};
    // Each spelling a server used -> its channel, or kNoChannel.
    mutable std::unordered_map<CRawName, std::pair<size_t, size_t>, CRawNameHash> rawIndex_;
    // Channel index: key -> (group, channel); key_ is the reused look-up buffer.
    mutable std::unordered_map<std::string, std::pair<size_t, size_t>> channelIndex_;
    mutable bool indexed_ = false;
    mutable std::string key_;
    CRilletLog& log_;
    // One state per configured channel, in the shape of the group list.
    std::vector<std::vector<CChannelState>> states_;
    bool resyncNeeded_ = false;
    double resyncSince_ = 0;  // epoch seconds resyncNeeded_ was set
    int refusingChannels_ = 0;
    bool resumeWaiting_ = false;  // some channel's resume time is not stored yet
    double lastResumeStore_ = 0;  // epoch seconds of the last store attempt
    double lastTimesLog_ = 0;     // epoch seconds of the last statement-times line
    int resumeErrorLogged_ = 0;   // errno of the store failure last logged, 0 after a success
    double writeRetrySeconds_ = kDefaultWriteRetrySeconds;
    std::map<std::string, CFailureEpisode> fileEpisodes_;  // by cause
    Counts counts_;
};
