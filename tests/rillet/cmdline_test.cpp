// The recorder's command line: values in each accepted form, numbers read the same in any
// locale, and every usage error refused with its cause, the usage and nothing taken over.
#include "rillet/cmdline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commandline/exit_usage.h"

namespace {

struct Parsed {
    int rc = 0;
    RilletCommandLine line;
    std::string out, err;
};

std::string Drain(FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    return text;
}

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "rillet");
    Parsed p;
    p.line.folder = "untouched";
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    p.rc = rilletParseCommandLine(static_cast<int>(args.size()), args.data(), "rillet-headless",
                                  "9.8.7", &p.line, out, err);
    p.out = Drain(out);
    p.err = Drain(err);
    return p;
}

}  // namespace

TEST(RilletCommandLine, AcceptsEachFormAndRefusesUsageErrorsWithTheUsage) {
    Parsed p = Parse({"--headless", "-C", "/srv/rec", "--verbose"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_TRUE(p.line.headless && p.line.verbose && !p.line.status);
    EXPECT_EQ(p.line.folder, "/srv/rec");
    EXPECT_EQ(Parse({"-C/srv/other"}).line.folder, "/srv/other");
    EXPECT_EQ(Parse({"--status"}).line.maxLag, 300);
    EXPECT_EQ(Parse({"--max-lag=60.5", "--status"}).line.maxLag, 60.5);
    EXPECT_EQ(Parse({"--status", "--max-lag", "0"}).line.maxLag, 0);
    EXPECT_EQ(Parse({"--headless", "--metrics=/run/rillet.prom"}).line.metrics, "/run/rillet.prom");

    p = Parse({"--version"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.out, "rillet-headless 9.8.7\n");
    p = Parse({"--headless", "-h"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_NE(p.out.find("Usage: rillet [OPTIONS]"), std::string::npos);
    EXPECT_NE(p.out.find("--max-lag"), std::string::npos);

    const std::vector<std::vector<const char*>> refused = {{"--bogus"},
                                                           {"extra"},
                                                           {"-C"},
                                                           {"--status", "--max-lag"},
                                                           {"--status", "--max-lag", "1,5"},
                                                           {"--status", "--max-lag", "-1"},
                                                           {"--status", "--max-lag", "inf"},
                                                           {"--max-lag", "5"},
                                                           {"--headless", "--status"},
                                                           {"--headless=yes"},
                                                           {"--metrics", ""},
                                                           {"--status", "--metrics", "m.prom"}};
    for (const auto& args : refused) {
        p = Parse(args);
        EXPECT_EQ(p.rc, kExitUsage) << args.back();
        EXPECT_TRUE(p.out.empty()) << args.back();
        EXPECT_EQ(p.err.rfind("rillet: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find("Usage: rillet [OPTIONS]"), std::string::npos) << p.err;
        EXPECT_EQ(p.line.folder, "untouched");
    }
    EXPECT_NE(Parse({"--bogus"}).err.find("--bogus"), std::string::npos);
    EXPECT_NE(Parse({"--max-lag", "5"}).err.find("requires --status"), std::string::npos);
}
