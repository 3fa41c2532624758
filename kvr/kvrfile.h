// KVR waveform files: one channel of 32-bit float samples behind a 512-byte text header.
//
// On-disk layout (versions 2.0 and 4.0 alike):
//
//   offset 0..511   header block. Text lines, each ended by CR LF, in this order:
//                     [KVR2.0] or [KVR4.0]             version magic
//                     Data offset=512                  always 512
//                     Start time=HH MM SS              "%02d %02d %02d"; 4.0: 00 00 00
//                     Start date=DD MM YYYY            "%02d %02d %04d"; 4.0: 00 00 0000
//                     Time duration=HH MM SS           no defined value; we write 00 00 00
//                     Data Type=FLOAT
//                     SpS=20.000000                    "%f", six decimals
//                     Gain=1
//                     Station=abc                      station code as the writer holds it
//                     Channels="BHZ"                   channel code between double quotes
//                   then one zero byte. Bytes after the zero byte carry no meaning; readers
//                   ignore them and our writers fill them with blanks (0x20).
//                   Times are UTC, seconds truncated to whole seconds. No line holds the
//                   location code.
//   offset 512..    samples: IEEE-754 single precision, little-endian, consecutive samples one
//                   sample interval apart, no gaps marked. Count = (file size - 512) / 4.
//
// The header is written once when the file is created and never rewritten: the real start and
// length of the data are in the file name and in the catalogue row (TBEGIN, TQTY).
//
// Where files live and how they are named is the store's (kvr/store.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t KVR_HEADER_SIZE = 512;  // bytes; also the "Data offset=" value
inline constexpr size_t KVR_SAMPLE_SIZE = 4;    // one IEEE-754 float
inline constexpr int KVR_DATATYPE_FLOAT = 3;    // FILELIST.DATATYPE of every file we write
inline constexpr const char* KVR_MAGIC_20 = "[KVR2.0]";
inline constexpr const char* KVR_MAGIC_40 = "[KVR4.0]";

// ---- time ---------------------------------------------------------------------------------

// Breaks epoch seconds into the proleptic Gregorian UTC date and time. seconds keeps the fraction
// of the input. False (outputs untouched) for a time that is not finite or lies outside years
// 1..9999, where no month can be found.
bool SplitEpochTime(double epochSeconds, int* year, int* month, int* day, int* hour, int* minute,
                    float* seconds);

// The calendar fields a file name or header prints: whole seconds, and the day of year from 1.
struct KVR_NAME_TIME {
    int year;
    int month;
    int day;
    int yday;
    int hour;
    int minute;
    int second;
};

// Each is true with *out set, false (*out untouched) for a time that is not finite or lies outside
// years 1..9999.
// 2.0 split: the fraction of the second is cut off (23:59:59.7 stays in second 59 and hour 23).
bool kvrNameTime20(double epochSeconds, KVR_NAME_TIME* out);
// 4.0 split: rounded to the nearest millisecond first, then the whole seconds are kept, so a
// fraction of 0.9995 s or more counts as the next second.
bool kvrNameTime40(double epochSeconds, KVR_NAME_TIME* out);

// ---- headers ------------------------------------------------------------------------------

// Fills block (512 bytes) with the 2.0 header for one channel whose first sample is at
// firstSample. False, with block left all blanks, when the time cannot be split or the text with
// its zero byte does not fit in 512 bytes (codes far longer than ISI allows).
bool BuildHeader20(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                   std::string_view channel, double sps, double firstSample);
// The 4.0 header as the retrieval writer fills it: time lines all zeros. False as above.
bool kvrBuildHeader40(std::span<char, KVR_HEADER_SIZE> block, std::string_view station,
                      std::string_view channel, double sps);

// A number as "%f" prints it in the C locale (six decimals), whatever locale the program runs
// under: every number written as text into a header or a statement goes through here. A value
// that is not finite gives "inf", "-inf", "nan" or "-nan".
std::string kvrFixedNumber(double value);

// ---- writing ------------------------------------------------------------------------------

// Creates (or truncates) the file at hostPath and writes the header block and samples. The
// folders are not created here; see kvrMakeFolders. False with a message on any failure.
// True when every byte was written and the file closed. On failure *error (when given) reads
// "cannot create PATH: reason" or "cannot write PATH: reason", and a file that was opened is left
// with what reached it: nothing removes it.
bool kvrCreateFile(const std::string& hostPath, std::span<const char, KVR_HEADER_SIZE> header,
                   std::span<const float> samples, std::string* error);
// Opens an existing file for writing, seeks to its end and writes samples; the header is never
// touched. False with a message when the file is missing or cannot be written. *sizeBefore (when
// given) receives the file's size before the write, what a failed write is cut back to, or -1
// when the file could not be opened (it is then unchanged).
// The cutting back is the caller's: a failed write may leave part of the samples in the file.
// *error may be null; its text is "cannot open PATH: reason" or "cannot write PATH: reason".
bool kvrAppendSamples(const std::string& hostPath, std::span<const float> samples,
                      std::string* error, long long* sizeBefore = nullptr);
// Creates a folder and its parents; an existing folder is not an error. False, with *error (when
// given) "cannot create folder PATH: reason", when the folder is not there afterwards.
bool kvrMakeFolders(const std::string& hostPath, std::string* error);

// ---- reading ------------------------------------------------------------------------------

struct KVR_FILE_INFO {
    std::string version;  // "2.0" or "4.0" (any "[KVRx]" magic is accepted and kept)
    std::vector<std::pair<std::string, std::string>> lines;  // "key=value" lines after the magic
    std::string station;                                     // Station= value
    std::string channel;                                     // Channels= value without its quotes
    double sps = 0.0;                                        // SpS= value
    long dataOffset = 0;                                     // Data offset= value
    uint64_t fileSize = 0;
    uint64_t sampleCount = 0;  // (size - 512) / 4; a trailing partial sample is not counted
};

// Reads and checks the header. Refuses, with a message, a file shorter than the header, a header
// whose first line is not a KVR magic or that has no zero byte, and a data offset other than 512.
// True with *info set; false with *error (when given) "PATH: reason", also for a file that cannot
// be opened, and *info untouched. The file is closed before the return.
bool kvrReadHeader(const std::string& hostPath, KVR_FILE_INFO* info, std::string* error);
// Reads the header and every sample. True with *info and *samples set (samples in host order);
// false with *error set ("PATH: reason") and both untouched.
bool kvrReadFile(const std::string& hostPath, KVR_FILE_INFO* info, std::vector<float>* samples,
                 std::string* error);

// Reads file after file into one buffer that only grows, for a program that reads many files in a
// row (the export): no buffer is made, cleared or freed per file, and each file is opened once.
class KvrSampleReader {
  public:
    // Reads the header and every sample of hostPath. True with *info set and Samples() holding
    // the file's samples in host order until the next Read; false with *error set
    // ("PATH: reason"), *info untouched and Samples() empty.
    bool Read(const std::string& hostPath, KVR_FILE_INFO* info, std::string* error);
    // A view of the reader's own buffer: valid until the next Read or the reader's end, empty
    // before the first Read.
    std::span<const float> Samples() const { return {buffer_.get(), count_}; }

  private:
    std::unique_ptr<float[]> buffer_;
    size_t capacity_ = 0;
    size_t count_ = 0;
};
// True when the first bytes of the file are a KVR magic ("[KVR"). False, with nothing reported,
// for a file that cannot be opened or is shorter than 4 bytes.
bool kvrLooksLikeKvrFile(const std::string& hostPath);
