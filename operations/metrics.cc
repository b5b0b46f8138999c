#include "operations/metrics.h"

#include <charconv>

#include "core/ansi.h"

namespace norv {
namespace {

std::string Number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

class Writer {
 public:
  explicit Writer(std::string_view feed) : feed_("feed=\"" + EscapeLabelValue(feed) + "\"") {}

  void Header(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }

  // `labels` are extra label pairs already escaped, without braces.
  void Sample(std::string_view name, std::string_view labels, const std::string& value) {
    out_ += name;
    out_ += '{';
    out_ += feed_;
    if (!labels.empty()) {
      out_ += ',';
      out_ += labels;
    }
    out_ += "} ";
    out_ += value;
    out_ += '\n';
  }

  void Single(std::string_view name, std::string_view type, std::string_view help,
              const std::string& value) {
    Header(name, type, help);
    Sample(name, "", value);
  }

  std::string Take() { return std::move(out_); }

 private:
  std::string feed_;
  std::string out_;
};

std::string LabelPair(std::string_view name, std::string_view value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string FormatMetrics(const ServiceState& s, std::string_view feed) {
  Writer w(feed);
  const std::string_view kMessages = "norvreader_messages_total";
  w.Header(kMessages, "counter",
           "Inbound messages taken since the service started, by message event and outcome.");
  for (std::string_view event : kCountedEvents) {
    for (Outcome o : {Outcome::kProcessed, Outcome::kFailed}) {
      w.Sample(kMessages, LabelPair("event", event) + "," + LabelPair("outcome", OutcomeName(o)),
               std::to_string(s.total.Of(event, o)));
    }
  }

  const std::string_view kSeconds = "norvreader_message_processing_seconds";
  w.Header(kSeconds, "histogram", "Time from taking an inbound file to its disposal.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kProcessingBounds.size(); ++i) {
    cumulative += s.processing_buckets[i];
    w.Sample("norvreader_message_processing_seconds_bucket",
             LabelPair("le", Number(kProcessingBounds[i])), std::to_string(cumulative));
  }
  cumulative += s.processing_buckets.back();
  w.Sample("norvreader_message_processing_seconds_bucket", LabelPair("le", "+Inf"),
           std::to_string(cumulative));
  w.Sample("norvreader_message_processing_seconds_sum", "", Number(s.processing_seconds));
  w.Sample("norvreader_message_processing_seconds_count", "", std::to_string(cumulative));

  struct QueueGauge {
    std::string_view name, help;
    std::string (*value)(const QueueFigures&);
  };
  const QueueGauge gauges[] = {
      {"norvreader_queue_files", "Numbered files waiting in the inbound directory.",
       [](const QueueFigures& q) { return std::to_string(q.waiting); }},
      {"norvreader_queue_oldest_age_seconds",
       "Seconds since the file next in line (normally the oldest) was written; 0 when none waits.",
       [](const QueueFigures& q) { return std::to_string(q.oldest_age); }},
      {"norvreader_queue_readable", "1 when the inbound directory could be listed, 0 otherwise.",
       [](const QueueFigures& q) { return std::string(q.readable ? "1" : "0"); }},
  };
  for (const QueueGauge& g : gauges) {
    w.Header(g.name, "gauge", g.help);
    for (const QueueFigures& q : s.queues) {
      w.Sample(g.name, LabelPair("directory", AnsiToUtf8(q.directory)), g.value(q));
    }
  }

  w.Single("norvreader_skipped_files", "gauge",
           "Inbound files reported as unusable since the service started (no file number, "
           "attributes or emptiness it could not deal with).",
           std::to_string(s.skipped_files));
  w.Single("norvreader_undisposable_files", "gauge",
           "Handled inbound files that could not be deleted or moved out of the inbound "
           "directory; they are not taken again until they change.",
           std::to_string(s.undisposable_files));
  w.Single("norvreader_database_errors_total", "counter",
           "Database errors logged since the service started.", std::to_string(s.database_errors));
  w.Single("norvreader_database_outages_total", "counter",
           "Times the database became unreachable (or a lock timed out) since the service started.",
           std::to_string(s.database_outages));
  if (s.receive_duplicates) {
    w.Single("norvreader_receive_duplicates_total", "counter",
             "Messages the MLLP receiver answered AA without writing them again: sent again "
             "within MLLPDuplicateWindow.",
             std::to_string(*s.receive_duplicates));
  }
  w.Single("norvreader_ticks_total", "counter", "Processing ticks since the service started.",
           std::to_string(s.ticks));
  w.Single("norvreader_heartbeats_total", "counter", "Heartbeats sent since the service started.",
           std::to_string(s.heartbeats));
  w.Single("norvreader_last_tick_timestamp_seconds", "gauge",
           "Unix time of the last processing tick.", std::to_string(s.last_tick));
  w.Single("norvreader_start_time_seconds", "gauge", "Unix time the service started.",
           std::to_string(s.started));
  w.Header("norvreader_build_info", "gauge", "The running program's version; always 1.");
  w.Sample("norvreader_build_info", LabelPair("version", s.version), "1");
  return w.Take();
}

}  // namespace norv
