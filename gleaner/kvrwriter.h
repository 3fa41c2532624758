// CKvrWriter: the conversion of one retrieval run's packets into KVR 4.0 files and FILELIST rows.
//
// Packets arrive in spool order through AddSamples. Each (station, channel, location) gathers
// consecutive samples into a block of up to 4900 samples (a single chunk of up to 5000 may start
// one); a block is written out when the next chunk does not continue it within one sample
// interval, when it would grow past 4900, at every chunk of a channel of 1 sample per second or
// slower, and at FlushAll. A written block is appended to the channel's current file when it
// starts within one sample interval of the file's end, else it starts a new file named after its
// own first sample. After an append that takes a file past 3599 seconds the next block starts a
// new file. Every create or append is followed by the file's FILELIST row (insert mode for a new
// file, update mode for an extended one).
//
// Nothing already stored is written again or cut. Before a channel's first block is written, its
// earlier files are looked up: the FILELIST rows of the station, channel and location written by
// this program, each measured by its file (the file's whole samples are what is stored; a row
// whose file is gone stores nothing). A block's samples that such a file already holds are
// skipped; the rest is appended to a stored file it continues, or goes into a new file. A file of
// the new file's name that is not known from the catalogue is adopted when it is a KVR 4.0 file
// of the same rate (a file written before a crash that left no row), never replaced while it holds
// samples. A row that disagrees with its file is rewritten from the file when the run touches it.
// A file whose row cannot be written is put back as it was (a new one removed, an extended one cut
// back to its size before), so files and rows agree after every block.
//
// Station codes match exactly; channel and location codes match ignoring letter case, and a
// buffer keeps the spelling of its first appearance.
//
// Codes come from the server and end up in paths and statements: a code the store's rule refuses
// (kvr/store.h) is refused. What the operator should know (a code refused, samples lost, a row
// rolled back) goes to the note sink the run gives; the writer prints nothing itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "gleaner/filelist.h"
#include "kvr/store.h"

inline constexpr int kChunkSamples = 5000;       // samples cut from a packet at a time
inline constexpr int kMaxBlockSamples = 4900;    // a block grows by appending up to this
inline constexpr int kFileLengthMinutes = 60;    // a file is closed past this length minus 1 s
inline constexpr double kSlowChannelRate = 1.0;  // sps at or below which each chunk is a block

// One channel that received data in a run, for the Results dialog.
struct GLEANER_RESULT_ENTRY {
    std::string station;
    std::string channel;
    std::string location;
    double sps = -1.0;
    double firstSample = 0.0;  // epoch seconds of the first sample written
    double lastSample = 0.0;   // epoch seconds of the last sample written
    uint64_t samples = 0;      // written by this run

    // The run's account of the channel (gleaner fetch prints it).
    uint64_t samplesReceived = 0;
    double firstReceived = 0.0;  // epoch seconds of the first and last sample received
    double lastReceived = 0.0;
    int receivedBreaks = 0;             // places where a packet did not continue the one before
    uint64_t samplesAlreadyStored = 0;  // skipped: an earlier file holds them
    uint64_t samplesLost = 0;           // neither written nor stored (see the lines on stderr)
    int filesCreated = 0;
    int filesExtended = 0;
    int rowsWritten = 0;
    int rowErrors = 0;
};

// One file of the channel as it stands on disk, whether from an earlier run or this one.
struct GLEANER_STORED_FILE {
    std::string relativePath;  // station "\\" file name
    double start = 0.0;        // epoch seconds of its first sample
    double rate = 0.0;         // samples per second of its row
    uint64_t samples = 0;      // whole samples it holds
    bool rowAgrees = true;     // its FILELIST row names this start and length
};

class CChannelBuf {
  public:
    CChannelBuf(std::string channel, std::string location, double rate)
        : channel(std::move(channel)), location(std::move(location)), rate(rate) {}

    std::string channel;
    std::string location;
    double rate;  // samples per second, fixed when the buffer is made

    double blockStart = 0.0;
    double blockDuration = 0.0;
    int blockCount = 0;
    float block[kChunkSamples];

    // What reached disk, for the Results dialog.
    double firstWritten = 0.0;
    double lastWritten = 0.0;
    GLEANER_RESULT_ENTRY account;

    // The channel's files, known once the first block is written (storedKnown); a catalogue that
    // cannot be read leaves storedUnreadable set and every block of the channel is kept off disk.
    std::vector<GLEANER_STORED_FILE> stored;
    bool storedKnown = false;
    bool storedUnreadable = false;
};

class CStationBuf {
  public:
    explicit CStationBuf(std::string station) : station(std::move(station)) {}
    std::string station;
    std::vector<std::unique_ptr<CChannelBuf>> channels;
    int fileLengthMinutes = kFileLengthMinutes;
};

class CKvrWriter {
  public:
    // db may be none: files are written without rows. creator goes into CREATER ("Gleaner").
    CKvrWriter(KvrConnection* db, std::string creator);
    CKvrWriter(const CKvrWriter&) = delete;
    CKvrWriter& operator=(const CKvrWriter&) = delete;

    // Where the files go. Set once, before any samples.
    void SetStore(const KVR_STORE& store) { store_ = store; }

    // Where the writer's notes go (none: nowhere).
    void SetNoteSink(std::function<void(const std::string&)> sink) { note_ = std::move(sink); }

    // Adds count samples of one packet whose first sample is at start. Returns false (nothing
    // kept, why set when given) when a code is unsafe, the rate is not a positive finite number
    // or the start is not a finite time.
    bool AddSamples(const std::string& station, const std::string& channel,
                    const std::string& location, double rate, double start, int count,
                    const float* samples, std::string* why = nullptr);

    // Writes out every non-empty block, stations and channels in order of first appearance.
    void FlushAll();

    // Per channel that reached disk, in order of first appearance.
    std::vector<GLEANER_RESULT_ENTRY> Results() const;
    // Per channel that received samples, written or not, in order of first appearance.
    std::vector<GLEANER_RESULT_ENTRY> Accounts() const;

    // Blocks lost because their file could not be created or written, and rows rolled back.
    int DroppedBlocks() const { return droppedBlocks_; }
    int RowErrors() const { return rowErrors_; }

  private:
    CChannelBuf* FindChannel(const std::string& station, const std::string& channel,
                             const std::string& location, double rate, CStationBuf** owner);
    void AddChunk(CStationBuf& station, CChannelBuf& buf, double rate, double start, int count,
                  const float* samples);
    void Note(const std::string& text) const {
        if (note_) note_(text);
    }
    void WriteBlock(CStationBuf& station, CChannelBuf& buf);
    void LoadStored(const CStationBuf& station, CChannelBuf& buf);
    GLEANER_STORED_FILE* Covering(CChannelBuf& buf, double t);
    // Writes block samples [first, first + count): appended to a stored file they continue, else
    // a new file. Returns the samples handled (written, or lost with a message); 0 when a file of
    // the new name was adopted instead and the caller has to look again.
    int WritePiece(CStationBuf& station, CChannelBuf& buf, int first, int count);
    static bool Known(const CChannelBuf& buf, const std::string& relativePath);
    bool AdoptFile(const CStationBuf& station, CChannelBuf& buf, const std::string& relativePath,
                   double start);
    bool AppendBlock(const std::string& fullPath, uint64_t storedSamples,
                     std::span<const float> samples);
    bool CreateFileWithBlock(const std::string& fullPath, const CStationBuf& station,
                             const CChannelBuf& buf, std::span<const float> samples);
    bool WriteRow(KvrRowMode mode, const CStationBuf& station, CChannelBuf& buf,
                  const GLEANER_STORED_FILE& file);
    void Written(CChannelBuf& buf, double start, int count);
    void Lose(const CStationBuf& station, CChannelBuf& buf, int count, const std::string& why);

    CFileList fileList_;
    std::string creator_;
    KVR_STORE store_;
    std::set<std::string> registered_;  // stations whose data directory the catalogue knows
    std::vector<std::unique_ptr<CStationBuf>> stations_;
    int droppedBlocks_ = 0;
    int rowErrors_ = 0;
    std::function<void(const std::string&)> note_;
};

// Appends to *files the files of one stream that the catalogue's rows of creator name under the
// store, each measured by its file (its whole samples are what is stored; a row whose file is
// gone stores nothing); with rate > 0 only the rows of that rate. Station codes match exactly,
// channel and location codes ignoring case. False with *error the driver's text when the rows
// cannot be read.
bool gleanerStoredFiles(KvrConnection& db, const KVR_STORE& store, const std::string& station,
                        const std::string& channel, const std::string& location,
                        const std::string& creator, double rate,
                        std::vector<GLEANER_STORED_FILE>* files, std::string* error);

// "STA.CHN[.LOC]", raw: escape it (utilPrintableString) before it is printed.
std::string gleanerStreamName(const std::string& station, const std::string& channel,
                              const std::string& location);
