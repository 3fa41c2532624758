#include "gleaner/filelist.h"

#include "kvr/kvrfile.h"
#include "kvr/store.h"

// The data offset the retrieval writer records: samples start right after the header block.
static constexpr int kFileOffset = static_cast<int>(KVR_HEADER_SIZE);

bool CFileList::WriteRow(KvrRowMode mode, const std::string& relativePath,
                         const std::string& station, const std::string& channel,
                         const std::string& location, double sps, double fileStart,
                         double fileDuration, const std::string& creator) {
    message_.clear();
    if (db_ == nullptr) return true;
    KVR_FILELIST_ROW row;
    row.sta = station;
    row.sps = sps;
    row.gain = 1;
    row.cpath = kvrCatalogPath(relativePath);
    row.datatype = KVR_DATATYPE_FLOAT;
    row.ch = channel;
    row.creater = creator;
    row.lddate = kvrNowTimestamp();
    row.tbegin = fileStart;
    row.tqty = fileDuration;
    row.hasFoff = true;
    row.foff = kFileOffset;
    row.lcode = kvrStoredLocation(location);
    KVR_SQL_RESULT r = WriteInTransaction(mode, row);
    if (!r.ok()) message_ = r.message;
    return r.ok();
}

// Every column of FILELIST is set by both the insert and the edit. An update whose path has
// exactly one row edits it: one statement, the common case of a growing file. Otherwise (insert
// mode, no row, or several rows of the path left by another writer, or a driver that cannot
// count) the path's rows are removed and the new one added, which leaves the table as the edit
// would and a path with one row. No row is ever selected first: selecting and binding the
// matching rows was about half of a run's conversion time.
KVR_SQL_RESULT CFileList::WriteInTransaction(KvrRowMode mode, const KVR_FILELIST_ROW& row) {
    KvrTransaction transaction(*db_);
    if (!transaction.active()) return {SQL_ERROR, db_->message()};
    bool edited = false;
    if (mode == KvrRowMode::Update) {
        KVR_SQL_RESULT r = kvrEditFileListRow(*db_, row);
        if (!r.ok() && r.rc != SQL_NO_DATA) return r;
        edited = r.ok() && r.rows == 1;
    }
    if (!edited) {
        KVR_SQL_RESULT r = kvrDeleteFileListRows(*db_, row.cpath);
        if (!r.ok()) return r;
        r = kvrInsertFileListRow(*db_, row);
        if (!r.ok()) return r;
    }
    if (!transaction.commit()) return {SQL_ERROR, db_->message()};
    return {SQL_SUCCESS, {}};
}
