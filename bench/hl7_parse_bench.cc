// Reading a typical order message into HL7Message: segment split, common
// values and every order value, as one order tick does.
#include <benchmark/benchmark.h>

#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "platform/file_system.h"
#include "core/hl7_message.h"
#include "intake/hl7_reader.h"

namespace {

const std::string& OrderMessage() {
  static const std::string text =
      "MSH|^~\\&|RIS|RADIOLOGIE|PACS|KLINIKUM|20261207093012||ORM^O01|MSG20261207093012001|P|2.3|||AL|NE||8859/1\r"
      "PID|1||4711^^^KH^PI~0815^^^KH^PN||M\xFCller^J\xF6rg^Peter^^^Dr.||19600131|M|||Hauptstra\xDF" "e 5^^Berlin^^10115^D||030123456\r"
      "PV1|1|I|CHI^R203^B2^CHIR||||0012^Hausarzt^Hans|||||||||||F1234567|||||||||||||||||||||||||20261206\r"
      "ORC|NW|A20261207-17|A20261207-17||SC||^^^202612081030^^R||20261207093000|||12345^Schmidt^Anna|CHI\r"
      "OBR|1|A20261207-17|A20261207-17|CT123^CT Thorax mit KM^L|||20261207093000|||||||||12345^Schmidt^Anna||||ACC0815||||CT\r"
      "ZDS|1.2.276.0.7230010.3.1.2.2026120709301712345^100^Application^DICOM\r";
  return text;
}

// The service's settings and a log that writes nothing (Debug is 0 and the
// message has a header).
norv::Settings& BenchSettings() {
  static norv::Settings settings;
  return settings;
}
norv::Log& BenchLog() {
  static norv::Log log(norv::PlatformFileSystem(), "/nonexistent", BenchSettings());
  return log;
}

// The values an order tick reads: the common ones, then the order values.
bool ReadValues(norv::Hl7Segments& store, norv::HL7Message& msg) {
  bool ok = norv::ReadCommonValues(BenchLog(), store, msg);
  norv::ReadOrderControl(store, msg);
  norv::ReadOrderStatus(store, msg);
  norv::ReadAppointmentDateTime(store, msg);
  norv::ReadAccessionNumber(store, msg);
  if (norv::ReadProcedureCode(store, msg)) norv::ReadProcedureText(store, msg);
  norv::ReadModalityLocation(store, msg, BenchSettings().ModalityLocation);
  norv::ReadModality(store, msg);
  norv::ReadPatientLocation(store, msg);
  norv::ReadReferringPhysician(store, msg);
  norv::ReadStudyInstanceUID(store, msg);
  return ok;
}

void UseSettings() {
  BenchSettings().Debug = 0;
  BenchSettings().ModalityLocation = "PV1;3;1";
}

void BM_ReadOrderMessage(benchmark::State& state) {
  UseSettings();
  const std::string& text = OrderMessage();
  for (auto _ : state) {
    norv::Hl7Segments store;
    norv::HL7Message msg;
    norv::SplitSegments(BenchLog(), text, store);
    bool ok = ReadValues(store, msg);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(msg);
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadOrderMessage);

// The two parts of the figure above: storing the segments (the reset of the
// store included) and reading the values from stored segments.
void BM_SplitSegments(benchmark::State& state) {
  const std::string& text = OrderMessage();
  for (auto _ : state) {
    norv::Hl7Segments store;
    norv::SplitSegments(BenchLog(), text, store);
    benchmark::DoNotOptimize(store);
  }
}
BENCHMARK(BM_SplitSegments);

void BM_ReadValues(benchmark::State& state) {
  UseSettings();
  norv::Hl7Segments store;
  norv::SplitSegments(BenchLog(), OrderMessage(), store);
  for (auto _ : state) {
    norv::HL7Message msg;
    bool ok = ReadValues(store, msg);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(msg);
  }
}
BENCHMARK(BM_ReadValues);

}  // namespace

BENCHMARK_MAIN();
