// Bounded copy, field splitting, the list, packing and the hex dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "util/util.h"

namespace {

TEST(UtilCopyBounded, CopiesWhatFitsAndAlwaysTerminates) {
    struct Case {
        const char* src;
        size_t size;
        const char* expected;
    } cases[] = {
        {"ABCDE", 4, "ABC"}, {"ABC", 4, "ABC"}, {"ABCD", 4, "ABC"}, {"", 4, ""}, {"ABC", 1, ""},
    };
    for (const auto& c : cases) {
        char dest[8];
        std::memset(dest, 'x', sizeof dest);
        EXPECT_EQ(utilCopyBounded(dest, c.src, c.size), dest);
        EXPECT_STREQ(dest, c.expected) << c.src << "/" << c.size;
        for (size_t i = c.size; i < sizeof dest; ++i) EXPECT_EQ(dest[i], 'x') << "overrun at " << i;
    }
    char dest[4];
    EXPECT_EQ(utilCopyBounded(nullptr, "A", 4), nullptr);
    EXPECT_EQ(utilCopyBounded(dest, nullptr, 4), nullptr);
    EXPECT_EQ(utilCopyBounded(dest, "A", 0), nullptr);
}

TEST(UtilPrintable, ControlBytesCannotForgeALineOrSteerATerminal) {
    char out[64];
    EXPECT_STREQ(utilPrintable(out, "ANMO", sizeof out), "ANMO");
    EXPECT_STREQ(utilPrintable(out, "AN\nMO\r\t\x1b[2J\\\x7f\xc3", sizeof out),
                 "AN\\nMO\\r\\t\\x1b[2J\\\\\\x7f\\xc3");
    // Cut to fit, never inside an escape: "AB" plus "\\n" needs 5 bytes with the terminator.
    EXPECT_STREQ(utilPrintable(out, "AB\nC", 4), "AB");
    EXPECT_STREQ(utilPrintable(out, "AB\nC", 5), "AB\\n");
    EXPECT_EQ(utilPrintable(out, nullptr, sizeof out), nullptr);
    EXPECT_EQ(utilPrintable(out, "x", 0), nullptr);
}

TEST(UtilSplitFields, SplitsAtRunsOfSeparators) {
    struct Case {
        const char* text;
        int max;
        const char* separators;
        char quote;
        std::vector<std::string> expected;
    } cases[] = {
        {"a b c d", 3, " ", 0, {"a", "b", "c"}},  // the fourth is ignored
        {"  a  b\t\tc ", 8, " \t", 0, {"a", "b", "c"}},
        {"", 4, " ", 0, {}},
        {"   ", 4, " ", 0, {}},
        {"ALQ,BHZ,,00", 8, ",", 0, {"ALQ", "BHZ", "00"}},
        {"x \"a b\" y", 8, " ", '"', {"x", "\"a b\"", "y"}},
        {"x \"a b\" y", 8, " ", 0, {"x", "\"a", "b\"", "y"}},
        {"one", 1, " ", 0, {"one"}},
    };
    for (const auto& c : cases) {
        std::vector<char> text(c.text, c.text + std::strlen(c.text) + 1);
        char* fields[8] = {};
        int n = utilSplitFields(text.data(), fields, c.max, c.separators, c.quote);
        ASSERT_EQ(n, int(c.expected.size())) << c.text;
        for (int i = 0; i < n; ++i) EXPECT_EQ(fields[i], c.expected[size_t(i)]) << c.text;
    }
    char text[] = "a b";
    char* fields[1];
    platSetError(0);
    EXPECT_EQ(utilSplitFields(text, fields, 0, " ", 0), -1);
    EXPECT_EQ(platGetError(), WSAEINVAL);
}

std::vector<std::string> listStrings(UTIL_LIST* list) {
    std::vector<std::string> out;
    for (UTIL_LIST_NODE* n = utilFirstNode(list); n != nullptr; n = utilNextNode(list, n)) {
        out.emplace_back(static_cast<const char*>(n->data));
    }
    return out;
}

TEST(UtilList, KeepsCopiesInOrderAndRebuildsItsArrayView) {
    UTIL_LIST* list = utilTokenList("ALQ BHZ  00 \"two words\"", " ", '"');
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list->allocated);
    EXPECT_EQ(listStrings(list), (std::vector<std::string>{"ALQ", "BHZ", "00", "\"two words\""}));
    EXPECT_EQ(list->count, 4);

    ASSERT_TRUE(utilArrayifyList(list));
    ASSERT_NE(list->array, nullptr);
    EXPECT_STREQ(static_cast<const char*>(list->array[3]), "\"two words\"");
    EXPECT_TRUE(utilAppendEntry(list, "x", 0));  // nothing appended
    EXPECT_EQ(list->count, 4);
    ASSERT_TRUE(utilRemoveNode(list, utilFirstNode(list)));
    EXPECT_EQ(list->array, nullptr);  // the view is dropped when the nodes change
    EXPECT_EQ(listStrings(list), (std::vector<std::string>{"BHZ", "00", "\"two words\""}));
    utilDestroyList(list);

    UTIL_LIST inside;
    ASSERT_EQ(utilCreateList(&inside), &inside);
    EXPECT_FALSE(inside.allocated);
    int value = 7;
    EXPECT_TRUE(utilAppendEntry(&inside, &value, sizeof value));
    value = 8;  // the node holds its own copy
    EXPECT_EQ(*static_cast<int*>(utilFirstNode(&inside)->data), 7);
    EXPECT_EQ(utilFirstNode(&inside)->length, sizeof value);
    utilDestroyList(&inside);
    EXPECT_EQ(inside.count, 0);
    EXPECT_EQ(utilFirstNode(&inside), nullptr);
}

TEST(UtilPack, BigEndianRoundTrips) {
    uint8_t buf[8];
    EXPECT_EQ(utilPackUINT16(buf, 0x0102), 2);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 2), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(utilPackUINT32(buf, 0x01020304), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(utilPackUINT64(buf, 0x0102030405060708ull), 8);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(utilPackREAL64(buf, 1.0), 8);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8),
              (std::vector<uint8_t>{0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(utilPackREAL32(buf, -2.0f), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xc0, 0, 0, 0}));

    REAL64 r64 = 0;
    utilPackREAL64(buf, 1709212455.678);
    EXPECT_EQ(utilUnpackREAL64(buf, &r64), 8);
    EXPECT_EQ(r64, 1709212455.678);
    int32_t i32 = 0;
    utilPackINT32(buf, -5);
    EXPECT_EQ(utilUnpackINT32(buf, &i32), 4);
    EXPECT_EQ(i32, -5);
    int16_t i16 = 0;
    utilPackINT16(buf, -300);
    EXPECT_EQ(utilUnpackINT16(buf, &i16), 2);
    EXPECT_EQ(i16, -300);

    uint16_t s16[2] = {0x0102, 0x0304};
    utilSwap16(s16, 2);
    EXPECT_EQ(s16[1], 0x0403);
    uint32_t s32[1] = {0x01020304};
    utilSwap32(s32, 1);
    EXPECT_EQ(s32[0], 0x04030201u);
    uint64_t s64[1] = {0x0102030405060708ull};
    utilSwap64(s64, 1);
    EXPECT_EQ(s64[0], 0x0807060504030201ull);
}

TEST(UtilHexDump, SixteenBytesALineWithPrintableText) {
    FILE* fp = std::tmpfile();
    ASSERT_NE(fp, nullptr);
    const uint8_t bytes[] = {'I', 'A', 'C', 'P', 0, 0,   0,   1,    0,    0,  0,
                             2,   0,   0,   0,   3, 'h', 'i', 0x7f, 0xc3, ' '};
    utilHexDump(fp, bytes, sizeof bytes);
    std::rewind(fp);
    std::string text;
    for (int c; (c = std::fgetc(fp)) != EOF;) text += char(c);
    std::fclose(fp);
    EXPECT_EQ(text,
              "00000000 49 41 43 50 00 00 00 01 00 00 00 02 00 00 00 03 | IACP............\n"
              "00000010 68 69 7f c3 20                                  | hi.. \n");
}

TEST(UtilSetHostAddr, NamesDottedAddressesAndUnknownHosts) {
    PLAT_INADDR a;
    ASSERT_TRUE(utilSetHostAddr(&a, "127.0.0.1", 39136));
    const uint8_t* addr = reinterpret_cast<const uint8_t*>(&a.addr);
    EXPECT_EQ(std::vector<uint8_t>(addr, addr + 4), (std::vector<uint8_t>{127, 0, 0, 1}));
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&a.port);
    EXPECT_EQ(std::vector<uint8_t>(port, port + 2), (std::vector<uint8_t>{0x98, 0xe0}));
    ASSERT_TRUE(utilSetHostAddr(&a, "localhost", 1));
    EXPECT_EQ(addr[0], 127);
    ASSERT_TRUE(utilSetHostAddr(&a, nullptr, 1));
    EXPECT_EQ(a.addr, 0u);
    platSetError(0);
    EXPECT_FALSE(utilSetHostAddr(&a, "no-such-host.invalid", 1));
    EXPECT_EQ(platGetError(), ENOENT_CODE);
}

}  // namespace
