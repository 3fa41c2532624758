// The private spool of one retrieval run: every received packet, in arrival order, in a scratch
// file (platform/scratchfile.h) that vanishes when closed or when the process dies.
//
// Record layout (host byte order; only this program writes and reads it), no file header:
//   [0] station 8   [8] channel 4   [12] location 4                     NUL-terminated texts
//   [24] rate factor i16   [26] rate multiplier i16
//   [40] time of first sample f64   [56] time of last sample f64       epoch seconds
//   [96] sample count u32   [100] compression u8   [101] sample type code u8   [102] byte order u8
//   [104] data byte count u32
//   other bytes of the 112 are zero; then the data bytes as received (host order, uncompressed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "isi/isi.h"
#include "platform/scratchfile.h"

inline constexpr size_t kSpoolHeaderSize = 112;
inline constexpr size_t kSpoolBufferSize = 512000;  // write and read-back buffers

// Read-back results besides a record size.
inline constexpr long kSpoolReadError = -1;
inline constexpr long kSpoolEnd = -1000;
inline constexpr long kSpoolNoMemory = -2000;

struct SPOOL_RECORD {
    char station[ISI_STALEN + 1] = {};
    char channel[ISI_CHNLEN + 1] = {};
    char location[ISI_LOCLEN + 1] = {};
    int16_t factor = 0;
    int16_t multiplier = 0;
    double tofs = 0.0;
    double tols = 0.0;
    uint32_t nsamp = 0;
    uint8_t compress = 0;
    uint8_t datatype = 0;
    uint8_t order = 0;
    uint32_t nbytes = 0;
    std::unique_ptr<uint8_t[]> data;  // nbytes bytes; the caller releases it after conversion
};

class CSpoolFile {
  public:
    CSpoolFile() = default;
    ~CSpoolFile() { Close(); }
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;

    // Creates the scratch file in directory (empty: the system's temporary folder, $TMPDIR or
    // /tmp). False when it cannot.
    bool Create(const std::string& directory);
    // Appends one packet: header image, then data bytes. Records are gathered in a write buffer
    // of kSpoolBufferSize bytes and reach the file when it is full and at Flush, so a write
    // failure may be reported by a later Append or by Flush. False on any write failure (a full
    // disk or the test limit): the file then holds every byte up to the failure, as if each
    // record had been written on its own, and every later Append fails.
    bool Append(const ISI_TS_PACKET& packet);
    // Writes out the buffered records. False on a write failure (now or before).
    bool Flush();
    // Flushes what it can, then moves to the start for read-back.
    bool Rewind();
    // Closing deletes the file and everything in it, buffered records included.
    void Close();
    int Descriptor() const { return fd_; }
    // Bytes in the file and in the write buffer.
    uint64_t Size() const { return size_ + used_; }
    // Whole records in the file and in the write buffer (a record cut short by a failed write
    // does not count).
    uint64_t Records() const { return records_ + ends_.size(); }

    // Tests only: writes beyond this many bytes fail as on a full disk (0: no limit).
    void SetLimitForTests(uint64_t bytes) { limit_ = bytes; }

  private:
    // Writes the parts (up to the test limit) to the file; the bytes written.
    uint64_t WriteOut(const PLAT_IOVEC* parts, int count, uint64_t total);

    int fd_ = -1;
    uint64_t size_ = 0;     // bytes in the file
    uint64_t records_ = 0;  // whole records in the file
    uint64_t limit_ = 0;
    bool failed_ = false;
    std::unique_ptr<uint8_t[]> buffer_;  // kSpoolBufferSize bytes, made on first use and kept
    size_t used_ = 0;
    std::vector<uint32_t> ends_;  // end offsets of the records in the buffer
};

// Reads the spool back through one buffer of 512000 bytes; a record may straddle refills.
class CSpoolReader {
  public:
    explicit CSpoolReader(int fd) : fd_(fd) {}
    // The next record: its size (112 + data bytes), kSpoolEnd at the end of the file (a record
    // cut short there is dropped), kSpoolReadError when the file cannot be read, kSpoolNoMemory
    // when the data buffer cannot be had.
    long ReadRecord(SPOOL_RECORD* record);

  private:
    // Copies n bytes; returns how many could be had before the end of the file, or -1.
    long Read(uint8_t* out, size_t n);

    int fd_;
    std::unique_ptr<uint8_t[]> buffer_;  // made on first use and kept
    size_t valid_ = 0;
    size_t position_ = 0;
};
