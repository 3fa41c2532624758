// Spans, gaps, overlaps and coverage of the archive's channels; see availability.h.
#include "kvr/availability.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "kvr/store.h"

namespace {

constexpr double kMicro = 1e6;  // the select's units per second (and per sample per second)

// Codes are ASCII (kvr/store.h): no locale is asked, as this runs for every row.
void appendUpper(std::string* out, std::string_view text) {
    for (char c : text) out->push_back(c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
}

// The channel key of a row: codes ignoring case, no location as "??", and the rate's bits.
void channelKey(std::string* key, const KVR_AVAILABILITY_ROW& row) {
    key->clear();
    appendUpper(key, row.station);
    key->push_back('\x1f');
    appendUpper(key, row.channel);
    key->push_back('\x1f');
    if (kvrLocationIsNone(row.location))
        key->append(KVR_NO_LOCATION);
    else
        appendUpper(key, row.location);
    key->push_back('\x1f');
    char bits[sizeof row.sps];
    std::memcpy(bits, &row.sps, sizeof bits);
    key->append(bits, sizeof bits);
}

// Why a row cannot count, or none.
const char* rowFault(const KVR_AVAILABILITY_ROW& row) {
    if (!row.hasTbegin) return "TBEGIN is NULL";
    if (!std::isfinite(row.tbegin)) return "TBEGIN is not a number";
    if (!row.hasSps) return "SPS is NULL";
    if (!(row.sps > 0.0) || !std::isfinite(row.sps)) return "SPS is not a positive rate";
    if (!row.hasTqty) return "TQTY is NULL";
    if (row.tqty == 0.0) return "TQTY is 0";
    if (!(row.tqty > 0.0) || !std::isfinite(row.tqty)) return "TQTY is negative";
    return nullptr;
}

// The part of a stretch inside [begin, end), or an empty stretch.
KVR_SPAN clip(const KVR_SPAN& s, double begin, double end) {
    return {std::max(s.start, begin), std::min(s.end, end)};
}

}  // namespace

double kvrAvailabilityTolerance(double sps, double tolerance) {
    if (tolerance >= 0.0) return tolerance;
    return sps > 0.0 ? 0.5 / sps : 0.0;
}

void kvrAvailabilityAddRow(KVR_AVAILABILITY* a, const KVR_AVAILABILITY_ROW& row) {
    if (const char* fault = rowFault(row)) {
        a->problems.push_back({std::string(row.station), std::string(row.channel),
                               std::string(row.location), std::string(row.cpath), fault});
        return;
    }
    // Rows come in runs of one channel far more often than not: the key is looked up only when
    // it changes.
    thread_local std::string key;
    channelKey(&key, row);
    if (a->channels.empty() || key != a->lastKey) {
        auto [it, added] = a->index.try_emplace(key, a->channels.size());
        if (added) {
            KVR_CHANNEL_AVAILABILITY c;
            c.station = std::string(row.station);
            c.channel = std::string(row.channel);
            c.location = kvrStoredLocation(row.location);
            c.sps = row.sps;
            a->channels.push_back(std::move(c));
        }
        a->lastKey = key;
        a->lastChannel = it->second;
    }
    a->channels[a->lastChannel].pending.push_back({row.tbegin, row.tbegin + row.tqty});
}

void kvrMergeSpans(std::vector<KVR_SPAN> rows, double tolerance, std::vector<KVR_SPAN>* spans,
                   std::vector<KVR_SPAN>* overlaps) {
    spans->clear();
    overlaps->clear();
    auto byStart = [](const KVR_SPAN& x, const KVR_SPAN& y) {
        return x.start < y.start || (x.start == y.start && x.end < y.end);
    };
    // A channel's rows are mostly stored in time order already.
    if (!std::is_sorted(rows.begin(), rows.end(), byStart))
        std::sort(rows.begin(), rows.end(), byStart);
    for (const KVR_SPAN& r : rows) {
        if (spans->empty() || r.start > spans->back().end + tolerance) {
            spans->push_back(r);
            continue;
        }
        KVR_SPAN& open = spans->back();
        if (r.start < open.end - tolerance) {
            const KVR_SPAN twice{r.start, std::min(r.end, open.end)};
            // Overlaps that touch are one stretch covered twice.
            if (!overlaps->empty() && twice.start <= overlaps->back().end)
                overlaps->back().end = std::max(overlaps->back().end, twice.end);
            else
                overlaps->push_back(twice);
        }
        open.end = std::max(open.end, r.end);
    }
}

std::vector<KVR_GAP> kvrUncovered(const std::vector<KVR_SPAN>& spans, double begin, double end,
                                  double tolerance, double edge) {
    std::vector<KVR_GAP> gaps;
    double from = begin;
    bool dataBefore = false;  // a span ends at or before `from`, so a gap from there is bounded
    for (const KVR_SPAN& s : spans) {
        if (s.end <= begin) {
            dataBefore = true;
            continue;
        }
        if (s.start >= end) break;
        if (s.start > from) {
            const KVR_GAP g{from, s.start, dataBefore};
            if (g.bounded ? g.length() > tolerance : g.length() >= edge) gaps.push_back(g);
        }
        from = std::max(from, s.end);
        dataBefore = true;
    }
    if (from < end) {
        // After the last span nothing bounds the gap: an edge gap, even with data before it.
        const KVR_GAP g{from, end, false};
        if (g.length() >= edge) gaps.push_back(g);
    }
    return gaps;
}

std::vector<KVR_SPAN> kvrMissingParts(const std::vector<KVR_SPAN>& spans, double begin, double end,
                                      double interval) {
    // Times are stored to the microsecond: a stretch of one interval may measure a little less.
    constexpr double kStoredPrecision = 2e-6;
    const double half = 0.5 * interval;
    std::vector<KVR_SPAN> parts;
    for (const KVR_GAP& g :
         kvrUncovered(spans, begin, end + interval, half, interval - kStoredPrecision))
        parts.push_back({std::max(begin, g.start - half), std::min(end, g.end - half)});
    return parts;
}

void kvrJoinParts(std::vector<KVR_SPAN>* parts, size_t most) {
    most = std::max<size_t>(most, 1);
    while (parts->size() > most) {
        size_t shortest = 1;
        for (size_t i = 2; i < parts->size(); ++i)
            if ((*parts)[i].start - (*parts)[i - 1].end <
                (*parts)[shortest].start - (*parts)[shortest - 1].end)
                shortest = i;
        (*parts)[shortest - 1].end = (*parts)[shortest].end;
        parts->erase(parts->begin() + std::ptrdiff_t(shortest));
    }
}

void kvrAvailabilityFinish(KVR_AVAILABILITY* a, double begin, double end, double tolerance) {
    if (begin <= 0.0 || end <= 0.0) {
        double first = HUGE_VAL, last = -HUGE_VAL;
        for (const KVR_CHANNEL_AVAILABILITY& c : a->channels)
            for (const KVR_SPAN& r : c.pending) {
                first = std::min(first, r.start);
                last = std::max(last, r.end);
            }
        if (begin <= 0.0) begin = std::isfinite(first) ? first : 0.0;
        if (end <= 0.0) end = std::isfinite(last) ? last : 0.0;
    }
    a->begin = begin;
    a->end = end;
    const double window = end - begin;
    std::vector<KVR_CHANNEL_AVAILABILITY> kept;
    for (KVR_CHANNEL_AVAILABILITY& c : a->channels) {
        const double tol = kvrAvailabilityTolerance(c.sps, tolerance);
        std::vector<KVR_SPAN> merged, overlaps;
        c.rows = 0;
        for (const KVR_SPAN& r : c.pending)
            if (r.end > begin && r.start < end) ++c.rows;
        if (c.rows == 0) continue;
        kvrMergeSpans(std::move(c.pending), tol, &merged, &overlaps);
        c.pending = {};
        // The gaps of the window, with the unclipped spans so that a gap that began before the
        // window is still known to be bounded; a gap at an edge counts when it is longer than
        // the tolerance, as any other.
        c.gaps = kvrUncovered(merged, begin, end, tol, std::nextafter(tol, HUGE_VAL));
        c.spans.clear();
        double covered = 0.0;
        for (const KVR_SPAN& s : merged) {
            const KVR_SPAN in = clip(s, begin, end);
            if (in.length() <= 0.0) continue;
            c.spans.push_back(in);
            covered += in.length();
        }
        c.overlaps.clear();
        for (const KVR_SPAN& o : overlaps)
            if (const KVR_SPAN in = clip(o, begin, end); in.length() > 0.0)
                c.overlaps.push_back(in);
        c.earliest = c.spans.empty() ? 0.0 : c.spans.front().start;
        c.latest = c.spans.empty() ? 0.0 : c.spans.back().end;
        c.coverage = window > 0.0 ? 100.0 * covered / window : 0.0;
        if (!c.spans.empty()) kept.push_back(std::move(c));
    }
    auto upper = [](const std::string& s) {
        std::string u;
        appendUpper(&u, s);
        return u;
    };
    std::sort(kept.begin(), kept.end(),
              [&](const KVR_CHANNEL_AVAILABILITY& x, const KVR_CHANNEL_AVAILABILITY& y) {
                  const std::string xs = upper(x.station), ys = upper(y.station);
                  if (xs != ys) return xs < ys;
                  const std::string xc = upper(x.channel), yc = upper(y.channel);
                  if (xc != yc) return xc < yc;
                  if (x.location != y.location) return x.location < y.location;
                  return x.sps < y.sps;
              });
    a->channels = std::move(kept);
    a->index.clear();
    a->lastKey.clear();
}

// ---- reading the catalogue ----------------------------------------------------------------

std::string kvrAvailabilitySelect(const KVR_AVAILABILITY_QUERY& query) {
    // Numbers are read as whole microseconds: the SQLite driver hands every value over as text,
    // and an integer's text is made and read several times faster than a double's. The writers
    // store times and rates to the microsecond ("%f"), so nothing they wrote is lost. CPATH is
    // read only where it is needed: for every row when files are measured, else for the rows
    // that cannot count, which are reported by it.
    std::string sql =
        "select STA,CH,LCODE,cast(round(SPS*1000000) as bigint),cast(round(TBEGIN*1000000) as "
        "bigint),cast(round(TQTY*1000000) as bigint),";
    sql += query.withPaths ? "CPATH"
                           : "case when TBEGIN is not null and TQTY>0 and SPS>0 then '' else "
                             "CPATH end";
    sql += ",CREATER from FILELIST";
    std::string where;
    if (query.creater == KvrCreaterFilter::Recorder)
        where = std::string("CREATER='") + KVR_CREATER_RECORDER + "'";
    else if (query.creater == KvrCreaterFilter::Retrieval)
        where = std::string("CREATER='") + KVR_CREATER_RETRIEVAL + "'";
    if (!query.station.empty())
        where += (where.empty() ? "" : " and ") + std::string("STA='") +
                 kvrSqlQuote(query.station) + "'";
    if (!where.empty()) sql += " where " + where;
    if (query.ordered) sql += " order by STA,TBEGIN,CPATH";
    return sql;
}

namespace {

// Rows fetched at a time: each fetch crosses the driver manager once (and takes its locks) for
// the whole block instead of once a row.
constexpr SQLULEN kBlockRows = 256;
constexpr SQLLEN kCodeBytes = 64;   // a code longer than ISI allows arrives cut
constexpr SQLLEN kPathBytes = 256;  // CPATH is varchar(255)

// One column bound to an array of kBlockRows values.
struct BlockColumn {
    std::vector<char> bytes;
    std::vector<SQLLEN> indicators = std::vector<SQLLEN>(kBlockRows);
    SQLLEN width = 0;

    SQLRETURN bind(SQLHSTMT st, SQLUSMALLINT column, SQLSMALLINT type, SQLLEN valueBytes) {
        width = valueBytes;
        bytes.assign(size_t(valueBytes) * kBlockRows, 0);
        return SQLBindCol(st, column, type, bytes.data(), valueBytes, indicators.data());
    }
    bool isNull(size_t row) const { return indicators[row] == SQL_NULL_DATA; }
    int64_t integer(size_t row) const {
        int64_t v = 0;
        if (!isNull(row)) std::memcpy(&v, bytes.data() + row * size_t(width), sizeof v);
        return v;
    }
    std::string_view text(size_t row) const {
        if (isNull(row)) return {};
        const char* at = bytes.data() + row * size_t(width);
        return std::string_view(at, strnlen(at, size_t(width)));
    }
};

}  // namespace

KVR_SQL_RESULT kvrReadAvailabilityRows(
    KvrConnection& db, const KVR_AVAILABILITY_QUERY& query,
    const std::function<void(const KVR_AVAILABILITY_ROW&)>& visit) {
    KVR_SQL_RESULT out;
    KvrStatement st(db);
    if (!st.valid()) {
        out.message = st.message();
        return out;
    }
    // A driver that cannot fetch blocks fetches a row at a time into the same arrays.
    SQLULEN fetched = 0;
    SQLULEN block = kBlockRows;
    if (!kvrSqlOk(st.setAttribute(SQL_ATTR_ROW_ARRAY_SIZE, kBlockRows))) block = 1;
    SQLSetStmtAttr(st.handle(), SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    SQLRETURN rc = st.execute(kvrAvailabilitySelect(query));
    if (!kvrSqlOk(rc)) {
        out.rc = rc;
        out.message = st.message();
        return out;
    }
    BlockColumn sta, ch, lcode, sps, tbegin, tqty, cpath, creater;
    const SQLHSTMT h = st.handle();
    sta.bind(h, 1, SQL_C_CHAR, kCodeBytes);
    ch.bind(h, 2, SQL_C_CHAR, kCodeBytes);
    lcode.bind(h, 3, SQL_C_CHAR, kCodeBytes);
    sps.bind(h, 4, SQL_C_SBIGINT, sizeof(int64_t));
    tbegin.bind(h, 5, SQL_C_SBIGINT, sizeof(int64_t));
    tqty.bind(h, 6, SQL_C_SBIGINT, sizeof(int64_t));
    cpath.bind(h, 7, SQL_C_CHAR, kPathBytes);
    creater.bind(h, 8, SQL_C_CHAR, kCodeBytes);
    KVR_AVAILABILITY_ROW row;
    while (kvrSqlOk(rc = st.fetch())) {
        const size_t rows = block == 1 ? 1 : size_t(fetched);
        for (size_t i = 0; i < rows; ++i) {
            row.station = sta.text(i);
            row.channel = ch.text(i);
            row.location = lcode.text(i);
            row.cpath = cpath.text(i);
            row.creater = creater.text(i);
            row.hasSps = !sps.isNull(i);
            row.hasTbegin = !tbegin.isNull(i);
            row.hasTqty = !tqty.isNull(i);
            row.sps = double(sps.integer(i)) / kMicro;
            row.tbegin = double(tbegin.integer(i)) / kMicro;
            row.tqty = double(tqty.integer(i)) / kMicro;
            visit(row);
        }
    }
    out.rc = rc == SQL_NO_DATA ? SQL_SUCCESS : rc;
    if (!out.ok()) out.message = st.message();
    return out;
}

KVR_SQL_RESULT kvrLoopGaps(KvrConnection& db, std::string_view station, std::string_view channel,
                           std::string_view location, double begin, double end,
                           KVR_GAP_TOTAL* total) {
    *total = {};
    KVR_SQL_RESULT out;
    KvrStatement st(db);
    if (!st.valid()) {
        out.message = st.message();
        return out;
    }
    const std::string sql = std::string("select TBEGIN,TQTY,SPS from FILELIST where CREATER='") +
                            KVR_CREATER_RECORDER + "' and STA='" + kvrSqlQuote(station) +
                            "' and TBEGIN>=" + kvrSqlNumber(begin - (end - begin)) +
                            " and TBEGIN<" + kvrSqlNumber(end) + " and CH='" +
                            kvrSqlQuote(channel) + "' and LCODE='" +
                            kvrSqlQuote(kvrStoredLocation(location)) + "'";
    SQLRETURN rc = st.execute(sql);
    if (!kvrSqlOk(rc)) {
        out.rc = rc;
        out.message = st.message();
        return out;
    }
    const int tbegin = st.bindDouble(1), tqty = st.bindDouble(2), sps = st.bindDouble(3);
    std::vector<KVR_SPAN> rows;
    double rate = 0.0;
    while (kvrSqlOk(rc = st.fetch())) {
        if (st.isNull(tbegin) || !(st.doubleAt(tqty) > 0.0) || !(st.doubleAt(sps) > 0.0)) continue;
        rows.push_back({st.doubleAt(tbegin), st.doubleAt(tbegin) + st.doubleAt(tqty)});
        rate = st.doubleAt(sps);
    }
    out.rc = rc == SQL_NO_DATA ? SQL_SUCCESS : rc;
    if (!out.ok()) {
        out.message = st.message();
        return out;
    }
    std::vector<KVR_SPAN> spans, overlaps;
    const double tolerance = kvrAvailabilityTolerance(rate, -1.0);
    kvrMergeSpans(std::move(rows), tolerance, &spans, &overlaps);
    for (const KVR_GAP& g : kvrUncovered(spans, begin, end, tolerance, HUGE_VAL))
        if (g.bounded) {
            ++total->count;
            total->seconds += g.length();
        }
    return out;
}
