// One channel's samples over one day; see channel_day.h.
#include "kvr/channel_day.h"

#include <algorithm>
#include <cmath>

#include "kvr/kvrfile.h"
#include "kvr/store.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

std::string upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

double kvrDayStart(double t) {
    return std::floor(t / kSecondsPerDay) * kSecondsPerDay;
}

bool kvrReadChannelDay(KvrConnection& db, const std::string& dataDirectory,
                       const std::string& station, const std::string& channel,
                       const std::string& location, double dayStart, KVR_CHANNEL_DAY* day,
                       std::string* error) {
    *day = {};
    day->dayStart = dayStart;
    const double dayEnd = dayStart + kSecondsPerDay;
    // Rows may be longer than a day's worth only in a catalogue gone wrong: a day's margin finds
    // every file that can reach into it.
    const std::string filter = "upper(STA)='" + kvrSqlQuote(upper(station)) + "' and upper(CH)='" +
                               kvrSqlQuote(upper(channel)) + "' and upper(LCODE)='" +
                               kvrSqlQuote(upper(kvrStoredLocation(location))) + "' and TBEGIN<" +
                               kvrSqlNumber(dayEnd) +
                               " and TBEGIN>=" + kvrSqlNumber(dayStart - kSecondsPerDay);
    std::vector<KVR_FILELIST_ROW> rows;
    KVR_SQL_RESULT r = kvrSelectFileListRows(db, filter, &rows);
    if (!r.ok()) {
        *error = "cannot read FILELIST: " + r.message;
        return false;
    }
    std::sort(rows.begin(), rows.end(), [](const KVR_FILELIST_ROW& a, const KVR_FILELIST_ROW& b) {
        return a.tbegin < b.tbegin;
    });
    KvrSampleReader reader;
    for (const KVR_FILELIST_ROW& row : rows) {
        if (!(row.sps > 0.0)) continue;
        if (day->station.empty()) {
            day->station = row.sta;
            day->channel = row.ch;
            day->location = kvrStoredLocation(row.lcode);
        }
        KVR_FILE_INFO info;
        std::string why;
        if (!reader.Read(kvrFullPath(dataDirectory, row.cpath), &info, &why)) {
            day->unread.push_back(row.cpath + ": " + why);
            continue;
        }
        const std::span<const float> samples = reader.Samples();
        // The samples of this file that fall in the day.
        const double first = std::ceil((dayStart - row.tbegin) * row.sps - 1e-6);
        const size_t from = size_t(std::clamp(first, 0.0, double(samples.size())));
        const double last = std::ceil((dayEnd - row.tbegin) * row.sps - 1e-6);
        const size_t to = size_t(std::clamp(last, double(from), double(samples.size())));
        if (to <= from) continue;
        KVR_DAY_SEGMENT segment;
        segment.start = row.tbegin + double(from) / row.sps;
        segment.sps = row.sps;
        segment.samples.assign(samples.begin() + std::ptrdiff_t(from),
                               samples.begin() + std::ptrdiff_t(to));
        day->segments.push_back(std::move(segment));
    }
    return true;
}
