// The interval fields: reading and checking the three formats, the list texts, and typing.
#include <gtest/gtest.h>

#include "gleaner/masktext.h"
#include "gleaner/timefields.h"

namespace {

constexpr double kFeb29of2008 = 1204243200.0;  // 2008-02-29 00:00:00 UTC
constexpr double kMar1of2008 = 1204329600.0;

TEST(TimeFields, ReadingAndCheckingTexts) {
    struct Case {
        int format;
        const char* text;
        bool accepted;
        double epoch;  // when accepted
    } cases[] = {
        {0, "02.29.2008 00:00:00", true, kFeb29of2008},
        {0, "02.29.2007 00:00:00", false, 0},
        {0, "03.01.2008 00:00:00", true, kMar1of2008},
        {0, "13.01.2008 00:00:00", false, 0},
        {0, "12.31.2007 24:00:00", false, 0},
        {0, "12.31.2007 23:60:00", false, 0},
        {0, "12.31.2007 23:59:60", false, 0},
        {0, "04.31.2007 00:00:00", false, 0},
        {0, "01.01.1900 00:00:00", true, -2208988800.0},  // passes; "Get data" refuses it
        {0, "__.__.____ __:__:__", false, 0},
        {0, "02.29.2008 00:00:__", false, 0},
        {0, "02,29,2008 00,00,00", true, kFeb29of2008},
        {1, "2008.060 00:00:00", true, kFeb29of2008},
        {1, "2008.061 00:00:00", true, kMar1of2008},
        {1, "2008.366 12:00:00", true, 1230724800.0},
        {1, "2007.366 00:00:00", false, 0},  // past the year's end: a thirteenth month
        {2, "00:00:00 29/02/2008", true, kFeb29of2008},
        {2, "00:00:00 29/02/2007", false, 0},
        {2, "01:02:03 01/03/2008", true, kMar1of2008 + 3723.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " format " + std::to_string(c.format));
        GLEANER_FIELD_TIME t;
        ASSERT_EQ(gleanerReadField(c.format, c.text, &t), c.accepted);
        if (c.accepted) {
            EXPECT_DOUBLE_EQ(gleanerFieldToEpoch(t), c.epoch);
        }
    }
}

TEST(TimeFields, ShownTextsInFieldsAndLists) {
    const double t = kMar1of2008 + 3723.0;  // 2008-03-01 01:02:03
    GLEANER_FIELD_TIME v = gleanerSplitTime(t);
    EXPECT_EQ(gleanerFieldText(0, v), "03.01.2008 01:02:03");
    EXPECT_EQ(gleanerFieldText(1, v), "2008.061 01:02:03");
    EXPECT_EQ(gleanerFieldText(2, v), "01:02:03 01/03/2008");
    EXPECT_EQ(gleanerListTime(0, t), "03.01.2008 01:02:03");
    EXPECT_EQ(gleanerListTime(1, t), "2008.061-01:02:03");
    EXPECT_EQ(gleanerListTime(2, t), "01:02:03 01.03.2008");
    // Rounded to the millisecond, then whole seconds: 0.9995 s counts as the next second.
    EXPECT_EQ(gleanerListTime(0, t + 0.9995), "03.01.2008 01:02:04");
    EXPECT_EQ(gleanerListTime(0, t + 0.9994), "03.01.2008 01:02:03");
    // What a field shows, it reads back.
    for (int format = 0; format < kTimeFormatCount; ++format) {
        GLEANER_FIELD_TIME back;
        ASSERT_TRUE(gleanerReadField(format, gleanerFieldText(format, v), &back));
        EXPECT_DOUBLE_EQ(gleanerFieldToEpoch(back), t);
    }
    EXPECT_STREQ(gleanerFieldTemplate(2), "__:__:__ __/__/____");
}

CMaskText FieldOfFormat(int format) {
    CMaskText f;
    f.SetMask(gleanerFieldMask(format), gleanerFieldTemplate(format));
    return f;
}

TEST(MaskTyping, DigitsOverwriteAndSeparatorsAreSupplied) {
    CMaskText f = FieldOfFormat(0);
    f.SetText("01.01.2000 00:00:00");
    f.SetCaret(0);
    for (char c : std::string("12312007")) ASSERT_TRUE(f.TypeChar(c));
    EXPECT_EQ(f.Text(), "12.31.2007 00:00:00");
    EXPECT_EQ(f.Caret(), 11);  // past the blank, at the hour
    for (char c : std::string("235958")) ASSERT_TRUE(f.TypeChar(c));
    EXPECT_EQ(f.Text(), "12.31.2007 23:59:58");
    EXPECT_FALSE(f.TypeChar('1'));  // past the end of the mask
}

TEST(MaskTyping, RefusedCharactersLeaveTheText) {
    for (int format = 0; format < kTimeFormatCount; ++format) {
        CMaskText f = FieldOfFormat(format);
        const std::string before = f.Text();
        for (int caret = 0; caret < int(before.size()); ++caret)
            for (char c : std::string("aZ.-/ ")) {
                f.SetCaret(caret);
                EXPECT_FALSE(f.TypeChar(c)) << "format " << format << " caret " << caret;
            }
        // A refused character may have typed the separator at the caret, nothing more.
        EXPECT_EQ(f.Text(), before);
    }
}

TEST(MaskTyping, CaretOnASeparatorOrASelectionStartTypesThere) {
    CMaskText f = FieldOfFormat(2);
    f.SetText("00:00:00 00/00/0000");
    f.SetCaret(2);  // on the first ":"
    ASSERT_TRUE(f.TypeChar('5'));
    EXPECT_EQ(f.Text(), "00:50:00 00/00/0000");
    f.SetCaret(18, 9, 5);  // a selection from the day: typing starts at its start
    ASSERT_TRUE(f.TypeChar('3'));
    ASSERT_TRUE(f.TypeChar('1'));
    EXPECT_EQ(f.Text(), "00:50:00 31/00/0000");
    EXPECT_EQ(f.Caret(), 12);
}

}  // namespace
