#include "gleaner/filelist.h"

#include "kvr/kvrfile.h"

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
    (void)mode;  // both modes leave the same row; see WriteInTransaction
    KVR_SQL_RESULT r = WriteInTransaction(row);
    if (!r.ok()) message_ = r.message;
    return r.ok();
}

// Every column of FILELIST is set by both the insert and the edit, so removing the path's rows
// and adding the new one leaves the same table as editing the one matching row (or adding it when
// none matched), and a path that somehow held several rows ends with one, as when they are
// selected first. Done this way a block costs no select: selecting and binding the matching rows
// was about half of a run's conversion time.
KVR_SQL_RESULT CFileList::WriteInTransaction(const KVR_FILELIST_ROW& row) {
    KvrTransaction transaction(*db_);
    if (!transaction.active()) return {SQL_ERROR, db_->message()};
    KVR_SQL_RESULT r = kvrDeleteFileListRows(*db_, row.cpath);
    if (!r.ok()) return r;
    r = kvrInsertFileListRow(*db_, row);
    if (!r.ok()) return r;
    if (!transaction.commit()) return {SQL_ERROR, db_->message()};
    return {SQL_SUCCESS, {}};
}
