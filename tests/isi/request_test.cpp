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
