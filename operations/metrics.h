// The service's metrics in the Prometheus text exposition format, for
// node_exporter's textfile collector: the service rewrites the file named by
// the MetricsFile setting on every alive tick (atomically, so the collector
// never reads half a file). Every series carries the label feed="NN" (the
// instance number), so several instances can share one collector folder.
#ifndef NORV_OPERATIONS_METRICS_H_
#define NORV_OPERATIONS_METRICS_H_

#include <string>
#include <string_view>

#include "operations/service_state.h"

namespace norv {

// The metrics of `state` for instance `feed`, with HELP and TYPE lines:
//   norvreader_messages_total{event,outcome}         counter
//   norvreader_message_processing_seconds            histogram
//   norvreader_queue_files{directory}                gauge
//   norvreader_queue_oldest_age_seconds{directory}   gauge
//   norvreader_queue_readable{directory}             gauge (0/1)
//   norvreader_skipped_files                         gauge
//   norvreader_undisposable_files                    gauge
//   norvreader_database_errors_total                 counter
//   norvreader_database_outages_total                counter
//   norvreader_receive_duplicates_total              counter (with a receiver)
//   norvreader_ticks_total, norvreader_heartbeats_total  counters
//   norvreader_last_tick_timestamp_seconds, norvreader_start_time_seconds  gauges
//   norvreader_build_info{version}                   gauge, always 1
// Message counters are listed for every counted event and both outcomes,
// zeros included. Directory names are turned from Windows-1252 into UTF-8.
std::string FormatMetrics(const ServiceState& state, std::string_view feed);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace norv

#endif  // NORV_OPERATIONS_METRICS_H_
