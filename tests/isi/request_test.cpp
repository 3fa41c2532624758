// Stream specifiers, request building and the request dump.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "isi/isi.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> expand(const char* specifier, bool* valid) {
    std::vector<std::string> out;
    UTIL_LIST* list = isiExpandStreamNameSpecifier(specifier);
    *valid = list != nullptr;
    if (list == nullptr) return out;
    for (UTIL_LIST_NODE* node = utilFirstNode(list); node != nullptr;
         node = utilNextNode(list, node)) {
        const auto* name = static_cast<const ISI_STREAM_ID*>(node->data);
        out.push_back(std::string(name->sta) + "|" + name->chn + "|" + name->loc);
    }
    utilDestroyList(list);
    return out;
}

TEST(IsiStreamSpecifier, ExpandsPiecesAndParts) {
    struct Case {
        const char* specifier;
        bool valid;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"STA.BHZ", true, {"STA|BHZ|  "}},
        {"STA.BHZ.00", true, {"STA|BHZ|00"}},
        {"STA.BHZ.00.extra.more", true, {"STA|BHZ|00"}},
        {"A.B+C.D.10", true, {"A|B|  ", "C|D|10"}},
        {"+A.B+C.D.10", true, {"A|B|  ", "C|D|10"}},
        {"A.B++C.D+", true, {"A|B|  ", "C|D|  "}},
        {"STA,BHZ:00", true, {"STA|BHZ|00"}},
        {"STA;BHZ/00", true, {"STA|BHZ|00"}},
        {"STA\\BHZ", true, {"STA|BHZ|  "}},
        {"STA..BHZ", true, {"STA|BHZ|  "}},
        {"LONGSTATION.BHZZ.000", true, {"LONGSTA|BHZ|00"}},
        {"*.*.*", true, {"*|*|*"}},
        {nullptr, true, {"*|*|*"}},
        {"STA", false, {}},
        {"A.B+STA", false, {}},
        {"A.B+.", false, {}},
    };
    for (const Case& c : cases) {
        bool valid = false;
        std::vector<std::string> names = expand(c.specifier, &valid);
        const char* shown = c.specifier != nullptr ? c.specifier : "(none)";
        EXPECT_EQ(valid, c.valid) << shown;
        EXPECT_EQ(names, c.names) << shown;
    }
}

// What an operator types: one reading everywhere, every fault refused with its cause, never cut.
TEST(IsiStreamNames, TypedNamesAreReadWholeOrRefusedWithTheirFault) {
    struct Case {
        const char* text;
        std::vector<std::string> names;  // empty: refused
        const char* fault;               // a piece of the message
    };
    const Case cases[] = {
        {"STA.BHZ", {"STA|BHZ|  "}, ""},
        {"+sta.bhz.00+STA.BH?+*.*.*", {"sta|bhz|00", "STA|BH?|  ", "*|*|*"}, ""},
        {"STA.BHZ.--", {"STA|BHZ|  "}, ""},
        {"STA.BHZ.", {"STA|BHZ|  "}, ""},
        {"LONGSTA.BHZ.00", {"LONGSTA|BHZ|00"}, ""},
        {"STA.BHZ.00.X", {}, "a fourth part \"X\""},
        {"LONGSTAT.BHZ", {}, "station code \"LONGSTAT\" is longer than 7"},
        {"STA.BHZZ", {}, "channel code \"BHZZ\" is longer than 3"},
        {"STA.BHZ.000", {}, "location code \"000\" is longer than 2"},
        {"STA", {}, "STA.CHN[.LOC] expected"},
        {"STA..BHZ", {}, "no channel code"},
        {"STA.B Z", {}, "holds a character other than"},
        {"%n%s%n.%N", {}, "holds a character other than"},
        {"STA,BHZ", {}, "STA.CHN[.LOC] expected"},
        {"+", {}, "no stream name"},
    };
    for (const Case& c : cases) {
        std::vector<ISI_STREAM_ID> names;
        std::string error;
        const bool ok = isiParseStreamNames(c.text, &names, &error);
        std::vector<std::string> got;
        for (const ISI_STREAM_ID& n : names)
            got.push_back(std::string(n.sta) + "|" + n.chn + "|" + n.loc);
        EXPECT_EQ(ok, !c.names.empty()) << c.text;
        EXPECT_EQ(got, c.names) << c.text;
        EXPECT_NE(error.find(c.fault), std::string::npos) << c.text << ": " << error;
    }

    // Patterns against a server's list: concrete names each once, and what matched nothing.
    ISI_STREAM_CNF entries[3]{};
    isiSetStreamId(&entries[0].name, "BIGA", "HHZ", "");
    isiSetStreamId(&entries[1].name, "BIGB", "HHN", "00");
    isiSetStreamId(&entries[2].name, "SMALL", "HHZ", "");
    const ISI_CNF_LIST list{3, entries};
    std::vector<ISI_STREAM_ID> patterns, names, unmatched;
    ASSERT_TRUE(isiParseStreamNames("big*.HH?+biga.hhz+BIGB.HHN.*+NONE.HHZ+SMALL.HHZ.00", &patterns,
                                    nullptr));
    isiExpandStreamPatterns(patterns, list, &names, &unmatched);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(isiStreamIdEqual(&names[0], &entries[0].name));
    EXPECT_TRUE(isiStreamIdEqual(&names[1], &entries[1].name));
    ASSERT_EQ(unmatched.size(), 2u);
    EXPECT_STREQ(unmatched[0].sta, "NONE");
    EXPECT_STREQ(unmatched[1].loc, "00");

    // The request carries the names as they are, without a text on the way.
    ISI_DATA_REQUEST* request = isiAllocTwindRequest(-2.0, 100.0, names.data(), 2);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->type, ISI_REQUEST_TYPE_TWIND);
    ASSERT_EQ(request->nreq, 2u);
    EXPECT_TRUE(isiStreamIdEqual(&request->twind[1].name, &entries[1].name));
    EXPECT_EQ(request->twind[1].beg, -2.0);
    EXPECT_EQ(request->twind[1].end, 100.0);
    isiFreeDataRequest(request);
    EXPECT_EQ(isiAllocTwindRequest(0.0, 1.0, names.data(), 0), nullptr);
}

TEST(IsiDataRequest, DefaultRequestDumpsItsLines) {
    iacptest::CapturedLog log(LOG_DEBUG);
    ISI_DATA_REQUEST* request = isiAllocDefaultDataRequest();
    ASSERT_NE(request, nullptr);
    isiLogDataRequest(log.handle(), LOG_INFO, request);
    isiFreeDataRequest(request);
    std::vector<std::string> expected = {
        "*** beg ISI_DATA_REQUEST ***",
        "       type = 2 (time window)",
        "     policy = 2 (minimal gap)",
        "     format = 1 (generic)",
        "   compress = 5 (gzip)",
        "       nreq = 1",
        "   1: '*'.'*'.'*' <  end of disk loop > <       forever     >",
        "*** end ISI_DATA_REQUEST ***",
    };
    std::vector<std::string> lines = log.messages();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        // The handle may put a prefix before each text; the text is the end of the line.
        EXPECT_TRUE(lines[i].size() >= expected[i].size() &&
                    lines[i].compare(lines[i].size() - expected[i].size(), std::string::npos,
                                     expected[i]) == 0)
            << "line " << i << ": '" << lines[i] << "'";
    }
}

TEST(IsiDataRequest, DumpShowsSeqnoItemsAndUnknownCodes) {
    iacptest::CapturedLog log(LOG_DEBUG);
    ISI_SEQNO_VALUE beg = {0x12345678u, 0x0000000100000002ull};
    ISI_SEQNO_VALUE end = {ISI_SEQNO_SIG_FOREVER, 0};
    ISI_DATA_REQUEST* request = isiAllocSimpleSeqnoRequest(&beg, &end, "STA.BHZ+STA.BHN");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->nreq, 1u);  // one item per station
    request->policy = 9;
    isiLogDataRequest(log.handle(), LOG_INFO, request);
    isiFreeDataRequest(request);
    EXPECT_TRUE(log.contains("       type = 1 (sequence number)"));
    EXPECT_TRUE(log.contains("     policy = 9 (UNKNOWN)"));
    EXPECT_TRUE(log.contains("   1: STA 12345678 00000001 00000002 [        forever         ]"));
}

TEST(IsiDataRequest, DumpPrintsTimesAndSpecialValues) {
    iacptest::CapturedLog log(LOG_DEBUG);
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(-2.0, 86400.0, "STA.BHZ.00");
    ASSERT_NE(request, nullptr);
    isiLogDataRequest(log.handle(), LOG_INFO, request);
    request->twind[0].beg = -1.5e79;  // before 1970, like -1.0: blanks
    isiLogDataRequest(log.handle(), LOG_INFO, request);
    isiFreeDataRequest(request);
    std::string expectedEnd = std::string(" ") + utilTimeString(86400.0, 0, nullptr);
    EXPECT_TRUE(log.contains("   1: 'STA'.'BHZ'.'00' <  beg of disk loop >" + expectedEnd));
    EXPECT_TRUE(log.contains("   1: 'STA'.'BHZ'.'00' " + std::string(21, ' ') + expectedEnd));

    // A time no calendar holds (a hostile acknowledgment) prints as seconds, and at once.
    request = isiAllocSimpleDataRequest(1e300, -4.0, "STA.BHZ");
    ASSERT_NE(request, nullptr);
    isiLogDataRequest(log.handle(), LOG_INFO, request);
    EXPECT_TRUE(
        log.contains("   1: 'STA'.'BHZ'.'  ' 1.0000000000000001e+300 <       forever     >"));

    // Lines the handle would not show are not built.
    logioSetThreshold(log.handle(), LOG_INFO);
    log.clear();
    isiLogDataRequest(log.handle(), LOG_DEBUG, request);
    EXPECT_TRUE(log.messages().empty());
    isiFreeDataRequest(request);
}

}  // namespace
