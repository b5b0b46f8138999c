#include "operations/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace norv {
namespace {

// One sample of the text format: name, labels as written, value.
struct Sample {
  std::string name, labels;
  double value = 0;
};

// Reads the exposition text strictly enough to catch what Prometheus would
// reject: a sample before its TYPE, a family split up, malformed lines.
std::vector<Sample> ParseExposition(const std::string& text, std::map<std::string, std::string>& types) {
  std::vector<Sample> samples;
  std::set<std::string> closed;
  std::string current;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream t(line.substr(7));
      std::string name, type;
      t >> name >> type;
      EXPECT_FALSE(types.count(name)) << "family declared twice: " << name;
      types[name] = type;
      if (!current.empty()) closed.insert(current);
      current = name;
      continue;
    }
    Sample s;
    std::size_t brace = line.find('{'), space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    s.name = line.substr(0, std::min(brace, space));
    if (brace != std::string::npos) s.labels = line.substr(brace + 1, line.rfind('}') - brace - 1);
    s.value = std::stod(line.substr(space + 1));
    std::string family = s.name;
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      std::string base = s.name.substr(0, s.name.size() - std::min(s.name.size(), std::strlen(suffix)));
      if (s.name.ends_with(suffix) && types.count(base) && types[base] == "histogram") family = base;
    }
    EXPECT_EQ(family, current) << "sample outside its family: " << line;
    EXPECT_FALSE(closed.count(family)) << line;
    samples.push_back(s);
  }
  return samples;
}

ServiceState Record() {
  ServiceState s;
  s.version = "1.2.3";
  s.started = 1796600000;
  s.last_tick = 1796600099;
  s.total.by_event["ORM^O01"] = {12, 3};
  s.total.by_event["other"] = {0, 2};
  s.processing_buckets = {1, 0, 4, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1};
  s.processing_seconds = 11.5;
  s.queues.push_back({"/data/\"in\"\\\xDC/", true, 3, 75, 9});
  s.database_errors = 4;
  s.database_outages = 1;
  s.ticks = 100;
  s.heartbeats = 5;
  s.receive_duplicates = 6;
  return s;
}

TEST(Metrics, TextIsWellFormedAndCarriesTheRecord) {
  std::map<std::string, std::string> types;
  std::vector<Sample> samples = ParseExposition(FormatMetrics(Record(), "02"), types);
  std::map<std::string, double> by_key;
  for (const Sample& s : samples) {
    EXPECT_EQ(s.labels.rfind("feed=\"02\"", 0), 0u) << s.name;
    by_key[s.name + "{" + s.labels + "}"] = s.value;
  }
  EXPECT_EQ(types["norvreader_messages_total"], "counter");
  EXPECT_EQ(types["norvreader_message_processing_seconds"], "histogram");
  EXPECT_EQ(types["norvreader_queue_files"], "gauge");
  const std::pair<std::string, double> expected[] = {
      {"norvreader_messages_total{feed=\"02\",event=\"ORM^O01\",outcome=\"failed\"}", 3},
      {"norvreader_messages_total{feed=\"02\",event=\"other\",outcome=\"failed\"}", 2},
      {"norvreader_messages_total{feed=\"02\",event=\"ADT^A40\",outcome=\"processed\"}", 0},
      {"norvreader_message_processing_seconds_bucket{feed=\"02\",le=\"0.005\"}", 5},
      {"norvreader_message_processing_seconds_bucket{feed=\"02\",le=\"10\"}", 7},
      {"norvreader_message_processing_seconds_bucket{feed=\"02\",le=\"+Inf\"}", 8},
      {"norvreader_message_processing_seconds_count{feed=\"02\"}", 8},
      {"norvreader_message_processing_seconds_sum{feed=\"02\"}", 11.5},
      // Windows-1252 0xDC is U+00DC; quote and backslash escaped.
      {"norvreader_queue_oldest_age_seconds{feed=\"02\",directory=\"/data/\\\"in\\\"\\\\\xC3\x9C/\"}", 75},
      {"norvreader_database_outages_total{feed=\"02\"}", 1},
      {"norvreader_receive_duplicates_total{feed=\"02\"}", 6},
      {"norvreader_build_info{feed=\"02\",version=\"1.2.3\"}", 1},
  };
  for (const auto& [key, value] : expected) {
    ASSERT_TRUE(by_key.count(key)) << key;
    EXPECT_DOUBLE_EQ(by_key[key], value) << key;
  }
  // Every counted event and outcome is listed, zeros included.
  EXPECT_EQ(std::count_if(samples.begin(), samples.end(),
                          [](const Sample& s) { return s.name == "norvreader_messages_total"; }),
            static_cast<long>(kCountedEvents.size() * 2));
}

TEST(Metrics, BucketsAreCumulative) {
  ServiceState s = Record();
  std::map<std::string, std::string> types;
  double last = -1;
  for (const Sample& x : ParseExposition(FormatMetrics(s, "01"), types)) {
    if (x.name != "norvreader_message_processing_seconds_bucket") continue;
    EXPECT_GE(x.value, last) << x.labels;
    last = x.value;
  }
  EXPECT_EQ(last, 8);
}

TEST(Metrics, LabelValuesAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"a\"b", "a\\\"b"}, {"a\\b", "a\\\\b"}, {"a\nb", "a\\nb"}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EscapeLabelValue(in), out) << in;
}

}  // namespace
}  // namespace norv
