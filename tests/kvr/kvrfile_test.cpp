// KVR file names, headers, appending and reading.
#include "kvr/kvrfile.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvr/catalog.h"
#include "kvr/store.h"
#include "platform/clock.h"
#include "support/test_host.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace {

// 2006-01-02 13:04:05 UTC and 2007-02-14 (day 45) 12:00:00 UTC.
constexpr double kJan2_2006_130405 = 1136207045.0;
constexpr double kDay45_2007_120000 = 1171454400.0;

class TempDir {
  public:
    TempDir() { path_ = testhost::makeTempDir("kvr-file-test"); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(KvrFileNames, Version20NamesAndHourFolders) {
    struct Case {
        const char* station;
        const char* channel;
        double time;
        const char* relative;
    } cases[] = {
        {"abc", "BHZ", kJan2_2006_130405, "abc\\13\\02012006-130405-BHZ.abc"},
        // "%3s" pads a two-character code with one leading blank.
        {"ab", "BHZ", kJan2_2006_130405, "ab\\13\\02012006-130405-BHZ. ab"},
        {"abc", "LH", kJan2_2006_130405, "abc\\13\\02012006-130405- LH.abc"},
        // Longer codes are never cut.
        {"abcdefg", "BHZ", kJan2_2006_130405, "abcdefg\\13\\02012006-130405-BHZ.abcdefg"},
        // The fraction is cut off: 23:59:59.7 stays in second 59 of hour 23.
        {"abc", "BHZ", 1136246399.7, "abc\\23\\02012006-235959-BHZ.abc"},
        {"abc", "BHZ", 1136246399.9999, "abc\\23\\02012006-235959-BHZ.abc"},
        {"abc", "BHZ", 0.0, "abc\\00\\01011970-000000-BHZ.abc"},
        {"abc", "BHZ", 951825600.0, "abc\\12\\29022000-120000-BHZ.abc"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kvrRelativePath20(c.station, c.channel, c.time), c.relative) << c.relative;
    }
    EXPECT_EQ(kvrCatalogPath("abc\\13\\02012006-130405-BHZ.abc"), "abc/13/02012006-130405-BHZ.abc");
}

TEST(KvrFileNames, Version40NamesWithAndWithoutLocation) {
    struct Case {
        const char* station;
        const char* channel;
        const char* location;
        double time;
        const char* relative;
    } cases[] = {
        {"ABC", "BHZ", "00", kDay45_2007_120000, "ABC\\0452007-120000-BHZ.00.ABC"},
        {"ABC", "BHZ", "??", kDay45_2007_120000, "ABC\\0452007-120000-BHZ.ABC"},
        {"ABC", "BHZ", "  ", kDay45_2007_120000, "ABC\\0452007-120000-BHZ.ABC"},
        {"ABC", "BHZ", "", kDay45_2007_120000, "ABC\\0452007-120000-BHZ.ABC"},
        {"AB", "LH", "10", kDay45_2007_120000, "AB\\0452007-120000- LH.10. AB"},
        // Rounded to the millisecond first: .9996 s becomes the next second, .9994 does not.
        {"ABC", "BHZ", "", kDay45_2007_120000 + 59.9996, "ABC\\0452007-120100-BHZ.ABC"},
        {"ABC", "BHZ", "", kDay45_2007_120000 + 59.9994, "ABC\\0452007-120059-BHZ.ABC"},
        {"ABC", "BHZ", "", 0.0, "ABC\\0011970-000000-BHZ.ABC"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kvrRelativePath40(c.station, c.channel, c.location, c.time), c.relative)
            << c.relative;
    }
}

TEST(KvrFileNames, FullPathsUnderTheDataDirectory) {
    struct Case {
        const char* dir;
        const char* relative;
        const char* full;
    } cases[] = {
        {"/data/kvr", "abc\\13\\x.abc", "/data/kvr/abc/13/x.abc"},
        {"/data/kvr/", "abc/13/x.abc", "/data/kvr/abc/13/x.abc"},
        {"", "abc\\x.abc", "abc/x.abc"},
        {"/", "abc\\x.abc", "/abc/x.abc"},
    };
    for (const Case& c : cases) EXPECT_EQ(kvrFullPath(c.dir, c.relative), c.full);
}

TEST(KvrTime, SplitEpochTimeGivesTheUtcCalendar) {
    struct Case {
        double time;
        int year, month, day, hour, minute;
        float seconds;
    } cases[] = {
        {0.0, 1970, 1, 1, 0, 0, 0.0f},
        {kJan2_2006_130405 + 0.25, 2006, 1, 2, 13, 4, 5.25f},
        {951782400.0, 2000, 2, 29, 0, 0, 0.0f},  // 400-year leap day
        {951868800.0, 2000, 3, 1, 0, 0, 0.0f},
        {4107542400.0, 2100, 3, 1, 0, 0, 0.0f},       // 2100 is not a leap year
        {1104537599.5, 2004, 12, 31, 23, 59, 59.5f},  // day 366 of a leap year
        {-2208988800.0, 1900, 1, 1, 0, 0, 0.0f},
        {-62135596800.0, 1, 1, 1, 0, 0, 0.0f},
    };
    for (const Case& c : cases) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
        float seconds = -1;
        ASSERT_TRUE(SplitEpochTime(c.time, &year, &month, &day, &hour, &minute, &seconds))
            << c.time;
        EXPECT_EQ(year, c.year) << c.time;
        EXPECT_EQ(month, c.month) << c.time;
        EXPECT_EQ(day, c.day) << c.time;
        EXPECT_EQ(hour, c.hour) << c.time;
        EXPECT_EQ(minute, c.minute) << c.time;
        EXPECT_FLOAT_EQ(seconds, c.seconds) << c.time;
    }
    int y, mo, d, h, mi;
    float s;
    for (double bad : {double(NAN), double(INFINITY), -62135596801.0, 1e15})
        EXPECT_FALSE(SplitEpochTime(bad, &y, &mo, &d, &h, &mi, &s)) << bad;
    EXPECT_EQ(kvrRelativePath20("abc", "BHZ", NAN), "");
}

TEST(KvrHeader, BytesOfBothVersions) {
    std::array<char, KVR_HEADER_SIZE> block{};
    ASSERT_TRUE(BuildHeader20(block, "abc", "BHZ", 20.0, kJan2_2006_130405 + 0.7));
    std::string text20 =
        "[KVR2.0]\r\nData offset=512\r\nStart time=13 04 05\r\nStart date=02 01 2006\r\n"
        "Time duration=00 00 00\r\nData Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\n"
        "Station=abc\r\nChannels=\"BHZ\"\r\n";
    std::string expected20 = text20 + '\0' + std::string(511 - text20.size(), ' ');
    EXPECT_EQ(std::string(block.data(), block.size()), expected20);

    ASSERT_TRUE(kvrBuildHeader40(block, "ABC", "BHZ", 0.1));
    std::string text40 =
        "[KVR4.0]\r\nData offset=512\r\nStart time=00 00 00\r\nStart date=00 00 0000\r\n"
        "Time duration=00 00 00\r\nData Type=FLOAT\r\nSpS=0.100000\r\nGain=1\r\n"
        "Station=ABC\r\nChannels=\"BHZ\"\r\n";
    std::string expected40 = text40 + '\0' + std::string(511 - text40.size(), ' ');
    EXPECT_EQ(std::string(block.data(), block.size()), expected40);

    // Codes that cannot fit are refused instead of overrunning the block.
    EXPECT_FALSE(BuildHeader20(block, std::string(400, 's'), "BHZ", 20.0, 0.0));
    EXPECT_FALSE(kvrBuildHeader40(block, "ABC", std::string(500, 'c'), 20.0));
}

TEST(KvrFile, AppendingKeepsTheHeaderAndAddsLittleEndianFloats) {
    TempDir dir;
    std::string path = dir.file("abc.kvr");
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(BuildHeader20(header, "abc", "BHZ", 20.0, kJan2_2006_130405));
    std::string error;
    std::vector<float> first = {1.0f, -2.5f};
    std::vector<float> second = {3.0f, 0.0f, 1e-3f};
    ASSERT_TRUE(kvrCreateFile(path, header, first, &error)) << error;
    std::vector<char> before = readBytes(path);
    ASSERT_TRUE(kvrAppendSamples(path, second, &error)) << error;
    std::vector<char> after = readBytes(path);

    ASSERT_EQ(after.size(), KVR_HEADER_SIZE + 5 * KVR_SAMPLE_SIZE);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_EQ(std::memcmp(after.data(), header.data(), KVR_HEADER_SIZE), 0);
    const unsigned char one[] = {0x00, 0x00, 0x80, 0x3f};  // 1.0f, little-endian
    EXPECT_EQ(std::memcmp(after.data() + KVR_HEADER_SIZE, one, sizeof one), 0);

    KVR_FILE_INFO info;
    std::vector<float> samples;
    ASSERT_TRUE(kvrReadFile(path, &info, &samples, &error)) << error;
    EXPECT_EQ(info.version, "2.0");
    EXPECT_EQ(info.station, "abc");
    EXPECT_EQ(info.channel, "BHZ");
    EXPECT_DOUBLE_EQ(info.sps, 20.0);
    EXPECT_EQ(info.sampleCount, 5u);
    EXPECT_EQ(samples, (std::vector<float>{1.0f, -2.5f, 3.0f, 0.0f, 1e-3f}));

    // A file that vanished is not recreated as a headerless stub.
    EXPECT_FALSE(kvrAppendSamples(dir.file("gone.kvr"), second, &error));
    EXPECT_FALSE(fs::exists(dir.file("gone.kvr")));
}

TEST(KvrFile, ReaderRefusesWhatIsNotAKvrFile) {
    TempDir dir;
    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(kvrBuildHeader40(header, "ABC", "BHZ", 20.0));
    std::string good(header.data(), header.size());
    std::string otherOffset = good;
    otherOffset.replace(otherOffset.find("512"), 3, "256");
    struct Case {
        const char* name;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"short", good.substr(0, 100), "shorter than the 512-byte header"},
        {"empty", "", "shorter than the 512-byte header"},
        {"other", "MSEED" + std::string(1, '\0') + std::string(600, 'x'), "not a KVR file"},
        {"nozero", std::string(512, 'x'), "no terminating zero byte"},
        {"offset", otherOffset, "data offset"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(c.name);
        writeBytes(path, c.bytes);
        KVR_FILE_INFO info;
        std::vector<float> samples;
        std::string error;
        EXPECT_FALSE(kvrReadFile(path, &info, &samples, &error)) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    }
    // A trailing partial sample is not counted.
    std::string path = dir.file("partial");
    writeBytes(path, good + std::string(6, '\0'));
    KVR_FILE_INFO info;
    std::string error;
    ASSERT_TRUE(kvrReadHeader(path, &info, &error)) << error;
    EXPECT_EQ(info.sampleCount, 1u);
    EXPECT_EQ(info.version, "4.0");
}

TEST(KvrLocation, StoredFormIsNeverEmptyOrBlank) {
    struct Case {
        const char* given;
        const char* stored;
    } cases[] = {{"", "??"}, {"  ", "??"}, {" ", "??"}, {"??", "??"}, {"00", "00"}, {"10", "10"}};
    for (const Case& c : cases) EXPECT_EQ(kvrStoredLocation(c.given), c.stored) << c.given;
}

// Under a locale with a decimal comma (as a window program adopts the user's) every number the
// system writes as text keeps the point. The locale is generated for the test; a test that fell
// back to the C locale would prove nothing, so failing to make it fails the test.
TEST(KvrLocale, NumbersKeepThePointUnderACommaLocale) {
#ifdef _WIN32
    GTEST_SKIP() << "the comma locale is generated with glibc's localedef";
#else
    const fs::path dir =
        fs::temp_directory_path() / ("kvr-locale-" + std::to_string(platProcessId()));
    fs::create_directories(dir);
    const std::string make =
        "localedef -i de_DE -f UTF-8 " + (dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << "localedef could not make de_DE.UTF-8";
    ::setenv("LOCPATH", dir.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    EXPECT_STREQ(probe, "1,5") << "the generated locale has no decimal comma";

    std::array<char, KVR_HEADER_SIZE> header{};
    ASSERT_TRUE(BuildHeader20(header, "abc", "BHZ", 20.0, 1136207045.25));
    std::string text(header.data());
    char when[UTIL_TIMESTRING_STATIC_LEN + 1];
    std::string time = utilTimeString(1136207045.25, 0, when);
    std::string insert =
        kvrStmtInsert("abc", 1136207045.25, 245.5, 20, 1, "abc\\13\\x.abc", "BHZ", "??", 3, -1, -1);
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    fs::remove_all(dir);

    EXPECT_NE(text.find("SpS=20.000000\r\n"), std::string::npos) << text;
    EXPECT_EQ(time, "2006:002-13:04:05.250");
    EXPECT_NE(insert.find("'abc', 1136207045.250000, 245.500000, 20.000000, 1,"), std::string::npos)
        << insert;
#endif
}
