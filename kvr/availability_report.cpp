// kvrdb availability: patterns, the verified spans and the report; see availability_report.h.
#include "kvr/availability_report.h"

#include <cmath>
#include <ctime>
#include <filesystem>
#include <unordered_map>

#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "util/util.h"

namespace {

// A row agrees with its file when their sample counts differ by at most one sample (the rule of
// kvrdb check: TQTY is a sum of block durations).
constexpr double kSampleTolerance = 1.0;
constexpr const char* kPatternForm = "STA.CHN[.LOC] expected";
constexpr const char* kNoLocationPattern = "--";

// The location as the report prints it: "--" for none.
std::string shownLocation(std::string_view location) {
    return kvrLocationIsNone(location) ? kNoLocationPattern : std::string(location);
}

std::string jsonText(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The row as its file measures it (--verify): TQTY becomes the file's whole samples over SPS; a
// missing file or one without samples counts for nothing. A disagreement is noted.
bool measureRow(const std::string& dataDirectory, KVR_AVAILABILITY_ROW* row,
                std::vector<KVR_ROW_PROBLEM>* disagreements) {
    // A row that cannot count is reported as such, not measured.
    if (!row->hasTbegin || !row->hasSps || !(row->sps > 0.0) || !row->hasTqty || !(row->tqty > 0.0))
        return true;
    auto disagree = [&](std::string what) {
        disagreements->push_back({std::string(row->station), std::string(row->channel),
                                  std::string(row->location), std::string(row->cpath),
                                  std::move(what)});
    };
    std::error_code ec;
    const std::string path = kvrFullPath(dataDirectory, row->cpath);
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size < KVR_HEADER_SIZE) {
        disagree(ec ? "no file " + path : "the file is shorter than a header");
        return false;
    }
    const double samples = double((size - KVR_HEADER_SIZE) / KVR_SAMPLE_SIZE);
    const double rowSamples = row->sps * row->tqty;
    if (std::fabs(samples - rowSamples) > kSampleTolerance)
        disagree("the row says " + number("%.3f", row->tqty) + " s (" + number("%.0f", rowSamples) +
                 " samples), its file holds " + number("%.3f", samples / row->sps) + " s (" +
                 number("%.0f", samples) + " samples)");
    if (samples == 0.0) return false;
    row->tqty = samples / row->sps;
    return true;
}

std::string problemLine(const KVR_ROW_PROBLEM& p, const char* tail) {
    return utilPrintableString(p.cpath.empty() ? "(no CPATH)" : p.cpath) + " (" +
           utilPrintableString(p.station + "." + p.channel + "." + shownLocation(p.location)) +
           "): " + utilPrintableString(p.what) + tail;
}

}  // namespace

std::string kvrIsoTime(double t) {
    if (!std::isfinite(t)) return "-";
    double whole = std::floor(t);
    long micro = std::lround((t - whole) * 1e6);
    if (micro >= 1000000) {
        whole += 1.0;
        micro -= 1000000;
    }
    struct tm parts {};
    if (!utilGmtime(static_cast<int64_t>(whole), &parts)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  micro);
    return text;
}

bool kvrParseStreamPattern(const std::string& text, KVR_STREAM_PATTERN* pattern, std::string* why) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    bool ok = parts.size() == 2 || parts.size() == 3;
    for (const std::string& p : parts) ok = ok && !p.empty();
    if (!ok) {
        *why = kPatternForm;
        return false;
    }
    KVR_STREAM_PATTERN p;
    p.text = text;
    p.station = parts[0];
    p.channel = parts[1];
    p.anyLocation = parts.size() == 2;
    if (!p.anyLocation) {
        p.location = parts[2];
        p.noLocation = p.location == kNoLocationPattern;
    }
    *pattern = p;
    return true;
}

bool kvrStreamPatternMatches(const KVR_STREAM_PATTERN& pattern, std::string_view station,
                             std::string_view channel, std::string_view location) {
    const std::string sta(station), chn(channel), loc(location);
    if (!utilWildcardMatch(pattern.station.c_str(), sta.c_str())) return false;
    if (!utilWildcardMatch(pattern.channel.c_str(), chn.c_str())) return false;
    if (pattern.anyLocation) return true;
    if (pattern.noLocation) return kvrLocationIsNone(loc);
    return utilWildcardMatch(pattern.location.c_str(), loc.c_str());
}

KVR_SQL_RESULT kvrReadAvailabilityReport(KvrConnection& db, KVR_AVAILABILITY_REQUEST* request,
                                         KVR_AVAILABILITY_REPORT* report) {
    *report = {};
    // Whether the patterns name a channel is asked once per distinct spelling of its codes.
    std::unordered_map<std::string, bool> named;
    std::string key;
    auto wanted = [&](const KVR_AVAILABILITY_ROW& row) {
        if (request->patterns.empty()) return true;
        key.assign(row.station)
            .append(1, '\x1f')
            .append(row.channel)
            .append(1, '\x1f')
            .append(row.location);
        auto [it, added] = named.try_emplace(key, false);
        if (added)
            for (KVR_STREAM_PATTERN& p : request->patterns)
                if (kvrStreamPatternMatches(p, row.station, row.channel,
                                            kvrStoredLocation(row.location))) {
                    it->second = true;
                    ++p.matched;
                }
        return it->second;
    };
    request->query.withPaths = request->verify;
    const double end = request->end;
    KVR_AVAILABILITY& a = report->availability;
    KVR_SQL_RESULT r =
        kvrReadAvailabilityRows(db, request->query, [&](const KVR_AVAILABILITY_ROW& given) {
            if (!wanted(given)) return;
            // Rows that start after the window cannot touch it; earlier ones are needed to know
            // whether a gap at the window's start has data before it.
            if (end > 0.0 && given.hasTbegin && given.tbegin >= end) return;
            KVR_AVAILABILITY_ROW row = given;
            if (request->verify &&
                !measureRow(request->dataDirectory, &row, &report->disagreements))
                return;
            kvrAvailabilityAddRow(&a, row);
        });
    kvrAvailabilityFinish(&a, request->begin, request->end, request->tolerance);
    return r;
}

void kvrWriteAvailabilityReport(std::FILE* out, const KVR_AVAILABILITY_REQUEST& request,
                                const KVR_AVAILABILITY_REPORT& report, KvrReportFormat format,
                                bool gaps) {
    const KVR_AVAILABILITY& a = report.availability;
    auto printable = [](const std::string& s) { return utilPrintableString(s); };
    if (format == KvrReportFormat::Json) {
        std::fprintf(out, "{\"begin\":%s,\"end\":%s,\"tolerance\":%s,\"channels\":[",
                     jsonText(kvrIsoTime(a.begin)).c_str(), jsonText(kvrIsoTime(a.end)).c_str(),
                     request.tolerance < 0 ? "null" : number("%.6f", request.tolerance).c_str());
        auto stretches = [&](const char* name, auto const& list) {
            std::fprintf(out, ",\"%s\":[", name);
            for (size_t i = 0; i < list.size(); ++i)
                std::fprintf(out, "%s{\"start\":%s,\"end\":%s,\"seconds\":%.6f}", i ? "," : "",
                             jsonText(kvrIsoTime(list[i].start)).c_str(),
                             jsonText(kvrIsoTime(list[i].end)).c_str(), list[i].length());
            std::fputc(']', out);
        };
        for (size_t i = 0; i < a.channels.size(); ++i) {
            const KVR_CHANNEL_AVAILABILITY& c = a.channels[i];
            std::fprintf(out,
                         "%s\n{\"station\":%s,\"channel\":%s,\"location\":%s,\"samplerate\":%.6f,"
                         "\"earliest\":%s,\"latest\":%s,\"spans\":%zu,\"rows\":%zu,"
                         "\"coverage\":%.4f",
                         i ? "," : "", jsonText(c.station).c_str(), jsonText(c.channel).c_str(),
                         jsonText(kvrLocationIsNone(c.location) ? "" : c.location).c_str(), c.sps,
                         jsonText(kvrIsoTime(c.earliest)).c_str(),
                         jsonText(kvrIsoTime(c.latest)).c_str(), c.spans.size(), c.rows,
                         c.coverage);
            stretches("timespans", c.spans);
            stretches("gaps", c.gaps);
            stretches("overlaps", c.overlaps);
            std::fputc('}', out);
        }
        auto problems = [&](const char* name, const std::vector<KVR_ROW_PROBLEM>& list) {
            std::fprintf(out, "],\n\"%s\":[", name);
            for (size_t i = 0; i < list.size(); ++i)
                std::fprintf(out, "%s{\"cpath\":%s,\"station\":%s,\"channel\":%s,\"problem\":%s}",
                             i ? "," : "", jsonText(list[i].cpath).c_str(),
                             jsonText(list[i].station).c_str(), jsonText(list[i].channel).c_str(),
                             jsonText(list[i].what).c_str());
        };
        problems("problems", a.problems);
        problems("disagreements", report.disagreements);
        std::fprintf(out, "]}\n");
        return;
    }
    if (format == KvrReportFormat::Csv) {
        std::fprintf(out,
                     "type,station,channel,location,samplerate,start,end,seconds,spans,coverage,"
                     "note\n");
        for (const KVR_CHANNEL_AVAILABILITY& c : a.channels) {
            const std::string head = csvField(c.station) + "," + csvField(c.channel) + "," +
                                     csvField(shownLocation(c.location)) + "," +
                                     number("%.6f", c.sps) + ",";
            std::fprintf(out, "channel,%s%s,%s,%.6f,%zu,%.4f,\n", head.c_str(),
                         kvrIsoTime(c.earliest).c_str(), kvrIsoTime(c.latest).c_str(),
                         c.latest - c.earliest, c.spans.size(), c.coverage);
            if (!gaps) continue;
            for (const KVR_GAP& g : c.gaps)
                std::fprintf(out, "gap,%s%s,%s,%.6f,,,%s\n", head.c_str(),
                             kvrIsoTime(g.start).c_str(), kvrIsoTime(g.end).c_str(), g.length(),
                             g.bounded ? "" : "at the window's edge");
            for (const KVR_SPAN& o : c.overlaps)
                std::fprintf(out, "overlap,%s%s,%s,%.6f,,,\n", head.c_str(),
                             kvrIsoTime(o.start).c_str(), kvrIsoTime(o.end).c_str(), o.length());
        }
        for (const KVR_ROW_PROBLEM& p : a.problems)
            std::fprintf(out, "problem,%s,%s,%s,,,,,,,%s\n", csvField(p.station).c_str(),
                         csvField(p.channel).c_str(), csvField(shownLocation(p.location)).c_str(),
                         csvField(p.cpath + ": " + p.what).c_str());
        for (const KVR_ROW_PROBLEM& p : report.disagreements)
            std::fprintf(out, "disagrees,%s,%s,%s,,,,,,,%s\n", csvField(p.station).c_str(),
                         csvField(p.channel).c_str(), csvField(shownLocation(p.location)).c_str(),
                         csvField(p.cpath + ": " + p.what).c_str());
        return;
    }
    std::fprintf(out, "# %s .. %s, %s\n", kvrIsoTime(a.begin).c_str(), kvrIsoTime(a.end).c_str(),
                 request.tolerance < 0
                     ? "rows join within half a sample interval"
                     : ("rows join within " + number("%g", request.tolerance) + " s").c_str());
    std::fprintf(out, "%-7s %-7s %-8s %-11s %-27s %-27s %6s %9s\n", "Station", "Channel",
                 "Location", "SampleRate", "Earliest", "Latest", "Spans", "Coverage");
    for (const KVR_CHANNEL_AVAILABILITY& c : a.channels) {
        std::fprintf(out, "%-7s %-7s %-8s %-11.6f %-27s %-27s %6zu %8.3f%%\n",
                     printable(c.station).c_str(), printable(c.channel).c_str(),
                     printable(shownLocation(c.location)).c_str(), c.sps,
                     kvrIsoTime(c.earliest).c_str(), kvrIsoTime(c.latest).c_str(), c.spans.size(),
                     c.coverage);
        if (!gaps) continue;
        for (const KVR_GAP& g : c.gaps)
            std::fprintf(out, "  gap     %-27s %-27s %14.6f s%s\n", kvrIsoTime(g.start).c_str(),
                         kvrIsoTime(g.end).c_str(), g.length(),
                         g.bounded ? "" : " (at the window's edge)");
        for (const KVR_SPAN& o : c.overlaps)
            std::fprintf(out, "  overlap %-27s %-27s %14.6f s\n", kvrIsoTime(o.start).c_str(),
                         kvrIsoTime(o.end).c_str(), o.length());
    }
    for (const KVR_ROW_PROBLEM& p : a.problems)
        std::fprintf(out, "row %s\n", problemLine(p, ", not counted").c_str());
    for (const KVR_ROW_PROBLEM& p : report.disagreements)
        std::fprintf(out, "disagrees %s\n", problemLine(p, "").c_str());
}
