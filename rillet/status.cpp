#include "rillet/status.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "kvr/availability.h"
#include "kvr/catalog.h"
#include "rillet/catalogue.h"
#include "rillet/groups.h"
#include "rillet/log.h"
#include "rillet/settings.h"
#include "util/util.h"

namespace {

constexpr double kGapWindowSeconds = 86400;  // the gaps of the last day are reported

// "YYYY-MM-DD HH:MM:SS" UTC, or "-" for no time.
std::string TimeText(double t) {
    struct tm parts {};
    if (!(t > 0) || !utilGmtime(static_cast<int64_t>(std::floor(t)), &parts)) return "-";
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

// How much of a channel the recorder holds before it writes, by design: a run of up to
// kMaxPendingSamples, except at the low rates written packet by packet. Stored data that far
// behind is no sign of trouble.
double HeldSeconds(double rate) {
    if (rate <= kPacketByPacketRate) return 0;
    return kMaxPendingSamples / rate;
}

// The gaps of the channel's disk loop over the last day, from its rows, as a line under the
// channel's: a recorder that was down or lost its server shows here after it caught up.
void PrintLoopGaps(KvrConnection& db, const std::string& station, const CChannelConfig& channel,
                   double now, FILE* out) {
    KVR_GAP_TOTAL gaps;
    const KVR_SQL_RESULT r = kvrLoopGaps(db, station, channel.channel, channel.location,
                                         now - kGapWindowSeconds, now, &gaps);
    if (!r.ok())
        std::fprintf(out, "       gaps of the last 24 h: unknown (%s)\n",
                     utilPrintableString(r.message).c_str());
    else if (gaps.count == 0)
        std::fprintf(out, "       gaps of the last 24 h: none\n");
    else
        std::fprintf(out, "       gaps of the last 24 h: %zu, %.1f s in all\n", gaps.count,
                     gaps.seconds);
}

}  // namespace

int rilletReportStatus(const RilletStatusOptions& options, FILE* out, FILE* err) {
    // Without settings there is no recorder to report on, and loading them would make a log
    // folder beside a folder that is none of the recorder's.
    const std::string settingsPath = CRilletSettings::IniPath(options.rilletIni);
    if (!std::filesystem::exists(settingsPath)) {
        std::fprintf(err, "rillet --status: no recorder settings: %s not found\n",
                     utilPrintableString(settingsPath).c_str());
        return kStatusBadSetup;
    }
    // The recorder's own log is left alone: a setting it would refuse is said on err instead.
    CRilletLog log;
    log.SetFileless(true);
    log.SetWarningEcho(true);
    CRilletSettings settings(log, options.rilletIni, options.kvrIni);
    CKvrCatalogue catalogue(log, settings);
    std::string why;
    if (!options.openCatalogue(catalogue, &why)) {
        std::fprintf(err, "rillet --status: KVR database open error%s%s\n", why.empty() ? "" : ": ",
                     utilPrintableString(why).c_str());
        return kStatusBadSetup;
    }
    // An unreadable catalogue would otherwise look like a folder with nothing to record.
    std::vector<KVR_FILELIST_ROW> none;
    if (KVR_SQL_RESULT r = kvrSelectFileListRows(catalogue.Connection(), "1=0", &none); !r.ok()) {
        std::fprintf(err, "rillet --status: catalogue unreadable: %s\n",
                     utilPrintableString(r.message).c_str());
        return kStatusBadSetup;
    }
    settings.LoadSettings([&](const std::string& s, const std::string& c, const std::string& l) {
        return catalogue.LookupSampleRate(s, c, l);
    });
    std::string problem;
    // Only read here: a monitoring user needs no right to write into the data directory.
    if (settings.CheckStart(&problem, false) != CStartProblem::None) {
        std::fprintf(err, "rillet --status: %s\n", utilPrintableString(problem).c_str());
        return kStatusBadSetup;
    }

    int status = kStatusCurrent;
    std::fprintf(out, "%-6s %-4s %-3s %-19s %10s  %-19s %-8s %s\n", "STA", "CHAN", "LOC",
                 "NEWEST SAMPLE", "LAG (s)", "RESUME TIME", "STATE", "CURRENT FILE");
    const auto& groups = settings.Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        const CRecorderGroup& group = groups[g];
        const std::string station = utilPrintableString(group.station);
        for (size_t c = 0; c < group.channels.size(); ++c) {
            const CChannelConfig& channel = group.channels[c];
            // The newest row: the recorder writes a channel in time order, so its end is the
            // newest stored sample.
            CFileRow newest;
            const bool found =
                catalogue.NewestFile(group.station, channel.channel, channel.location, &newest);
            const double newestEnd = found ? newest.tbegin + newest.tqty : 0;
            const double resume = settings.ReadResumeTime(g, c);
            const double lag = options.now - newestEnd;
            // The files carry the stream's rate; SITECHAN's only decides that a channel is
            // recorded.
            const double rate = found && newest.sps > 0 ? newest.sps : channel.sampleRate;
            const double allowed = options.maxLagSeconds + HeldSeconds(rate);
            const char* state = "ok";
            if (!found) {
                state = "NO DATA";
            } else if (lag > allowed) {
                state = "LAGGING";
            } else if (options.now - resume > allowed) {
                // The data is current but a restart would begin from an old time.
                state = "RESUME";
            }
            if (std::string(state) != "ok") status = kStatusLagging;
            char lagText[32] = "-";
            if (found) std::snprintf(lagText, sizeof lagText, "%.0f", lag);
            std::fprintf(out, "%-6s %-4s %-3s %-19s %10s  %-19s %-8s %s\n", station.c_str(),
                         utilPrintableString(channel.channel).c_str(),
                         IsNoLocation(channel.location)
                             ? "--"
                             : utilPrintableString(channel.location).c_str(),
                         TimeText(newestEnd).c_str(), lagText, TimeText(resume).c_str(), state,
                         found ? utilPrintableString(newest.cpath).c_str() : "-");
            if (std::fabs(rate - channel.sampleRate) > 1e-6 * rate)
                std::fprintf(out, "  rate: SITECHAN %s samples per second, the stream %s (files "
                                  "and rows carry the stream's)\n",
                             CRilletSettings::NumberText(channel.sampleRate).c_str(),
                             CRilletSettings::NumberText(rate).c_str());
            PrintLoopGaps(catalogue.Connection(), group.station, channel, options.now, out);
        }
        const uint32_t used = catalogue.DiskLoopSize(group.station);
        const double limit = group.sizeLimit;
        std::fprintf(out, "station %s: disk loop %.1f MB of %.0f MB (%.0f%%)\n", station.c_str(),
                     used / double(kBytesPerMegabyte), limit / kBytesPerMegabyte,
                     limit > 0 ? 100.0 * used / limit : 0.0);
    }
    std::fprintf(out, "%s\n",
                 status == kStatusCurrent ? "every channel within the lag"
                                          : "some channel lags, has no data or an old resume time");
    return status;
}
