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
    KVR_SQL_RESULT r = kvrWriteFileListRow(*db_, row, mode);
    if (!r.ok()) message_ = r.message;
    return r.ok();
}
