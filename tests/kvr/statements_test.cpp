// The recorder's statement texts: exact for ordinary codes, quotes doubled for the others.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "kvr/catalog.h"
#include "kvr/dsn.h"

TEST(KvrStatements, TextsAreTheRecordersOwn) {
    struct Case {
        std::string actual;
        const char* expected;
    } cases[] = {
        {kvrStmtDeleteBeforeInsert("abc\\13\\02012006-130405-BHZ.abc"),
         "delete from filelist where cpath='abc/13/02012006-130405-BHZ.abc'"},
        {kvrStmtInsert("abc", 1136207045.0, 60.0, 20.0, 1, "abc\\13\\02012006-130405-BHZ.abc",
                       "BHZ", "??", 3, -1.0, -1.0),
         "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,lcode,datatype,creater, calib, "
         "calper) values ('abc', 1136207045.000000, 60.000000, 20.000000, "
         "1,'abc/13/02012006-130405-BHZ.abc','BHZ','?\?', 3,'NRTSDISKLOOP',-1.000000,-1.000000)"},
        {kvrStmtUpdate(1136207045.0, 120.5, "abc\\13\\x.abc", "abc", "BHZ", "00"),
         "update filelist set tbegin=1136207045.000000,tqty=120.500000 where "
         "cpath='abc/13/x.abc' and sta='abc' and ch='BHZ' and lcode='00'"},
        {kvrStmtLoopSize("abc"),
         "select sum(sps*tqty*4+512) as DLSize from filelist where creater='NRTSDISKLOOP' and "
         "tqty>0. and sta='abc'"},
        {kvrStmtLoopList("abc"),
         "select cpath,sps,tqty from filelist where creater='NRTSDISKLOOP' and sta='abc'  order "
         "by tbegin"},
        {kvrStmtDeleteRow("abc/13/x.abc"), "delete from FILELIST where cpath='abc/13/x.abc'"},
        {kvrStmtSampleRate("abc", "BHZ", "??"),
         "select SPS from SITECHAN where  STA='abc' and CHAN='BHZ' and LCODE='?\?'"},
        // A quote inside a code is doubled and cannot close the literal.
        {kvrStmtSampleRate("o'k", "B'Z", "'"),
         "select SPS from SITECHAN where  STA='o''k' and CHAN='B''Z' and LCODE=''''"},
        {kvrStmtDeleteRow("x'; drop table filelist; --"),
         "delete from FILELIST where cpath='x''; drop table filelist; --'"},
        {kvrFileListFilter("abc/x'y.abc"), "cpath='abc/x''y.abc'"},
        // Connection strings: a password cannot end its field or add a key of its own.
        {kvrConnectString("KVR", {"KVR", "JXQ"}), "DSN=KVR;UID=KVR;PWD=JXQ;"},
        {kvrConnectString("KVR", {"rec", "a;DSN=x"}), "DSN=KVR;UID=rec;PWD={a;DSN=x};"},
        {kvrConnectString("KVR", {"rec", "p}w{"}), "DSN=KVR;UID=rec;PWD={p}}w{};"},
        {kvrConnectString("KVR", {"rec", " lead"}), "DSN=KVR;UID=rec;PWD={ lead};"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(KvrStatements, NumbersIgnoreTheProgramsLocale) {
    // A program that adopts a locale with a decimal comma must still write SQL numbers.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    // Where no such locale is installed this still checks the C locale.
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_EQ(kvrSqlNumber(20.0), "20.000000");
    EXPECT_EQ(kvrSqlNumber(-1.0), "-1.000000");
    EXPECT_EQ(kvrSqlNumber(0.0000004), "0.000000");
    EXPECT_EQ(kvrSqlNumber(1136207045.25), "1136207045.250000");
    std::setlocale(LC_NUMERIC, saved.c_str());
}
