// A scratch folder with an SQLite catalogue (tables created) for the retrieval tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "isi/isi.h"
#include "kvr/catalog.h"
#include "kvr/dsn.h"
#include "kvr/kvrfile.h"
#include "support/sqlite_dsn.h"

namespace gleanertest {

// Stream names as one text, "STA.CHN[.LOC]" joined by "+", for comparisons.
inline std::string NamesText(const std::vector<ISI_STREAM_ID>& names) {
    std::string text;
    for (const ISI_STREAM_ID& n : names) {
        char one[ISI_STREAM_NAME_WIRE_LEN + 3];
        text += (text.empty() ? "" : "+") + std::string(isiStreamIdString(&n, one, sizeof one));
    }
    return text;
}

// The names of a text (isiParseStreamNames); none for a text it refuses.
inline std::vector<ISI_STREAM_ID> Names(const std::string& text) {
    std::vector<ISI_STREAM_ID> names;
    isiParseStreamNames(text, &names, nullptr);
    return names;
}

inline std::string MakeScratchFolder(const char* tag) {
    return testhost::makeTempDir(std::string("gleaner-") + tag);
}

class ScratchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeScratchFolder("test");
        ASSERT_FALSE(dir_.empty());
        data_ = dir_ + "/data";
        std::filesystem::create_directory(data_);
    }
    void TearDown() override {
        db_.close();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Data source "KVR" on an SQLite file of this folder, in an ODBCINI of its own.
    void OpenCatalogue() {
        std::string error;
        ASSERT_TRUE(kvrtest::UseSqliteDsn(dir_, &error)) << error;
        ASSERT_TRUE(db_.open(KVR_DSN, KVR_USER, KVR_PASSWORD)) << db_.message();
        std::vector<std::string> created;
        KVR_SQL_RESULT r = kvrCreateSchema(db_, &created);
        ASSERT_TRUE(r.ok()) << r.message;
    }

    std::vector<KVR_FILELIST_ROW> Rows() {
        std::vector<KVR_FILELIST_ROW> rows;
        KVR_SQL_RESULT r = kvrSelectFileListRows(db_, "", &rows);
        EXPECT_TRUE(r.ok()) << r.message;
        return rows;
    }

    // Every regular file under the data directory, relative, "/" separators, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (auto& e : std::filesystem::recursive_directory_iterator(data_))
            if (e.is_regular_file())
                out.push_back(std::filesystem::relative(e.path(), data_).generic_string());
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<float> Samples(const std::string& relative) {
        KVR_FILE_INFO info;
        std::vector<float> samples;
        std::string error;
        EXPECT_TRUE(kvrReadFile(data_ + "/" + relative, &info, &samples, &error)) << error;
        return samples;
    }

    std::string dir_;
    std::string data_;
    KvrConnection db_;
};

}  // namespace gleanertest
