#include "rillet/metrics.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "kvr/store.h"
#include "platform/filewrite.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"

namespace {

// A label value as the exposition format quotes it: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// A sample value: integers without a fraction, other numbers to full precision, in the C locale.
std::string Value(double value) {
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The text of one metric family: its help and type lines, then every sample added to it.
class CFamily {
  public:
    CFamily(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        out_ += std::string("# HELP ") + name + " " + help + "\n";
        out_ += std::string("# TYPE ") + name + " " + type + "\n";
    }
    // labels: the text inside the braces ("station=\"abc\""), empty for none.
    void Add(const std::string& labels, double value) {
        out_ += name_;
        if (!labels.empty()) out_ += "{" + labels + "}";
        out_ += " " + Value(value) + "\n";
    }

  private:
    std::string& out_;
    std::string name_;
};

std::string ChannelLabels(const std::string& station, const CChannelConfig& channel) {
    return "station=\"" + LabelValue(station) + "\",channel=\"" + LabelValue(channel.channel) +
           "\",location=\"" +
           (kvrLocationIsNone(channel.location) ? std::string() : LabelValue(channel.location)) +
           "\"";
}

}  // namespace

std::string RilletMetricsText(const CRilletSettings& settings, const CRecorder& recorder,
                              const CConnectionCounts& connection, double now) {
    std::string out;
    const auto& groups = settings.Groups();
    CFamily(out, "rillet_up", "gauge", "1 while the recorder records, 0 after its stop")
        .Add("", connection.running ? 1 : 0);
    CFamily(out, "rillet_connected", "gauge", "1 while connected to the ISI server")
        .Add("", connection.connected ? 1 : 0);
    CFamily(out, "rillet_connections_total", "counter", "Connections made to the ISI server")
        .Add("", double(connection.connections));
    CFamily(out, "rillet_connections_lost_total", "counter",
            "Connections to the ISI server lost while reading")
        .Add("", double(connection.lost));

    // Per channel: one family at a time, every channel in it.
    auto perChannel = [&](const char* name, const char* type, const char* help, auto value) {
        CFamily family(out, name, type, help);
        for (size_t g = 0; g < groups.size(); ++g)
            for (size_t c = 0; c < groups[g].channels.size(); ++c) {
                const double v = value(groups[g].channels[c], recorder.State(g, c));
                if (!std::isnan(v))
                    family.Add(ChannelLabels(groups[g].station, groups[g].channels[c]), v);
            }
    };
    const double none = std::nan("");
    perChannel("rillet_newest_sample_timestamp_seconds", "gauge",
               "End of the data stored in the channel's files, seconds since 1970",
               [&](const CChannelConfig&, const CChannelState& s) {
                   return s.storedEnd > 0 ? s.storedEnd : none;
               });
    perChannel("rillet_lag_seconds", "gauge",
               "How far the data stored lies behind now (runs are written in pieces)",
               [&](const CChannelConfig&, const CChannelState& s) {
                   return s.storedEnd > 0 ? now - s.storedEnd : none;
               });
    perChannel("rillet_samples_stored_total", "counter", "Samples written since the start",
               [](const CChannelConfig&, const CChannelState& s) {
                   return double(s.samplesStored);
               });
    perChannel("rillet_pending_samples", "gauge", "Samples held in the channel's pending run",
               [](const CChannelConfig&, const CChannelState& s) { return double(s.runCount); });
    perChannel("rillet_stream_rate_hertz", "gauge",
               "The stream's sample rate, which files and rows carry",
               [&](const CChannelConfig&, const CChannelState& s) {
                   return s.streamRate > 0 ? s.streamRate : none;
               });
    perChannel("rillet_sitechan_rate_hertz", "gauge", "The channel's sample rate in SITECHAN",
               [](const CChannelConfig& c, const CChannelState&) { return c.sampleRate; });

    // Per station: two groups of one station share one loop.
    std::set<std::string> stations;
    CFamily loop(out, "rillet_disk_loop_bytes", "gauge", "The station's disk loop as last counted");
    for (const CRecorderGroup& group : groups) {
        uint32_t bytes = 0;
        if (stations.insert(group.station).second &&
            recorder.Catalogue().KnownLoopSize(group.station, &bytes))
            loop.Add("station=\"" + LabelValue(group.station) + "\"", bytes);
    }
    stations.clear();
    CFamily limit(out, "rillet_disk_loop_limit_bytes", "gauge", "The station's disk loop limit");
    for (const CRecorderGroup& group : groups)
        if (stations.insert(group.station).second)
            limit.Add("station=\"" + LabelValue(group.station) + "\"", group.sizeLimit);

    const CFileCatalogue::Counts statements = recorder.Catalogue().StatementCounts();
    CFamily(out, "rillet_catalogue_statements_total", "counter",
            "Catalogue statements executed, retries included")
        .Add("", double(statements.statements));
    CFamily(out, "rillet_catalogue_statements_retried_total", "counter",
            "Catalogue statements run again on a new connection")
        .Add("", double(statements.retried));
    CFamily(out, "rillet_catalogue_statements_failed_total", "counter",
            "Catalogue statements that failed")
        .Add("", double(statements.failed));

    const CRecorder::Counts& failures = recorder.FailureCounts();
    CFamily errors(out, "rillet_errors_total", "counter", "Failures by cause");
    errors.Add("cause=\"file_write\"", double(failures.fileWriteErrors));
    errors.Add("cause=\"catalogue\"", double(statements.failed));
    errors.Add("cause=\"connect\"", double(connection.connectFailures));
    errors.Add("cause=\"connection_lost\"", double(connection.lost));
    errors.Add("cause=\"packet_refused\"", double(failures.refusedPackets));
    errors.Add("cause=\"resume_write\"", double(failures.resumeWriteErrors));
    return out;
}

bool RilletWriteMetrics(const std::string& file, const std::string& text, std::string* error) {
    std::string why;
    if (platReplaceFileContents(file, text, &why)) return true;
    if (error) *error = "cannot write " + file + ": " + why;
    return false;
}
