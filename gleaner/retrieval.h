// One retrieval run: fetch one time window of the chosen streams from an ISI server into the
// private spool, then convert the spool into KVR 4.0 files and FILELIST rows (CKvrWriter).
// Receiving and converting are separate phases: nothing reaches the data directory until the
// server has finished (or the operator chose to keep what arrived).
//
// The run knows nothing of windows: it talks to its host (the dialog, or the command line)
// through CRetrievalHost, on the run's own thread, and tells it its phase as a value. A host that
// shows questions on another thread makes AskIoError wait for the answer.
//
// Only what was asked is stored: a packet of a stream outside the request is counted by name and
// dropped before the spool.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gleaner/kvrwriter.h"
#include "gleaner/settings.h"
#include "gleaner/spool.h"
#include "isi/isi.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/store.h"
#include "logio/logio.h"

inline constexpr int ID_RETRIEVAL_DONE = 500;  // posted to the dialog at the end of every run
// The catalogue's connection string: user KVR, password JXQ unless the environment or the data
// source names its own (kvrCatalogueCredentials).
inline std::string gleanerCatalogueConnectString() {
    return kvrConnectString(KVR_DSN, kvrCatalogueCredentials(KVR_DSN, KVR_USER, KVR_PASSWORD));
}
inline constexpr const char* kCreatorName = "Gleaner";

// Texts of the run, as the operator knows them.
inline constexpr const char* kSiphonTitle = "Siphon";
inline constexpr const char* kDatabaseOpenError = "KVR Database open error\n";
inline constexpr const char* kSpoolCreateError = "Temporary file creation error";
inline constexpr const char* kSpoolWriteError = "Temporary file write error";
inline constexpr const char* kAllocRequestError = "Alloc Simple Data Request error";
inline constexpr const char* kInitiateRequestError = "Initiate Data Request error";
inline constexpr const char* kKvrWriteError = "KVR file write error";
inline constexpr const char* kNoFileList = "KVR database FILELIST cannot be read: ";
inline constexpr const char* kIoErrorQuestion =
    "NRTS server i/o error\n Press: \n'Ignore' to convert received packets\n"
    "'Retry' to request rest of data\n'Abort' to abort data transmission and drop received data";
inline constexpr const char* kReceivedStatus = "Data received";
inline constexpr const char* kDecodingStatus = "Decoding data";
inline constexpr const char* kWritingStatus = "Writing wfdisc";

enum class IoAnswer { Abort, Retry, Ignore };

// Where a run is: passed to the host as a value whenever it changes.
enum class RetrievalPhase {
    Checking,    // the catalogue, the data directory and the spool
    Connecting,  // the server's stream list, the request and its acknowledgment
    Receiving,   // packets into the spool
    Converting,  // the spool into files and rows
    Writing,     // the last blocks and rows
    Finished
};
const char* gleanerPhaseName(RetrievalPhase phase);

class CRetrievalHost {
  public:
    virtual ~CRetrievalHost() = default;
    virtual void SetPhase(RetrievalPhase) {}
    virtual void SetStatusText(const std::string& text) = 0;
    // 0..100 in the normal case; a packet outside the window gives values beyond, passed as they
    // are.
    virtual void SetProgress(int position) = 0;
    virtual void SetWaitCursor(bool wait) = 0;
    virtual void ShowMessage(const std::string& text, const std::string& title, bool errorIcon) = 0;
    virtual IoAnswer AskIoError(const std::string& text, const std::string& title) = 0;
    // A line worth telling the operator that is no failure of the run (a code refused, a row
    // rolled back, what a stop keeps): the command line prints it, the dialog shows it.
    virtual void Note(const std::string&) {}
    // The end of every run: status and progress are cleared and hidden, the arrow cursor is
    // back; the dialog now gets ID_RETRIEVAL_DONE.
    virtual void RunFinished() = 0;
};

// One stream's window in a request: samples from begin to end, both included (epoch seconds).
struct RETRIEVAL_WINDOW {
    ISI_STREAM_ID name{};  // a concrete stream of the server
    double begin = 0.0;
    double end = 0.0;
};

// The requests a run sends, planned once its concrete streams are known (wildcards expanded):
// each round is one request holding one window per stream it names (a request carries one
// window per stream); the rounds are received one after the other into one spool and converted
// together. No rounds: nothing is asked for. False with *error when the plan cannot be made.
using RetrievalPlanner =
    std::function<bool(const std::vector<ISI_STREAM_ID>& streams,
                       std::vector<std::vector<RETRIEVAL_WINDOW>>* rounds, std::string* error)>;

struct RETRIEVAL_INPUT {
    std::string server;
    int port = ISI_DEFAULT_PORT;
    double begin = 0.0;  // epoch seconds
    double end = 0.0;
    // The streams asked for (isiParseStreamNames, or the dialog's ticked channels); names with
    // wildcards are expanded against the server's configuration list before the request.
    std::vector<ISI_STREAM_ID> streams;
    // None: one request of every stream over begin..end, as the dialog asks. A planner that
    // fails leaves the run to that one request, after a note with its reason.
    RetrievalPlanner planner;
    std::string connectString = gleanerCatalogueConnectString();
    std::string kvrProfile = KVR_PROFILE;      // where the store's data directory is read
    std::optional<std::string> dataDirectory;  // a folder given instead (--data-dir)
    std::string spoolDirectory;                // empty: $TMPDIR, else /tmp
    LOGIO* log = nullptr;                      // the library's messages; none: stdout
    // Highest connect error class the library retries (IACP_ERR_*); -1 keeps its default, which
    // retries a refused connection for ever. Both front ends give up at once instead and ask
    // the operator (or the --on-error policy).
    int connectRetryClass = IACP_ERR_NONE;
    uint64_t spoolLimitBytesForTests = 0;
    // Progress and status are shown at most this often (a dialog cannot show more, and thousands
    // of packets a second would flood it); 0 shows every packet.
    double progressIntervalSeconds = 0.05;
    // Nonzero stops the run within a fraction of a second wherever it is (every wait for the
    // server is cut short by it): what arrived is converted, and a conversion under way ends at
    // the next packet with what it has written. The command line gives the stop signal's flag
    // (platStopSignalFlag), the dialog its Stop button's. Owned by the caller.
    const std::atomic<int>* stop = nullptr;
};

// The run's input with what both front ends share: the one place it is built.
RETRIEVAL_INPUT gleanerRunInput(const std::string& server, int port, double begin, double end,
                                std::vector<ISI_STREAM_ID> streams);

// Packets of one stream the conversion could not take, with the reason.
struct RETRIEVAL_REFUSED {
    std::string station;
    std::string channel;
    std::string location;
    std::string why;
    uint64_t packets = 0;
    uint64_t samples = 0;
};

// Packets of a stream nobody asked for: counted, never spooled or stored.
struct RETRIEVAL_UNREQUESTED {
    ISI_STREAM_ID name{};
    uint64_t packets = 0;
    uint64_t samples = 0;
};

struct RETRIEVAL_RESULT {
    int returnValue = -1;    // 0 converted, 1 request could not be built or sent, -1 otherwise
    bool runFailed = false;  // a failure was reported: no Results dialog
    std::string failure;     // that failure in words, with its cause
    bool requested = false;  // the server acknowledged a request
    bool nothingMissing = false;  // the planner found every window stored: no data asked for
    size_t rounds = 0;            // requests sent
    bool complete = false;   // the server finished the whole window and every block was written
    uint64_t packets = 0;    // spooled
    uint64_t recordsSkipped = 0;  // packets the conversion refused
    bool stopped = false;         // the stop flag ended the run
    RetrievalPhase stoppedIn = RetrievalPhase::Finished;
    uint64_t samplesReceived = 0;      // in the spool
    uint64_t samplesNotConverted = 0;  // left in the spool by a stop during the conversion
    // The concrete streams asked of the server (wildcards expanded) and the names that matched
    // no stream of its configuration list.
    std::vector<ISI_STREAM_ID> requestedStreams;
    std::vector<ISI_STREAM_ID> unknownStreams;
    std::vector<RETRIEVAL_UNREQUESTED> unrequested;
    std::vector<GLEANER_RESULT_ENTRY> results;   // channels written, for the Results dialog
    std::vector<GLEANER_RESULT_ENTRY> accounts;  // every channel that received samples
    std::vector<RETRIEVAL_REFUSED> refused;
    int rowErrors = 0;  // FILELIST rows rolled back
};

// One retrieval, from the checks before the request to the last row: the one object both front
// ends run (the dialog on a thread of its own, the command line on its main thread).
class CRetrievalRun {
  public:
    CRetrievalRun(RETRIEVAL_INPUT input, CRetrievalHost& host);
    // Runs the retrieval through to its end (RunFinished is called once); returns the result's
    // returnValue.
    int Run();
    const RETRIEVAL_RESULT& Result() const { return out_; }
    RetrievalPhase Phase() const { return phase_; }

  private:
    void SetPhase(RetrievalPhase phase);
    bool StopRequested() const { return in_.stop != nullptr && in_.stop->load() != 0; }
    void Finish();
    int FailureReport(const std::string& text, int returnValue);
    void ShowFailure(const std::string& text);
    bool ResolveStreams(const ISI_OPEN_PARAMS& params);
    std::vector<std::vector<RETRIEVAL_WINDOW>> PlanRounds();
    ISI_DATA_REQUEST* AllocRequest(const std::vector<RETRIEVAL_WINDOW>& windows) const;
    bool Receive(ISI_CLIENT* client, bool* aborted);
    bool ReceivePackets(ISI_CLIENT* client, bool* aborted);
    bool Requested(const ISI_STREAM_ID& name) const;
    void CountUnrequested(const ISI_TS_PACKET& packet);
    void Convert(CKvrWriter& writer);
    void Refuse(const SPOOL_RECORD& record, uint64_t samples, const std::string& why);
    std::string FailureCause(int error) const;

    RETRIEVAL_INPUT in_;
    CRetrievalHost& host_;
    RETRIEVAL_RESULT out_;
    CSpoolFile spool_;
    RetrievalPhase phase_ = RetrievalPhase::Checking;
    double lastProgress_ = 0.0;
};

// The run as one call, on the caller's thread; returns RETRIEVAL_RESULT::returnValue.
int RetrievalThread(const RETRIEVAL_INPUT& input, CRetrievalHost& host, RETRIEVAL_RESULT* result);

// Progress of a packet whose last sample is at tols within the window.
int gleanerProgress(double tols, double begin, double end);
// "STA:CHN YYYY:DDD-HH:MM:SS.mmm" of a packet.
std::string gleanerPacketStatus(const char* station, const char* channel, double tols);
