// One retrieval run: fetch one time window of the chosen streams from an ISI server into the
// private spool, then convert the spool into KVR 4.0 files and FILELIST rows (CKvrWriter).
// Receiving and converting are separate phases: nothing reaches the data directory until the
// server has finished (or the operator chose to keep what arrived).
//
// The run knows nothing of windows: it talks to its host (the dialog, or the command line)
// through CRetrievalHost, on the run's own thread. A host that shows questions on another thread
// makes AskIoError wait for the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gleaner/kvrwriter.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/store.h"
#include "gleaner/settings.h"
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

class CRetrievalHost {
  public:
    virtual ~CRetrievalHost() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    // 0..100 in the normal case; a packet outside the window gives values beyond, passed as they
    // are.
    virtual void SetProgress(int position) = 0;
    virtual void SetWaitCursor(bool wait) = 0;
    virtual void ShowMessage(const std::string& text, const std::string& title, bool errorIcon) = 0;
    virtual IoAnswer AskIoError(const std::string& text, const std::string& title) = 0;
    // The end of every run: status and progress are cleared and hidden, the arrow cursor is
    // back; the dialog now gets ID_RETRIEVAL_DONE.
    virtual void RunFinished() = 0;
};

// One stream's window in a request: samples from begin to end, both included (epoch seconds).
struct RETRIEVAL_WINDOW {
    std::string stream;  // STA.CHN[.LOC]
    double begin = 0.0;
    double end = 0.0;
};

struct RETRIEVAL_INPUT {
    std::string server;
    int port = ISI_DEFAULT_PORT;
    double begin = 0.0;  // epoch seconds
    double end = 0.0;
    std::string streamList;  // "+STA.CHN.LOC" pieces (CStationMap::StreamList)
    // The requests of the run, sent one after the other into one spool and converted together:
    // each holds one window per stream it names (a request carries one window per stream). None:
    // one request of streamList over begin..end, as the dialog asks.
    std::vector<std::vector<RETRIEVAL_WINDOW>> rounds;
    std::string connectString = gleanerCatalogueConnectString();
    std::string kvrProfile = KVR_PROFILE;      // where the store's data directory is read
    std::optional<std::string> dataDirectory;  // a folder given instead (--data-dir)
    std::string spoolDirectory;                // empty: $TMPDIR, else /tmp
    LOGIO* log = nullptr;                      // the library's messages; none: stdout
    // Highest connect error class the library retries (IACP_ERR_*); -1 keeps its default, which
    // retries a refused connection for ever. The command line gives up at once instead and
    // counts its own retries.
    int connectRetryClass = -1;
    uint64_t spoolLimitBytesForTests = 0;
    // Progress and status are shown at most this often (a dialog cannot show more, and thousands
    // of packets a second would flood it); 0 shows every packet.
    double progressIntervalSeconds = 0.05;
    // Polled while receiving: true stops reading, and what arrived is converted as after Ignore.
    std::function<bool()> stopRequested;
};

// Packets of one stream the conversion could not take, with the reason.
struct RETRIEVAL_REFUSED {
    std::string station;
    std::string channel;
    std::string location;
    std::string why;
    uint64_t packets = 0;
    uint64_t samples = 0;
};

struct RETRIEVAL_RESULT {
    int returnValue = -1;    // 0 converted, 1 request could not be built or sent, -1 otherwise
    bool runFailed = false;  // a failure was reported: no Results dialog
    bool complete = false;   // the server finished the whole window and every block was written
    uint64_t packets = 0;    // spooled
    uint64_t recordsSkipped = 0;  // sample types other than 16- and 32-bit integers, bad codes
    bool stopped = false;         // stopRequested ended the receiving
    std::vector<GLEANER_RESULT_ENTRY> results;   // channels written, for the Results dialog
    std::vector<GLEANER_RESULT_ENTRY> accounts;  // every channel that received samples
    std::vector<RETRIEVAL_REFUSED> refused;
    int rowErrors = 0;  // FILELIST rows rolled back
};

// The run; returns RETRIEVAL_RESULT::returnValue.
int RetrievalThread(const RETRIEVAL_INPUT& input, CRetrievalHost& host, RETRIEVAL_RESULT* result);

// Progress of a packet whose last sample is at tols within the window.
int gleanerProgress(double tols, double begin, double end);
// "STA:CHN YYYY:DDD-HH:MM:SS.mmm" of a packet.
std::string gleanerPacketStatus(const char* station, const char* channel, double tols);
