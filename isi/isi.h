// isi: the ISI protocol client over IACP frames: data requests and their acknowledgment, reading
// generic time-series packets with reconnection, the ISI difference compression ("idacmp"), and
// the server's configuration and state-of-health lists.
//
// Every failing call returns false or none, leaves a code in the thread's error variable
// (platform/errors.h) and logs through logioMsg. ISI calls also give a status value.
//
// All wire integers are big-endian; 64-bit and 32-bit reals are IEEE 754 sent most significant
// byte first. The pack/unpack helpers below are the one definition of each wire form; the
// stand-in server uses them too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "iacp/iacp.h"
#include "logio/logio.h"
#include "util/util.h"

inline constexpr int ISI_DEFAULT_PORT = 39136;

// Receive limit of one frame on a data exchange; a larger payload fails the frame read.
inline constexpr uint32_t ISI_MAX_FRAME_PAYLOAD = 32768;
// Receive limits of the list exchanges (an entry frame larger than these fails the read).
inline constexpr uint32_t ISI_SOH_FRAME_BUFLEN = 144;
inline constexpr uint32_t ISI_CNF_FRAME_BUFLEN = 160;

// ---- frame types ----------------------------------------------------------------------------
inline constexpr uint32_t ISI_IACP_REQ_SOH = 1001;       // empty: send the state-of-health list
inline constexpr uint32_t ISI_IACP_REQ_CNF = 1002;       // empty: send the configuration list
inline constexpr uint32_t ISI_IACP_REQ_FORMAT = 1004;    // 4-byte value
inline constexpr uint32_t ISI_IACP_REQ_COMPRESS = 1005;  // 4-byte value
inline constexpr uint32_t ISI_IACP_REQ_POLICY = 1006;    // 4-byte value
inline constexpr uint32_t ISI_IACP_REQ_TWIND = 1007;     // one time-window item (28 bytes)
inline constexpr uint32_t ISI_IACP_STREAM_SOH = 1009;    // one state-of-health entry (48 bytes)
inline constexpr uint32_t ISI_IACP_STREAM_CNF = 1011;    // one configuration entry (55 bytes)
inline constexpr uint32_t ISI_IACP_GENERIC_TS = 1012;    // 64-byte header + data
inline constexpr uint32_t ISI_IACP_REQ_SEQNO = 1014;     // one seqno item (31 bytes)

// ---- request codes --------------------------------------------------------------------------
inline constexpr uint32_t ISI_REQUEST_TYPE_UNDEF = 0;
inline constexpr uint32_t ISI_REQUEST_TYPE_SEQNO = 1;
inline constexpr uint32_t ISI_REQUEST_TYPE_TWIND = 2;

inline constexpr uint32_t ISI_REQUEST_POLICY_UNDEF = 0;
inline constexpr uint32_t ISI_REQUEST_POLICY_NONE = 1;
inline constexpr uint32_t ISI_REQUEST_POLICY_MIN_GAP = 2;
inline constexpr uint32_t ISI_REQUEST_POLICY_MIN_DELAY = 3;

inline constexpr uint32_t ISI_FORMAT_UNDEF = 0;
inline constexpr uint32_t ISI_FORMAT_GENERIC = 1;
inline constexpr uint32_t ISI_FORMAT_NATIVE = 2;

inline constexpr uint32_t ISI_COMP_UNDEF = 0;
inline constexpr uint32_t ISI_COMP_NONE = 1;
inline constexpr uint32_t ISI_COMP_IDA = 2;  // ISI difference compression, "idacmp"
inline constexpr uint32_t ISI_COMP_STEIM1 = 3;
inline constexpr uint32_t ISI_COMP_STEIM2 = 4;
inline constexpr uint32_t ISI_COMP_GZIP = 5;

// Item status, kept by the client.
inline constexpr int ISI_ITEM_COMPLETE = 1;
inline constexpr int ISI_ITEM_ACTIVE = 2;

// Special seqno signatures.
inline constexpr uint32_t ISI_SEQNO_SIG_UNDEF = 0;
inline constexpr uint32_t ISI_SEQNO_SIG_BEG = 0xFFFFFFFFu;      // beginning of disk loop
inline constexpr uint32_t ISI_SEQNO_SIG_END = 0xFFFFFFFEu;      // end of disk loop
inline constexpr uint32_t ISI_SEQNO_SIG_FOREVER = 0xFFFFFFFDu;  // never stop

// Status values of isiReadGenericTS.
inline constexpr int ISI_STATUS_DATA = 0;
inline constexpr int ISI_STATUS_DONE = 1;  // server sent "request complete"
inline constexpr int ISI_STATUS_FAILED = 2;
inline constexpr int ISI_STATUS_STOPPED = 3;
// Status values of isiSendDataRequest besides alert codes.
inline constexpr int ISI_ACK_BAD_ARGS = 99;
inline constexpr int ISI_ACK_IO_ERROR = 3;
inline constexpr int ISI_ACK_PROTOCOL = 10;

// ---- time-series data types and codes -------------------------------------------------------
// The data type code of a generic packet says what one sample is. 1 to 4 are signed integers of
// 1, 2, 4 and 8 bytes; 5 and 6 are IEEE 754 floats of 4 and 8 bytes (the stand-in server sends
// floating-point miniSEED records as these). Every type of 2 bytes or more is swapped by its
// width when the header's byte order says big-endian, floats included.
inline constexpr uint8_t ISI_TYPE_INT8 = 1;  // never swapped
inline constexpr uint8_t ISI_TYPE_INT16 = 2;
inline constexpr uint8_t ISI_TYPE_INT32 = 3;
inline constexpr uint8_t ISI_TYPE_INT64 = 4;   // swapped as whole 8-byte values
inline constexpr uint8_t ISI_TYPE_REAL32 = 5;  // IEEE 754 single
inline constexpr uint8_t ISI_TYPE_REAL64 = 6;  // IEEE 754 double
// 11..18: whole packets of a native format; the client only strips or keeps their own header.
inline constexpr uint8_t ISI_TYPE_NATIVE_FIRST = 11;
inline constexpr uint8_t ISI_TYPE_NATIVE_LAST = 18;

inline constexpr uint8_t ISI_ORDER_HOST = 0;  // any other byte-order value means big-endian

// ---- wire sizes -----------------------------------------------------------------------------
inline constexpr int ISI_STALEN = 7;
inline constexpr int ISI_CHNLEN = 3;
inline constexpr int ISI_LOCLEN = 2;
inline constexpr int ISI_STREAM_NAME_WIRE_LEN = 12;
inline constexpr int ISI_TWIND_WIRE_LEN = 28;
inline constexpr int ISI_SEQNO_WIRE_LEN = 12;
inline constexpr int ISI_SEQNO_ITEM_WIRE_LEN = 31;
inline constexpr int ISI_TS_HEADER_LEN = 64;
inline constexpr int ISI_STREAM_SOH_WIRE_LEN = 48;
inline constexpr int ISI_STREAM_CNF_WIRE_LEN = 55;
inline constexpr int ISI_CNF_TEXT_LEN = 7;
// Longest idacmp code of one value: 1 + 4 bytes (6 + 4 * 7 = 34 magnitude bits).
inline constexpr int ISI_IDACMP_MAX_CODE_LEN = 5;

// ---- records --------------------------------------------------------------------------------

// A stream name; each part NUL-terminated and NUL-padded. A location of two blanks means none.
struct ISI_STREAM_ID {
    char sta[ISI_STALEN + 1];
    char chn[ISI_CHNLEN + 1];
    char loc[ISI_LOCLEN + 1];
};

struct ISI_TWIND_ITEM {
    ISI_STREAM_ID name;
    REAL64 beg;  // seconds since 1970, or -1/-2/-3
    REAL64 end;  // seconds since 1970, or -1/-3/-4
    int status;  // ISI_ITEM_ACTIVE or ISI_ITEM_COMPLETE
};

struct ISI_SEQNO_VALUE {
    uint32_t signature;
    uint64_t counter;
};

struct ISI_SEQNO_ITEM {
    char site[ISI_STALEN + 1];
    ISI_SEQNO_VALUE beg;
    ISI_SEQNO_VALUE end;
    int status;
};

// The arrays are allocated with malloc and freed by isiClearDataRequest / isiFreeDataRequest, so
// a caller filling a request by hand allocates them with malloc too.
struct ISI_DATA_REQUEST {
    uint32_t type;
    uint32_t policy;
    uint32_t format;
    uint32_t compress;
    uint32_t nreq;
    ISI_TWIND_ITEM* twind;  // type 2
    ISI_SEQNO_ITEM* seqno;  // type 1
};

struct ISI_OPEN_PARAMS {
    int port;
    IACP_OPTIONS attr;
    int debug;
    LOGIO* lp;       // none: standard output
    int decompress;  // nonzero: isiReadGenericTS hands out converted packets
};

// One generic time-series packet. The wire header (64 bytes, offsets in brackets):
//   [0] name 12  [12] factor i16  [14] multiplier i16  [16] tofs r64  [24] tofs status u16
//   [26] tols r64  [34] tols status u16  [36] descriptor bytes 4  [40] descriptor r64
//   [48] descriptor u32  [52] nsamp u32  [56] nbytes u32  [60] compress  [61] datatype
//   [62] order  [63] sample size
struct ISI_TS_PACKET {
    ISI_STREAM_ID name;
    int16_t factor;
    int16_t multiplier;
    REAL64 tofs;  // time of first sample
    uint16_t tofs_status;
    REAL64 tols;  // time of last sample
    uint16_t tols_status;
    uint8_t desc_bytes[4];  // second descriptor, carried unread
    REAL64 desc_real;
    uint32_t desc_value;
    uint32_t nsamp;
    uint8_t compress;
    uint8_t datatype;
    uint8_t order;
    uint8_t sampsiz;  // carried unread
    uint32_t nbytes;  // data bytes after the header
    uint8_t* data;
    uint32_t nalloc;  // size of the owned data buffer; 0 when data lives in the frame buffer
};

// State-of-health entry (48 bytes on the wire). The carried fields are ours to define: the time
// the newest packet was written, the number of contiguous segments and of packets held.
struct ISI_STREAM_SOH {
    ISI_STREAM_ID name;
    REAL64 tofs;  // oldest sample held
    uint16_t tofs_status;
    REAL64 tols;  // newest sample held
    uint16_t tols_status;
    REAL64 tslw;    // [32] time of the last write
    uint32_t nseg;  // [40] contiguous segments
    uint32_t nrec;  // [44] packets held
};

// Configuration entry (55 bytes on the wire). The carried fields: station coordinates, the
// calibration and the sensor orientation, and an instrument type text.
struct ISI_STREAM_CNF {
    ISI_STREAM_ID name;
    int16_t factor;
    int16_t multiplier;
    REAL32 lat;                       // [16] degrees
    REAL32 lon;                       // [20] degrees
    REAL32 elev;                      // [24] metres
    REAL32 depth;                     // [28] metres
    REAL32 calib;                     // [32]
    REAL32 calper;                    // [36] seconds
    REAL32 hang;                      // [40] degrees
    REAL32 vang;                      // [44] degrees
    char inst[ISI_CNF_TEXT_LEN + 1];  // [48] NUL-padded on the wire
};

// Counted arrays returned by isiGetSohList / isiGetCnfList and the two request calls: one block,
// the entries follow the count. Freed with isiFreeList.
struct ISI_SOH_LIST {
    uint32_t nentry;
    ISI_STREAM_SOH* entry;
};
struct ISI_CNF_LIST {
    uint32_t nentry;
    ISI_STREAM_CNF* entry;
};

// The items of a time-window request by stream name, so that a packet finds its item at once.
// Made from the request at the first packet after it was invalidated (valid false).
struct ISI_REQUEST_INDEX {
    std::unordered_map<std::string, uint32_t> items;  // "sta\0chn\0loc" -> item
    std::string key;                                  // reused look-up buffer
    bool valid = false;
};

// One open client connection with its acknowledged request. Made by isiOpenClient or
// isiInitiateDataRequest, read by one thread with isiReadGenericTS, freed by isiCloseClient.
struct ISI_CLIENT {
    std::string server;
    int port = ISI_DEFAULT_PORT;
    IACP_OPTIONS attr;
    std::string tracefile;  // own copy; attr.tracefile points at it
    LOGIO* lp = nullptr;
    int debug = 0;
    IACP_CONNECTION* iacp = nullptr;
    alignas(8) uint8_t buf[ISI_MAX_FRAME_PAYLOAD] = {};
    IACP_WIRE_FRAME frame;
    ISI_DATA_REQUEST datreq = {};
    ISI_REQUEST_INDEX datreq_index;         // invalidated whenever datreq changes
    std::vector<ISI_TWIND_ITEM> ack_twind;  // acknowledgment list while it arrives
    std::vector<ISI_SEQNO_ITEM> ack_seqno;
    ISI_TS_PACKET raw = {};
    ISI_TS_PACKET converted = {};
    int decompress = 1;
    std::atomic<int> stop{0};
    bool complete = false;  // request finished (alert 2, or every item complete): no reconnects
    // Connections lost while reading (a read failed, or the server alerted) and what ended the
    // last one, in words; read by the caller between reads to say so.
    uint64_t lostConnections = 0;
    std::string lostCause;
};

// ---- open parameters and clients ------------------------------------------------------------
bool isiInitOpenParams(ISI_OPEN_PARAMS* params);
ISI_CLIENT* isiOpenClient(const char* server, const ISI_OPEN_PARAMS* params);
ISI_CLIENT* isiCloseClient(ISI_CLIENT* client);  // returns none
// True while the client holds an open connection: after status 2 from isiReadGenericTS it tells a
// packet that failed (still connected: read on at once) from a reconnect that failed.
bool isiIsConnected(const ISI_CLIENT* client);
ISI_CLIENT* isiInitiateDataRequest(const char* server, const ISI_OPEN_PARAMS* params,
                                   const ISI_DATA_REQUEST* request);
bool isiSendDataRequest(ISI_CLIENT* client, const ISI_DATA_REQUEST* request, int* status);
bool isiIacpSendDataRequest(IACP_CONNECTION* iacp, const ISI_DATA_REQUEST* request);
// One frame of an acknowledgment: 1 the acknowledgment continues, 0 it is complete, -1 failure.
// The status is set at the end or on failure. Used by the acknowledgment reader.
int isiAcknowledgmentFrame(ISI_CLIENT* client, const IACP_WIRE_FRAME* frame, int* status);
// Resets the client's request and acknowledgment list before an acknowledgment arrives.
void isiBeginAcknowledgment(ISI_CLIENT* client);

// ---- requests -------------------------------------------------------------------------------
void isiInitDataRequest(ISI_DATA_REQUEST* request);
ISI_DATA_REQUEST* isiAllocSimpleDataRequest(REAL64 beg, REAL64 end, const char* specifier);
ISI_DATA_REQUEST* AllocSimpleTwindRequest(const char* specifier);
ISI_DATA_REQUEST* isiAllocDefaultDataRequest();
// One seqno item per station of the specifier (only the station part is used).
ISI_DATA_REQUEST* isiAllocSimpleSeqnoRequest(const ISI_SEQNO_VALUE* beg, const ISI_SEQNO_VALUE* end,
                                             const char* specifier);
ISI_DATA_REQUEST* isiRequestSetFormat(ISI_DATA_REQUEST* request, uint32_t code);
ISI_DATA_REQUEST* isiRequestSetCompress(ISI_DATA_REQUEST* request, uint32_t code);
ISI_DATA_REQUEST* isiRequestSetPolicy(ISI_DATA_REQUEST* request, uint32_t code);
void isiClearDataRequest(ISI_DATA_REQUEST* request);
ISI_DATA_REQUEST* isiFreeDataRequest(ISI_DATA_REQUEST* request);  // returns none
// A copy of request, keeping only the items whose status is active when activeOnly is set.
ISI_DATA_REQUEST* isiCopyDataRequest(const ISI_DATA_REQUEST* request, bool activeOnly);
bool isiAppendTwindReq(std::vector<ISI_TWIND_ITEM>* list, const ISI_TWIND_ITEM* item);
bool isiAppendSeqnoReq(std::vector<ISI_SEQNO_ITEM>* list, const ISI_SEQNO_ITEM* item);
bool isiCopyTwindListToDataRequest(const std::vector<ISI_TWIND_ITEM>& list,
                                   ISI_DATA_REQUEST* request);
bool isiCopySeqnoListToDataRequest(const std::vector<ISI_SEQNO_ITEM>& list,
                                   ISI_DATA_REQUEST* request);

// The stream names of a specifier ("STA.CHN[.LOC]" pieces joined by "+"), or none when a piece
// has a single part. None as specifier means "*.*.*". Free with utilDestroyList; each entry's
// data is one ISI_STREAM_ID.
UTIL_LIST* isiExpandStreamNameSpecifier(const char* specifier);
// The same into a vector; false when the specifier is invalid.
bool isiExpandStreamNames(const char* specifier, std::vector<ISI_STREAM_ID>* names);

// ---- typed stream names ----------------------------------------------------------------------
// The one reading of a stream name that an operator typed or a settings file holds, for every
// program: "STA.CHN" or "STA.CHN.LOC", parts separated by "." only. A code holds letters, digits,
// "-", "_" and the wildcards "*" and "?", and is at most 7 (station), 3 (channel) or 2 (location)
// characters long; a location left out, empty or written "--" means none (the wire's two blanks).
// A fourth part, an empty station or channel, an over-long code or another character is refused
// with the fault in words in error (the text quoted escaped), never cut or dropped. Each returns
// false with WSAEINVAL then.
bool isiParseStreamName(std::string_view text, ISI_STREAM_ID* name, std::string* error);
// Names joined by "+" ("+" before the first and doubled "+" add nothing); at least one. On
// failure names is left empty.
bool isiParseStreamNames(std::string_view text, std::vector<ISI_STREAM_ID>* names,
                         std::string* error);
// The same checks for three codes given apart (a settings file's station, channel, location).
bool isiStreamIdFromParts(std::string_view sta, std::string_view chn, std::string_view loc,
                          ISI_STREAM_ID* name, std::string* error);
// True when a part of name holds "*" or "?".
bool isiStreamIdHasWildcard(const ISI_STREAM_ID* name);
// True when name matches pattern: "*" any run, "?" any one character, letters without regard to
// case, trailing blanks ignored (so a pattern without location matches only a stream without one,
// and "*" any location, none included). False for none.
bool isiStreamIdMatches(const ISI_STREAM_ID* pattern, const ISI_STREAM_ID* name);
// The concrete names a server's configuration list offers for patterns, each once, in the order
// first matched; unmatched receives the patterns that match no entry. Either output may be none.
void isiExpandStreamPatterns(const std::vector<ISI_STREAM_ID>& patterns, const ISI_CNF_LIST& list,
                             std::vector<ISI_STREAM_ID>* names,
                             std::vector<ISI_STREAM_ID>* unmatched);
// A time-window request of one item per name (from beg to end) with the isiInitDataRequest
// defaults, owned by the caller (isiFreeDataRequest); none with WSAEINVAL for no names or
// WSAENOBUFS. Names are sent as they are: no text is made and parsed again on the way.
ISI_DATA_REQUEST* isiAllocTwindRequest(REAL64 beg, REAL64 end, const ISI_STREAM_ID* names,
                                       uint32_t count);

// Writes the request dump, one log line each.
void isiLogDataRequest(LOGIO* lp, int level, const ISI_DATA_REQUEST* request);
// The dump's name tables ("UNKNOWN" for codes outside them).
const char* isiRequestTypeString(uint32_t code);
const char* isiPolicyString(uint32_t code);
const char* isiFormatString(uint32_t code);
const char* isiCompressString(uint32_t code);

// ---- time-series reading --------------------------------------------------------------------
ISI_TS_PACKET* isiReadGenericTS(ISI_CLIENT* client, int* status);
void isiSetStopFlag(ISI_CLIENT* client, int value);
REAL64 isiSrateToInterval(int factor, int multiplier);
// Why isiReadGenericTS refused a packet (status 2 while still connected), from the error it left:
// "its header announces more samples or data than its frame holds" and the like. Static text.
const char* isiPacketFailureText(int error);
// Decodes a type-1012 payload into packet; the data pointer is set just after the header, into
// payload. False (WSAEMSGSIZE) when the payload is shorter than the header or than the data the
// header announces.
bool isiReadTSHeader(uint8_t* payload, uint32_t payloadLen, ISI_TS_PACKET* packet);
// Converts raw into host-order samples: returns raw itself (swapped in place when needed) or
// converted, or none with WSAEOPNOTSUPP / WSAEINVAL / WSAEMSGSIZE.
ISI_TS_PACKET* isiConvertTS(ISI_TS_PACKET* raw, ISI_TS_PACKET* converted);
// Advances the matching item of request after a packet (policy 3: begin -3.0, else just past the
// last sample) and marks it complete once the data up to its end time has arrived.
// With an index (kept for this request by the caller) the item is found in constant time.
void isiUpdateRequestProgress(ISI_DATA_REQUEST* request, const ISI_TS_PACKET* packet,
                              ISI_REQUEST_INDEX* index = nullptr);
// The samples of a converted packet (uncompressed and in host order, as isiReadGenericTS hands
// them out with decompress set) as 32-bit floats in out, by the packet's data type: integers and
// 32-bit floats exactly where a float holds them, 64-bit floats and integers beyond 2^24 rounded
// to nearest. Never more samples than the data bytes hold. True on success; false with out empty
// and WSAEINVAL (a packet still compressed or big-endian, or none) or WSAEOPNOTSUPP (a native
// packet format or an unknown type, which hold no plain samples).
bool isiSamplesToFloat(const ISI_TS_PACKET* packet, std::vector<REAL32>* out);
// A data type code in words ("32-bit integers", "64-bit floats", ...), for messages. Static text.
const char* isiDataTypeString(uint8_t datatype);
// Frees a packet's owned data buffer.
void isiClearTSPacket(ISI_TS_PACKET* packet);

// Tests only: the pause before every reconnect (5000 ms). No program calls this.
void isiSetReconnectPauseForTests(uint32_t milliseconds);
uint32_t isiReconnectPause();

// ---- ISI difference compression ("idacmp") --------------------------------------------------
// Decodes nsamp samples from in[0..inlen). The first value is the first sample, each later one
// the difference from the previous sample (32-bit wrap-around). Returns false (WSAEMSGSIZE) when
// the input ends early or a code is longer than 5 bytes. On success *last is the last sample
// and *used the bytes consumed (either may be none).
bool isiDecodeIdacmp(const uint8_t* in, size_t inlen, uint32_t nsamp, int32_t* out, int32_t* last,
                     size_t* used);

// ---- state-of-health and configuration lists ------------------------------------------------
ISI_SOH_LIST* isiRequestSoh(ISI_CLIENT* client);
ISI_CNF_LIST* isiRequestCnf(ISI_CLIENT* client);
bool isiIacpRecvStreamSohList(IACP_CONNECTION* iacp, std::vector<ISI_STREAM_SOH>* list);
bool isiIacpRecvStreamCnfList(IACP_CONNECTION* iacp, std::vector<ISI_STREAM_CNF>* list);
ISI_SOH_LIST* isiGetSohList(const char* server, const ISI_OPEN_PARAMS* params);
ISI_CNF_LIST* isiGetCnfList(const char* server, const ISI_OPEN_PARAMS* params);
ISI_SOH_LIST* isiFreeList(ISI_SOH_LIST* list);  // returns none
ISI_CNF_LIST* isiFreeList(ISI_CNF_LIST* list);  // returns none

// ---- wire forms -----------------------------------------------------------------------------
// Each returns the number of bytes written or read. Unpacking reads exactly that many bytes.
int isiPackStreamName(uint8_t* out, const ISI_STREAM_ID* name);
int isiUnpackStreamName(const uint8_t* in, ISI_STREAM_ID* name);
int isiPackTwindItem(uint8_t* out, const ISI_TWIND_ITEM* item);
int isiUnpackTwindItem(const uint8_t* in, ISI_TWIND_ITEM* item);  // status left 0
int isiPackSeqno(uint8_t* out, const ISI_SEQNO_VALUE* seqno);
int isiUnpackSeqno(const uint8_t* in, ISI_SEQNO_VALUE* seqno);
int isiPackSeqnoItem(uint8_t* out, const ISI_SEQNO_ITEM* item);
int isiUnpackSeqnoItem(const uint8_t* in, ISI_SEQNO_ITEM* item);  // status left 0
// The 64-byte header; packet->data is not touched.
int isiPackTSHeader(uint8_t* out, const ISI_TS_PACKET* packet);
int isiUnpackTSHeader(const uint8_t* in, ISI_TS_PACKET* packet);
int isiPackStreamSoh(uint8_t* out, const ISI_STREAM_SOH* soh);
int isiUnpackStreamSoh(const uint8_t* in, ISI_STREAM_SOH* soh);
int isiPackStreamCnf(uint8_t* out, const ISI_STREAM_CNF* cnf);
int isiUnpackStreamCnf(const uint8_t* in, ISI_STREAM_CNF* cnf);

// Fills name from the three parts (cut to 7, 3 and 2 characters; none or empty location gives
// "  ").
void isiSetStreamId(ISI_STREAM_ID* name, const char* sta, const char* chn, const char* loc);
// "STA.CHN.LOC" text of a name ("STA.CHN" without location) into buf of len bytes; returns buf.
char* isiStreamIdString(const ISI_STREAM_ID* name, char* buf, size_t len);
// Byte-for-byte, case-sensitive comparison of the three parts.
bool isiStreamIdEqual(const ISI_STREAM_ID* a, const ISI_STREAM_ID* b);
