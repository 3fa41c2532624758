// INI files: defaults, case-insensitive names, rewrites that keep every other line, atomic
// replacement, and the Windows-directory and letter-case lookups of a file name.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "support/test_host.h"

namespace fs = std::filesystem;

namespace {

class PlatformProfile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("found-profile-" + std::to_string(platProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).generic_string(); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
};

const char* kSample =
    "; settings\n"
    "stray line without equals\n"
    "orphan=before any section\n"
    "[-CONFIG-]\n"
    "Server = isi.example.org\n"
    "Port=39136\n"
    "Quoted=\"  padded  \"\n"
    "Bad=12abc\n"
    "Neg=-7\n"
    "Word=abc\n"
    "Empty=\n"
    "\n"
    "[GROUP1]\n"
    "Port=1\n"
    "garbage ]]] [[\n";

TEST_F(PlatformProfile, ReadsWithDefaultsForEverythingMissing) {
    write("a.ini", kSample);
    const std::string f = path("a.ini");
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"-CONFIG-", "Server", "isi.example.org"},
        {"-config-", "SERVER", "isi.example.org"},  // names ignore case
        {"-CONFIG-", "Quoted", "  padded  "},
        {"-CONFIG-", "Empty", ""},
        {"-CONFIG-", "Missing", "dflt"},
        {"NOSUCH", "Port", "dflt"},
        {"GROUP1", "Port", "1"},
        {"", "orphan", "dflt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platGetProfileString(c.section, c.key, "dflt", f), c.expected)
            << c.section << "/" << c.key;
    }
    EXPECT_EQ(platGetProfileString("-CONFIG-", "Port", "dflt", path("none.ini")), "dflt");

    struct IntCase {
        const char* key;
        int expected;
    } ints[] = {{"Port", 39136}, {"Bad", 12},  {"Neg", -7},
                {"Word", 5},     {"Empty", 5}, {"Missing", 5}};
    for (const auto& c : ints) {
        EXPECT_EQ(platGetProfileInt("-CONFIG-", c.key, 5, f), c.expected) << c.key;
    }
    EXPECT_EQ(platGetProfileInt("-CONFIG-", "Port", 5, path("none.ini")), 5);
}

TEST_F(PlatformProfile, WritesKeepEveryOtherLine) {
    write("a.ini", kSample);
    const std::string f = path("a.ini");
    ASSERT_TRUE(platWriteProfileString("-config-", "port", "4000", f));  // replaced in place
    ASSERT_TRUE(platWriteProfileString("-CONFIG-", "NewKey", "x", f));   // added to the section
    ASSERT_TRUE(platWriteProfileString("GROUP2", "Name", "ALQ", f));     // new section at the end
    EXPECT_EQ(read("a.ini"),
              "; settings\n"
              "stray line without equals\n"
              "orphan=before any section\n"
              "[-CONFIG-]\n"
              "Server = isi.example.org\n"
              "port=4000\n"
              "Quoted=\"  padded  \"\n"
              "Bad=12abc\n"
              "Neg=-7\n"
              "Word=abc\n"
              "Empty=\n"
              "NewKey=x\n"
              "\n"
              "[GROUP1]\n"
              "Port=1\n"
              "garbage ]]] [[\n"
              "[GROUP2]\n"
              "Name=ALQ\n");
    EXPECT_EQ(platGetProfileInt("GROUP1", "Port", 0, f), 1);
}

TEST_F(PlatformProfile, ManyRewritesLoseNoKey) {
    const std::string f = path("resume.ini");
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(platWriteProfileString("SYSTEM", std::string("K") + std::to_string(i),
                                               std::to_string(round * 100 + i), f));
        }
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(platGetProfileInt("SYSTEM", std::string("k") + std::to_string(i), -1, f), 200 + i);
    }
    EXPECT_EQ(platGetProfileSection("system", f).size(), 20u);
}

TEST_F(PlatformProfile, DeletesAWholeSectionOrOneKey) {
    write("a.ini", "[A]\nx=1\n; note\n[B]\ny=2\nz=3\n[C]\nw=4\n");
    const std::string f = path("a.ini");
    ASSERT_TRUE(platDeleteProfileSection("b", f));
    ASSERT_TRUE(platDeleteProfileKey("A", "X", f));
    ASSERT_TRUE(platDeleteProfileSection("NOSUCH", f));
    EXPECT_EQ(read("a.ini"), "[A]\n; note\n[C]\nw=4\n");
}

TEST_F(PlatformProfile, ReplacesTheFileAtomically) {
    write("a.ini", "[A]\nx=1\n");
    const std::string f = path("a.ini");
    const auto permissionsBefore = fs::status(f).permissions();
    auto held = std::make_unique<std::ifstream>(f);
#ifdef _WIN32
    // Windows cannot replace a file that a reader holds open (the C library's streams do not
    // share its deletion): the write waits for a short reader to finish.
    std::thread reader([&held] {
        platSleepMs(200);
        held.reset();
    });
    ASSERT_TRUE(platWriteProfileString("A", "y", "2", f));
    reader.join();
#else
    // A reader that opened the old file keeps reading it whole.
    ASSERT_TRUE(platWriteProfileString("A", "y", "2", f));
    std::stringstream old;
    old << held->rdbuf();
    EXPECT_EQ(old.str(), "[A]\nx=1\n");
#endif
    EXPECT_EQ(read("a.ini"), "[A]\nx=1\ny=2\n");
    EXPECT_EQ(fs::status(f).permissions(), permissionsBefore);
    // No temporary file is left beside it.
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1);
    // A folder that does not exist makes the write fail, not crash.
    EXPECT_FALSE(platWriteProfileString("A", "x", "1", path("no/such/dir.ini")));
}

TEST_F(PlatformProfile, KeepsWindowsLineEnds) {
    write("a.ini", "[A]\r\nx=1\r\n");
    const std::string f = path("a.ini");
    EXPECT_EQ(platGetProfileString("A", "x", "", f), "1");
    ASSERT_TRUE(platWriteProfileString("A", "y", "2", f));
    EXPECT_EQ(read("a.ini"), "[A]\r\nx=1\r\ny=2\r\n");
}

TEST_F(PlatformProfile, FileNamesIgnoreLetterCase) {
    write("KVR.ini", "[DATA]\nDIR=D:\\data\n");
    EXPECT_EQ(platGetProfileString("DATA", "DIR", "", path("kvr.INI")), "D:\\data");
    ASSERT_TRUE(platWriteProfileString("DATA", "X", "1", path("kvr.ini")));
    EXPECT_EQ(read("KVR.ini"), "[DATA]\nDIR=D:\\data\nX=1\n");
    EXPECT_FALSE(fs::exists(path("kvr.ini")) && !fs::exists(path("KVR.ini")));
}

TEST_F(PlatformProfile, BareNamesLiveInTheWindowsDirectory) {
    write("KVR.ini", "[DATA]\nDIR=/srv/kvr\n");
    const char* old = std::getenv("WINDIR");
    std::string saved = old != nullptr ? old : "";
    testhost::setEnv("WINDIR", dir_.string());
#ifdef _WIN32
    EXPECT_EQ(platResolveProfilePath("kvr.ini"), path("kvr.ini"));  // the same file there
#else
    EXPECT_EQ(platResolveProfilePath("kvr.ini"), path("KVR.ini"));
#endif
    EXPECT_EQ(platGetProfileString("DATA", "DIR", "", "KVR.ini"), "/srv/kvr");
    testhost::unsetEnv("WINDIR");
#ifdef _WIN32
    // Without the variable, the system's own Windows folder.
    EXPECT_NE(platResolveProfilePath("nosuch-found-test.ini").find(":/"), std::string::npos);
#else
    EXPECT_EQ(platResolveProfilePath("nosuch-found-test.ini"), "/etc/nosuch-found-test.ini");
#endif
    if (old != nullptr) testhost::setEnv("WINDIR", saved);
}

TEST(PlatformPath, SeparatorsBecomeTheHosts) {
    EXPECT_EQ(platHostPath(".\\rillet.ini"), "./rillet.ini");
    EXPECT_EQ(platHostPath("..\\log"), "../log");
    EXPECT_EQ(platHostPath("/already/fine"), "/already/fine");
    EXPECT_EQ(platResolveProfilePath(".\\no-such-found-file.ini"), "./no-such-found-file.ini");
}

}  // namespace
