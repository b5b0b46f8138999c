#include "operations/service_state.h"

#include <gtest/gtest.h>

#include "operations/queue_summary.h"

namespace norv {
namespace {

// A record with every field set, texts with the characters the format escapes.
ServiceState FullRecord() {
  ServiceState s;
  s.pid = 4242;
  s.version = "0.1.0";
  s.started = 1796600000;
  s.written = 1796600100;
  s.last_tick = 1796600099;
  s.last_heartbeat = 1796600095;
  s.ticks = 400;
  s.heartbeats = 20;
  s.day = "2026-12-07";
  s.week = "2026-50";
  s.today.by_event["ORM^O01"] = {12, 3};
  s.this_week.by_event["ORM^O01"] = {40, 5};
  s.this_week.by_event["unknown"] = {0, 2};
  s.total.by_event["ADT^A08"] = {7, 0};
  s.processing_buckets[0] = 5;
  s.processing_buckets.back() = 1;
  s.processing_seconds = 12.345678901234567;
  s.queues.push_back({"/data/in box/", true, 3, 75, 1200});
  s.queues.push_back({"/odd\\dir\nwith break/", false, 0, 0, 0});
  s.skipped_files = 2;
  s.undisposable_files = 1;
  s.database_errors = 9;
  s.database_outages = 1;
  s.database_outage_open = true;
  return s;
}

TEST(ServiceStateRecord, RoundTripsThroughItsText) {
  ServiceState empty;
  ServiceState stopped = FullRecord();
  stopped.stopped = 1796600200;
  for (const ServiceState& s : {empty, FullRecord(), stopped}) {
    std::optional<ServiceState> back = ParseState(SerialiseState(s));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, s);
  }
}

TEST(ServiceStateRecord, DamagedTextIsNoRecord) {
  const std::string good = SerialiseState(FullRecord());
  const std::string cases[] = {
      "",
      "garbage\n",
      "norvreader-state 2\npid 1\n",                 // another format
      good.substr(0, good.size() - 1),                // last line cut off
      "norvreader-state 1\npid x\n",
      "norvreader-state 1\ncount today ORM^O01 1\n",  // a number missing
      "norvreader-state 1\nprocessing_buckets 1 2 3\n",
      "norvreader-state 1\nqueue 1 2 3 maybe /in/\n",
  };
  for (const std::string& text : cases) EXPECT_FALSE(ParseState(text).has_value()) << text;
  // Keys a later version adds are skipped.
  EXPECT_TRUE(ParseState("norvreader-state 1\nnew_key 1 2\npid 5\n").has_value());
}

class RecorderTest : public ::testing::Test {
 protected:
  Moment now_{1796600000, {2026, 12, 7, 10, 0, 0}};  // a Monday, week 2026-50
  ServiceStateRecorder rec_{77, "9.9", [this] { return now_; }};
};

TEST_F(RecorderTest, MessagesCountPerEventTodayWeekAndTotal) {
  rec_.RecordMessage("ORM^O01", Outcome::kProcessed, 0.002);
  rec_.RecordMessage("ORM^O01", Outcome::kFailed, 0.2);
  rec_.RecordMessage("ADT^A08^ADT_A01", Outcome::kFailed, 0.001);
  rec_.RecordMessage("", Outcome::kFailed, 0.001);
  const ServiceState& s = rec_.Snapshot();
  EXPECT_EQ(s.pid, 77);
  EXPECT_EQ(s.today.Of("ORM^O01", Outcome::kProcessed), 1u);
  EXPECT_EQ(s.today.Of("ORM^O01", Outcome::kFailed), 1u);
  EXPECT_EQ(s.today.Of("other", Outcome::kFailed), 1u);
  EXPECT_EQ(s.today.Of("unknown", Outcome::kFailed), 1u);
  EXPECT_EQ(s.this_week, s.today);
  EXPECT_EQ(s.total, s.today);
  EXPECT_EQ(s.today.Total(Outcome::kFailed), 3u);
}

TEST_F(RecorderTest, DayAndWeekStartAfresh) {
  rec_.RecordMessage("ORU^R01", Outcome::kProcessed, 0);
  now_ = {now_.unix_seconds + 86400, {2026, 12, 8, 10, 0, 0}};  // Tuesday: same week
  rec_.RecordMessage("ORU^R01", Outcome::kProcessed, 0);
  EXPECT_EQ(rec_.Snapshot().today.Total(Outcome::kProcessed), 1u);
  EXPECT_EQ(rec_.Snapshot().this_week.Total(Outcome::kProcessed), 2u);
  now_ = {now_.unix_seconds + 7 * 86400, {2026, 12, 15, 10, 0, 0}};  // next week, no message yet
  const ServiceState& s = rec_.Snapshot();
  EXPECT_EQ(s.day, "2026-12-15");
  EXPECT_EQ(s.week, "2026-51");
  EXPECT_EQ(s.this_week.Total(Outcome::kProcessed), 0u);
  EXPECT_EQ(s.total.Total(Outcome::kProcessed), 2u);
}

TEST_F(RecorderTest, EarlierRunsCountOnlyForTheSameDayAndWeek) {
  ServiceState earlier;
  earlier.day = "2026-12-07";
  earlier.week = "2026-50";
  earlier.today.by_event["ORM^O01"] = {5, 1};
  earlier.this_week.by_event["ORM^O01"] = {9, 2};
  earlier.total.by_event["ORM^O01"] = {100, 100};
  ServiceState yesterday = earlier;
  yesterday.day = "2026-12-06";
  yesterday.week = "2026-49";
  rec_.CarryOver(yesterday);
  rec_.CarryOver(earlier);
  rec_.RecordMessage("ORM^O01", Outcome::kFailed, 0);
  const ServiceState& s = rec_.Snapshot();
  EXPECT_EQ(s.today.Of("ORM^O01", Outcome::kProcessed), 5u);
  EXPECT_EQ(s.today.Of("ORM^O01", Outcome::kFailed), 2u);
  EXPECT_EQ(s.this_week.Of("ORM^O01", Outcome::kFailed), 3u);
  EXPECT_EQ(s.total.Of("ORM^O01", Outcome::kFailed), 1u);  // counters restart with the process
}

TEST_F(RecorderTest, ProcessingTimesFallIntoTheirBucket) {
  struct Case {
    double seconds;
    std::size_t bucket;
  } cases[] = {{0, 0}, {0.001, 0}, {0.0011, 1}, {0.05, 5}, {10, 12}, {10.5, 13}, {-1, 0}};
  double sum = 0;
  for (const Case& c : cases) {
    ServiceState before = rec_.Snapshot();
    rec_.RecordMessage("ORM^O01", Outcome::kProcessed, c.seconds);
    const ServiceState& after = rec_.Snapshot();
    for (std::size_t b = 0; b < after.processing_buckets.size(); ++b) {
      EXPECT_EQ(after.processing_buckets[b] - before.processing_buckets[b], b == c.bucket ? 1u : 0u)
          << c.seconds << " bucket " << b;
    }
    sum += c.seconds > 0 ? c.seconds : 0;
  }
  EXPECT_DOUBLE_EQ(rec_.Snapshot().processing_seconds, sum);
}

TEST_F(RecorderTest, TransientErrorsInARowAreOneOutage) {
  rec_.RecordDatabaseError(false);
  rec_.RecordDatabaseError(true);
  rec_.RecordDatabaseError(true);
  rec_.RecordMessage("ORM^O01", Outcome::kFailed, 0);  // a failure does not end it
  rec_.RecordDatabaseError(true);
  rec_.RecordDatabaseReachable();
  rec_.RecordDatabaseError(true);
  rec_.RecordMessage("ORM^O01", Outcome::kProcessed, 0);
  rec_.RecordDatabaseError(true);
  EXPECT_EQ(rec_.Snapshot().database_errors, 6u);
  EXPECT_EQ(rec_.Snapshot().database_outages, 3u);
}

TEST(QueueSummary, FileNumbersAreThoseTheCycleTakes) {
  struct Case {
    const char* name;
    std::optional<std::int32_t> number;
  } cases[] = {
      {"12.HL7", 12},       {"0012.hl7", 12},       {"-4.HL7", -4},     {"+7.HL7", 7},
      {"4999999.HL7", 4999999}, {"5000000.HL7", {}}, {"abc.HL7", {}},    {"12.HL7.1", {}},
      {"12.TXT", {}},       {".HL7", {}},           {"12", {}},         {"99999999999.HL7", {}},
      {"-2147483648.HL7", -2147483648LL}, {"1 2.HL7", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(WaitingFileNumber(c.name, "HL7"), c.number) << c.name;
  EXPECT_EQ(WaitingFileNumber("12.HL7", ""), std::nullopt);
}

TEST(QueueSummary, CountsWaitingFilesAndTheOldestAge) {
  std::vector<QueueEntry> entries = {
      {"3.HL7", 1000}, {"17.HL7", 900}, {"abc.HL7", 10}, {"5000001.HL7", 10}, {"4.txt", 10},
      {"9.hl7", 2000},  // dated ahead of now
  };
  QueueFigures q = SummariseQueue("/in/", entries, "HL7", 1500);
  EXPECT_EQ(q.waiting, 3u);
  EXPECT_EQ(q.oldest_age, 600);
  EXPECT_EQ(q.highest, 17);
  QueueFigures none = SummariseQueue("/in/", {{"abc.HL7", 10}}, "HL7", 1500);
  EXPECT_EQ(none.waiting, 0u);
  EXPECT_EQ(none.oldest_age, 0);
  EXPECT_FALSE(ScanInboundQueue("/nonexistent/norv/in/", "HL7", 0).readable);
}

}  // namespace
}  // namespace norv
