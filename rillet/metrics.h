// The recorder's metrics, in the Prometheus text exposition format (version 0.0.4) that
// node_exporter's textfile collector reads: a file written whole, through a temporary file and a
// rename, so that a collector never reads half of it.
//
//   rillet_up                                         1 while recording, 0 after the stop
//   rillet_connected                                  1 while connected to the server
//   rillet_connections_total                          connections made (requests sent)
//   rillet_connections_lost_total                     connections lost while reading
//   rillet_newest_sample_timestamp_seconds{station,channel,location}   end of the data stored
//   rillet_lag_seconds{...}                           now less that end (absent before any data)
//   rillet_samples_stored_total{...}                  samples written since the start
//   rillet_pending_samples{...}                       samples held in the channel's pending run
//   rillet_stream_rate_hertz{...}                     the stream's rate (absent before a packet)
//   rillet_sitechan_rate_hertz{...}                   SITECHAN's rate, which may differ
//   rillet_disk_loop_bytes{station}                   the loop's size as last counted
//   rillet_disk_loop_limit_bytes{station}             its limit (SIZEMB)
//   rillet_catalogue_statements_total                 statements executed (retries included)
//   rillet_catalogue_statements_retried_total         statements run again on a new connection
//   rillet_catalogue_statements_failed_total          statements that failed
//   rillet_errors_total{cause}                        failures by cause: file_write, catalogue,
//                                                     connect, connection_lost, packet_refused,
//                                                     resume_write
//
// The metrics are hand-written rather than built with prometheus-cpp: that library would load
// the shared C++ run-time and its streams into the unattended recorder, about 2.4 MB more resident
// memory than the whole recorder is allowed to grow by.
#pragma once

#include <cstdint>
#include <string>

class CRecorder;
class CRilletSettings;

// What the worker knows of its connection.
struct CConnectionCounts {
    bool running = true;  // false once the worker has stopped
    bool connected = false;
    uint64_t connections = 0;
    uint64_t lost = 0;
    uint64_t connectFailures = 0;
};

// How often the worker writes the metrics file while it runs (and once more at the stop).
inline constexpr double kMetricsSeconds = 15.0;

// The metrics text of the recorder as it stands at epoch seconds now: every channel of the
// settings' groups, every station once. Codes are escaped as label values ("\\", "\"", "\n").
std::string RilletMetricsText(const CRilletSettings& settings, const CRecorder& recorder,
                              const CConnectionCounts& connection, double now);

// Replaces file with text, atomically. False with *error set (the old file left as it was).
bool RilletWriteMetrics(const std::string& file, const std::string& text, std::string* error);
