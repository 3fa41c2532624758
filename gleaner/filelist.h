// CFileList: the retrieval writer's access to the FILELIST table of the KVR catalogue.
//
// The statements live in kvr/; this class fills the row with the values a KVR 4.0 file of a
// retrieval run carries (GAIN 1, DATATYPE 3 (FLOAT), FOFF 512, CREATER as given, LDDATE the time
// of writing, "??" for an absent location) and writes it in one transaction per call: an update
// edits the path's one row, anything else removes the path's rows and adds the new one; any error
// rolls back.
#pragma once

#include <string>

#include "kvr/catalog.h"

class CFileList {
  public:
    // The connection is not owned; none means rows are not written (file-only use).
    explicit CFileList(KvrConnection* db) : db_(db) {}

    bool HasDatabase() const { return db_ != nullptr; }
    // The connection rows go to; none when rows are not written.
    KvrConnection* Database() const { return db_; }

    // Writes the row of one file. relativePath may use "\\" (it is stored with "/"). Returns false
    // with the driver's text in Message() when the transaction was rolled back; the file on disk
    // is never touched here.
    bool WriteRow(KvrRowMode mode, const std::string& relativePath, const std::string& station,
                  const std::string& channel, const std::string& location, double sps,
                  double fileStart, double fileDuration, const std::string& creator);

    const std::string& Message() const { return message_; }

  private:
    KVR_SQL_RESULT WriteInTransaction(KvrRowMode mode, const KVR_FILELIST_ROW& row);

    KvrConnection* db_;
    std::string message_;
};
