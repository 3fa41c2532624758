// The spool's write buffer: records reach the file whole and in order across buffer flushes, and
// a write failure (the test limit standing for a full disk) leaves exactly the records that fit,
// whether an Append or the last Flush runs into it.
#include "gleaner/spool.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr uint32_t kDataBytes = 400;  // 112 + 400 = 512 bytes a record: 1000 to a buffer
constexpr uint64_t kRecordBytes = kSpoolHeaderSize + kDataBytes;

ISI_TS_PACKET Packet(uint32_t index, std::vector<uint8_t>* data) {
    ISI_TS_PACKET p{};
    std::strcpy(p.name.sta, "ANMO");
    std::strcpy(p.name.chn, "BHZ");
    std::strcpy(p.name.loc, "00");
    p.factor = 20;
    p.multiplier = 1;
    p.tofs = 1e9 + index;
    p.tols = p.tofs + 0.95;
    p.nsamp = kDataBytes / 4;
    p.datatype = ISI_TYPE_INT32;
    data->assign(kDataBytes, uint8_t(index * 7));
    std::memcpy(data->data(), &index, sizeof index);
    p.data = data->data();
    p.nbytes = kDataBytes;
    return p;
}

TEST(SpoolTest, BufferedWritesKeepWholeRecordsUpToAWriteFailure) {
    struct Case {
        const char* name;
        uint32_t packets;
        uint64_t limit;              // 0: none
        uint32_t firstFailedAppend;  // packets: no Append fails
        uint64_t stored;             // whole records read back
    };
    const Case cases[] = {
        {"three buffers and a bit, no limit", 3100, 0, 3100, 3100},
        {"limit inside the first buffer: the last Flush fails", 600, 300 * kRecordBytes + 100, 600,
         300},
        {"limit on a record boundary", 600, 300 * kRecordBytes, 600, 300},
        // The first buffer (1000 records) goes out whole; the second fills at record 2000 and its
        // write fails when record 2001 arrives.
        {"limit inside the second buffer: an Append fails", 2500, 1200 * kRecordBytes + 7, 2000,
         1200},
    };
    const std::string dir = (std::filesystem::temp_directory_path() /
                             ("gleaner-spool-test-" + std::to_string(platProcessId())))
                                .string();
    std::filesystem::create_directories(dir);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSpoolFile spool;
        ASSERT_TRUE(spool.Create(dir));
        spool.SetLimitForTests(c.limit);
        std::vector<uint8_t> data;
        uint32_t failedAt = c.packets;
        for (uint32_t i = 0; i < c.packets; ++i) {
            if (!spool.Append(Packet(i, &data))) {
                failedAt = i;
                break;
            }
        }
        EXPECT_EQ(failedAt, c.firstFailedAppend);
        EXPECT_EQ(spool.Flush(), c.limit == 0);
        EXPECT_FALSE(c.limit != 0 && spool.Append(Packet(0, &data)));  // failed for good
        EXPECT_EQ(spool.Records(), c.stored);

        ASSERT_TRUE(spool.Rewind());
        CSpoolReader reader(spool.Descriptor());
        SPOOL_RECORD record;
        uint64_t read = 0;
        long size;
        while ((size = reader.ReadRecord(&record)) > 0) {
            ASSERT_EQ(size, long(kRecordBytes));
            uint32_t index;
            std::memcpy(&index, record.data.get(), sizeof index);
            ASSERT_EQ(index, read) << "records out of order or lost";
            EXPECT_EQ(record.tofs, 1e9 + index);
            EXPECT_EQ(record.data[kDataBytes - 1], uint8_t(index * 7));
            ++read;
        }
        EXPECT_EQ(size, kSpoolEnd);
        EXPECT_EQ(read, c.stored);
        spool.Close();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));  // nothing named is ever left
    std::filesystem::remove_all(dir);
}

}  // namespace
