// CKvrWriter: blocks, files and FILELIST rows of one run, on an SQLite catalogue.
#include <cstring>
#include <fstream>
#include <numeric>

#include "gleaner/kvrwriter.h"
#include "gleaner_test_support.h"

namespace {

constexpr double kT0 = 1171540800.0;  // 2007-02-15 12:00:00 UTC, day 046

std::vector<float> Ramp(int first, int count) {
    std::vector<float> v(count);
    std::iota(v.begin(), v.end(), first);
    return v;
}

class WriterTest : public gleanertest::ScratchTest {
  protected:
    void SetUp() override {
        ScratchTest::SetUp();
        OpenCatalogue();
    }
    // Continuous packets of n samples from sample index first (at kT0 + first / rate).
    void Feed(CKvrWriter& w, const std::string& sta, const std::string& chn, const std::string& loc,
              double rate, int64_t first, int64_t last, int n) {
        for (int64_t k = first; k <= last; k += n) {
            int count = int(std::min<int64_t>(n, last - k + 1));
            auto v = Ramp(int(k), count);
            ASSERT_TRUE(w.AddSamples(sta, chn, loc, rate, kT0 + k / rate, count, v.data()));
        }
    }
    // A run of its own writing ABC.BHZ.00 samples first..last at 20 sps, n a packet.
    GLEANER_RESULT_ENTRY Run(int64_t first, int64_t last, int n) {
        CKvrWriter w(&db_, "Gleaner");
        w.SetStore({data_, "test"});
        Feed(w, "ABC", "BHZ", "00", 20.0, first, last, n);
        w.FlushAll();
        return w.Accounts().at(0);
    }
};

TEST_F(WriterTest, PacketsJoiningWithinOneIntervalMakeOneFileAndOneRow) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    auto a = Ramp(0, 100);
    auto b = Ramp(100, 60);
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0, 100, a.data()));
    // 30 ms late: still within the 50 ms interval.
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0 + 5.03, 60, b.data()));
    w.FlushAll();
    ASSERT_EQ(Files(), std::vector<std::string>{"ABC/0462007-120000-BHZ.00.ABC"});
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].tqty, 8.0);
    EXPECT_DOUBLE_EQ(rows[0].tbegin, kT0);
    EXPECT_EQ(rows[0].cpath, "ABC/0462007-120000-BHZ.00.ABC");
    EXPECT_EQ(rows[0].sta, "ABC");
    EXPECT_EQ(rows[0].ch, "BHZ");
    EXPECT_EQ(rows[0].lcode, "00");
    EXPECT_EQ(rows[0].creater, "Gleaner");
    EXPECT_EQ(rows[0].datatype, 3);
    EXPECT_EQ(rows[0].gain, 1);
    EXPECT_TRUE(rows[0].hasFoff);
    EXPECT_EQ(rows[0].foff, 512);
    EXPECT_FALSE(rows[0].lddate.empty());
    EXPECT_DOUBLE_EQ(rows[0].sps, 20.0);
    auto samples = Samples(rows[0].cpath);
    ASSERT_EQ(samples.size(), 160u);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], float(i));
}

TEST_F(WriterTest, GapStartsAFileNamedAfterTheFirstSampleAfterIt) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    auto a = Ramp(0, 100);
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0, 100, a.data()));
    // 0.06 s late is more than one 0.05 s interval: a gap.
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0 + 5.06, 100, a.data()));
    // A gap of whole seconds.
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0 + 73.0, 100, a.data()));
    w.FlushAll();
    EXPECT_EQ(Files(), (std::vector<std::string>{"ABC/0462007-120000-BHZ.00.ABC",
                                                 "ABC/0462007-120005-BHZ.00.ABC",
                                                 "ABC/0462007-120113-BHZ.00.ABC"}));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    for (auto& r : rows) EXPECT_DOUBLE_EQ(r.tqty, 5.0);
    EXPECT_DOUBLE_EQ(rows[1].tbegin, kT0 + 5.06);
}

TEST_F(WriterTest, ContinuousHourSplitsOnceAFileIsPast3599Seconds) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    // 3700 s at 20 sps in packets of 100: blocks of 4900 samples (245 s); the 15th block takes
    // the first file from 3430 s to 3675 s, past 3599, and is still appended.
    Feed(w, "ABC", "BHZ", "  ", 20.0, 0, 3700 * 20 - 1, 100);
    w.FlushAll();
    EXPECT_EQ(Files(), (std::vector<std::string>{"ABC/0462007-120000-BHZ.ABC",
                                                 "ABC/0462007-130115-BHZ.ABC"}));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_DOUBLE_EQ(rows[0].tqty, 3675.0);
    EXPECT_DOUBLE_EQ(rows[1].tbegin, kT0 + 3675.0);
    EXPECT_DOUBLE_EQ(rows[1].tqty, 25.0);
    EXPECT_EQ(Samples(rows[0].cpath).size(), 3675u * 20);
    auto second = Samples(rows[1].cpath);
    ASSERT_EQ(second.size(), 25u * 20);
    EXPECT_EQ(second.front(), float(3675 * 20));
}

TEST_F(WriterTest, OneSamplePerSecondChannelWritesChunkByChunkIntoOneFile) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    Feed(w, "ABC", "LHZ", "", 1.0, 0, 149, 30);
    w.FlushAll();
    EXPECT_EQ(Files(), std::vector<std::string>{"ABC/0462007-120000-LHZ.ABC"});
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].tqty, 150.0);
    EXPECT_EQ(rows[0].lcode, "??");
    auto samples = Samples(rows[0].cpath);
    ASSERT_EQ(samples.size(), 150u);
    EXPECT_EQ(samples[149], 149.0f);
}

TEST_F(WriterTest, LocationRulesInNamesAndLcode) {
    struct Case {
        const char* location;
        const char* name;
        const char* lcode;
    } cases[] = {{"00", "ABC/0462007-120000-BHZ.00.ABC", "00"},
                 {"  ", "ABC/0462007-120000-BHZ.ABC", "??"},
                 {"", "ABC/0462007-120000-BHZ.ABC", "??"},
                 {"??", "ABC/0462007-120000-BHZ.ABC", "??"},
                 {"10", "ABC/0462007-120000-BHZ.10.ABC", "10"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("location '") + c.location + "'");
        ASSERT_NE(db_.execute("delete from FILELIST"), SQL_ERROR);  // SQL_NO_DATA when empty
        std::filesystem::remove_all(data_);
        std::filesystem::create_directory(data_);
        CKvrWriter w(&db_, "Gleaner");
        w.SetStore({data_, "test"});
        auto v = Ramp(0, 10);
        ASSERT_TRUE(w.AddSamples("ABC", "BHZ", c.location, 20.0, kT0, 10, v.data()));
        w.FlushAll();
        EXPECT_EQ(Files(), std::vector<std::string>{c.name});
        auto rows = Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].lcode, c.lcode);
        EXPECT_EQ(rows[0].cpath, c.name);
    }
}

TEST_F(WriterTest, StationMatchesExactlyChannelAndLocationIgnoreCase) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    auto a = Ramp(0, 100);
    ASSERT_TRUE(w.AddSamples("ABC", "bhz", "0a", 20.0, kT0, 100, a.data()));
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "0A", 20.0, kT0 + 5.0, 100, a.data()));
    ASSERT_TRUE(w.AddSamples("abc", "BHZ", "0A", 20.0, kT0 + 10.0, 100, a.data()));
    w.FlushAll();
    EXPECT_EQ(Files(), (std::vector<std::string>{"ABC/0462007-120000-bhz.0a.ABC",
                                                 "abc/0462007-120010-BHZ.0A.abc"}));
    auto results = w.Results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].channel, "bhz");
    EXPECT_EQ(results[0].samples, 200u);
    EXPECT_DOUBLE_EQ(results[0].firstSample, kT0);
    EXPECT_DOUBLE_EQ(results[0].lastSample, kT0 + 9.95);
}

TEST_F(WriterTest, HeaderHoldsZeroTimesAndSamplesAreLittleEndianFloats) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    const float v[] = {1, -2, 70000};
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0 + 0.5, 3, v));
    w.FlushAll();
    std::ifstream in(data_ + "/ABC/0462007-120000-BHZ.00.ABC", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 512u + 12u);
    const std::string text =
        "[KVR4.0]\r\nData offset=512\r\nStart time=00 00 00\r\nStart date=00 00 0000\r\n"
        "Time duration=00 00 00\r\nData Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\n"
        "Station=ABC\r\nChannels=\"BHZ\"\r\n";
    EXPECT_EQ(bytes.substr(0, text.size()), text);
    EXPECT_EQ(bytes[text.size()], '\0');
    EXPECT_EQ(bytes.substr(text.size() + 1, 512 - text.size() - 1),
              std::string(512 - text.size() - 1, ' '));
    const unsigned char expected[] = {0x00, 0x00, 0x80, 0x3f,   // 1.0f
                                      0x00, 0x00, 0x00, 0xc0,   // -2.0f
                                      0x00, 0xb8, 0x88, 0x47};  // 70000.0f
    EXPECT_EQ(std::memcmp(bytes.data() + 512, expected, sizeof expected), 0);
}

// Later runs over stored files: an identical one writes nothing, a longer one adds only what is
// missing on both sides, and a crash's leftovers (a row that disagrees with its file, a file
// without a row, a sample cut in half) are put right by the next run. Every sample is checked.
TEST_F(WriterTest, LaterRunsAddOnlyWhatIsMissingAndNeverCutAFile) {
    const std::string older = "ABC/0462007-115958-BHZ.00.ABC";
    const std::string first = "ABC/0462007-120000-BHZ.00.ABC";
    auto run = [this](int64_t from, int64_t to) { return Run(from, to, 30); };
    auto expectRamp = [&](const std::string& path, int from, size_t count) {
        auto samples = Samples(path);
        ASSERT_EQ(samples.size(), count) << path;
        for (size_t i = 0; i < count; ++i) ASSERT_EQ(samples[i], float(from + int(i))) << path;
        for (const KVR_FILELIST_ROW& r : Rows())
            if (r.cpath == path) {
                EXPECT_NEAR(r.tqty, count / 20.0, 1e-9) << path;
            }
    };
    GLEANER_RESULT_ENTRY a = run(0, 99);
    EXPECT_EQ(a.samples, 100u);
    const auto rowsBefore = Rows();

    GLEANER_RESULT_ENTRY same = run(0, 99);
    EXPECT_EQ(same.samples, 0u);
    EXPECT_EQ(same.samplesAlreadyStored, 100u);
    EXPECT_EQ(same.rowsWritten, 0);
    ASSERT_EQ(Rows().size(), 1u);
    EXPECT_EQ(Rows()[0].lddate, rowsBefore[0].lddate);
    expectRamp(first, 0, 100);

    // Two seconds earlier to three seconds later.
    GLEANER_RESULT_ENTRY longer = run(-40, 159);
    EXPECT_EQ(longer.samples, 100u);
    EXPECT_EQ(longer.samplesAlreadyStored, 100u);
    EXPECT_EQ(longer.filesCreated, 1);
    EXPECT_EQ(longer.filesExtended, 1);
    EXPECT_EQ(Files(), (std::vector<std::string>{older, first}));
    expectRamp(older, -40, 40);
    expectRamp(first, 0, 160);

    // A crash: the later file lost its row and half a sample was written; the earlier one's row
    // says too little. The same run again registers, trims and corrects, and writes no sample.
    ASSERT_TRUE(kvrDeleteFileListRows(db_, first).ok());
    KVR_FILELIST_ROW shortRow = Rows().at(0);
    shortRow.tqty = 0.5;
    ASSERT_TRUE(kvrEditFileListRow(db_, shortRow).ok());
    { std::ofstream(data_ + "/" + first, std::ios::app | std::ios::binary) << "xy"; }
    GLEANER_RESULT_ENTRY again = run(-40, 179);
    EXPECT_EQ(again.samplesAlreadyStored, 200u);
    EXPECT_EQ(again.samples, 20u);
    expectRamp(older, -40, 40);
    expectRamp(first, 0, 180);
    EXPECT_EQ(Rows().size(), 2u);

    // A file of the name a new file needs, of another rate: kept, and its block reported lost.
    std::filesystem::create_directory(data_ + "/XYZ");
    const std::string foreign = data_ + "/XYZ/0462007-120000-BHZ.00.XYZ";
    {
        std::ofstream(foreign, std::ios::binary)
            << "[KVR4.0]\r\nData offset=512\r\nSpS=40.000000\r\n";
    }
    std::filesystem::resize_file(foreign, 1024);
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    Feed(w, "XYZ", "BHZ", "00", 20.0, 0, 9, 10);
    w.FlushAll();
    EXPECT_EQ(w.Accounts().at(0).samplesLost, 10u);
    EXPECT_EQ(std::filesystem::file_size(foreign), 1024u);
}

// A catalogue that refuses rows (locked, full): a new file goes again, an extended one is cut back
// to what its row says, so files and rows still agree and the samples are counted as lost.
TEST_F(WriterTest, RefusedRowsLeaveFilesAsTheirRowsSayAndCountTheLoss) {
    auto run = [this](int64_t from, int64_t to) { return Run(from, to, 50); };
    ASSERT_EQ(run(0, 99).samples, 100u);
    for (const char* event : {"insert", "update"})
        ASSERT_TRUE(
            kvrSqlOk(db_.execute(std::string("create trigger refuse_") + event + " before " +
                                 event + " on FILELIST begin select raise(abort, 'locked'); end")))
            << db_.message();
    GLEANER_RESULT_ENTRY a = run(0, 199);  // extends the file
    EXPECT_EQ(a.samplesLost, 100u);
    EXPECT_EQ(a.rowErrors, 1);
    GLEANER_RESULT_ENTRY b = run(1000, 1099);  // a new file after a gap
    EXPECT_EQ(b.samplesLost, 100u);
    EXPECT_EQ(Files(), std::vector<std::string>{"ABC/0462007-120000-BHZ.00.ABC"});
    EXPECT_EQ(Samples("ABC/0462007-120000-BHZ.00.ABC").size(), 100u);
    EXPECT_DOUBLE_EQ(Rows().at(0).tqty, 5.0);
}

// Whatever rows of the path were there (none, one, or duplicates left by another writer), both
// modes end with exactly one row holding the new values, and other paths are left alone.
TEST_F(WriterTest, RowWriteLeavesOneRowOfThePathInBothModes) {
    for (KvrRowMode mode : {KvrRowMode::Insert, KvrRowMode::Update}) {
        for (int before = 0; before <= 2; ++before) {
            SCOPED_TRACE(std::string(mode == KvrRowMode::Insert ? "insert" : "update") + ", " +
                         std::to_string(before) + " rows before");
            const SQLRETURN cleared = db_.execute("delete from FILELIST");  // no row: SQL_NO_DATA
            ASSERT_TRUE(kvrSqlOk(cleared) || cleared == SQL_NO_DATA) << db_.message();
            KVR_FILELIST_ROW old;
            old.sta = "ABC";
            old.ch = "BHN";
            old.lcode = "??";
            old.cpath = "ABC/0462007-120000-BHZ.ABC";
            old.creater = "other";
            old.tbegin = kT0 + 3600.0;  // sorts after the new row
            old.tqty = 1.0;
            for (int i = 0; i < before; ++i) ASSERT_TRUE(kvrInsertFileListRow(db_, old).ok());
            old.cpath = "ABC/0462007-130000-BHZ.ABC";
            ASSERT_TRUE(kvrInsertFileListRow(db_, old).ok());

            CFileList list(&db_);
            ASSERT_TRUE(list.WriteRow(mode, "ABC\\0462007-120000-BHZ.ABC", "ABC", "BHZ", "  ", 20.0,
                                      kT0, 245.0, "Gleaner"))
                << list.Message();
            auto rows = Rows();
            ASSERT_EQ(rows.size(), 2u);
            EXPECT_EQ(rows[0].cpath, "ABC/0462007-120000-BHZ.ABC");
            EXPECT_EQ(rows[0].ch, "BHZ");
            EXPECT_EQ(rows[0].lcode, "??");
            EXPECT_EQ(rows[0].creater, "Gleaner");
            EXPECT_DOUBLE_EQ(rows[0].tqty, 245.0);
            EXPECT_EQ(rows[1].creater, "other");
        }
    }
}

TEST_F(WriterTest, UnsafeCodesAreRefusedAndWriteNothing) {
    struct Case {
        const char* sta;
        const char* chn;
        const char* loc;
    } cases[] = {{"../x", "BHZ", "00"}, {"..", "BHZ", "00"},   {"A/B", "BHZ", "00"},
                 {"A\\B", "BHZ", "00"}, {"AB'C", "BHZ", "00"}, {"ABC", "B'Z", "00"},
                 {"ABC", "BH\n", "00"}, {"ABC", "BHZ", "/."},  {"ABC", "BHZ", ".."},
                 {"", "BHZ", "00"},     {"ABC", "", "00"},     {".", "BHZ", "00"}};
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_, "test"});
    auto v = Ramp(0, 10);
    for (const Case& c : cases)
        EXPECT_FALSE(w.AddSamples(c.sta, c.chn, c.loc, 20.0, kT0, 10, v.data()))
            << c.sta << "." << c.chn << "." << c.loc;
    EXPECT_FALSE(w.AddSamples("ABC", "BHZ", "00", 0.0, kT0, 10, v.data()));
    w.FlushAll();
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/x"));
}

TEST_F(WriterTest, MissingDataDirectoryLosesBlocksAndCountsThem) {
    CKvrWriter w(&db_, "Gleaner");
    w.SetStore({data_ + "/absent", "test"});
    auto v = Ramp(0, 10);
    ASSERT_TRUE(w.AddSamples("ABC", "BHZ", "00", 20.0, kT0, 10, v.data()));
    w.FlushAll();
    EXPECT_EQ(w.DroppedBlocks(), 1);
    EXPECT_FALSE(std::filesystem::exists(data_ + "/absent"));
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(w.Results().empty());
}

}  // namespace
