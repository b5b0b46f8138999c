// One ADT^A08 for a known patient with three live studies, end to end on an
// SQLite installation database: the registration check, the update of the
// patient row and three rename-order files, each procedure on its own
// connection, as the processing tick runs them, after the reader has split
// the message and read its patient values. Argument 0: database and
// program directory on the temporary directory's disk; 1: on /dev/shm, which
// leaves out the disk's sync latency. Second argument 0: a connection per
// procedure call, every statement committed on its own; 1: one connection
// kept, one commit per message, as the service runs them.
#include <benchmark/benchmark.h>
#include <filesystem>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "db/procedure.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "bench/bench_installation.h"

namespace norv {
namespace {

void BM_AdtA08KnownPatientThreeStudies(benchmark::State& state) {
  bench::BenchInstallation inst(state.range(0) == 1);
  if (!inst.ok()) {
    state.SkipWithError("/dev/shm is not available");
    return;
  }
  auto* db = &inst.db();
  auto* home = &inst;
  db->AddPatient(1, "0815", "Alt", "Anna");
  for (int study = 1; study <= 3; ++study) db->AddStudy(study, 1, 0);
  std::string orders = home->home() + "/RenameOrders";

  const std::string text =
      "MSH|^~\\&|HIS|KH|NORV|RAD|20240102120000||ADT^A08|B0001|P|2.3\r"
      "EVN|A08|20240102120000\r"
      "PID|1||4711^^^KH^PI~0815^^^KH^PN||Neu^Anna^Maria||19600131|F\r"
      "PV1|1|I|STATION1^ZI12\r";
  const bool kept = state.range(1) == 1;
  const IntakeContext& intake = kept ? inst.kept_intake() : inst.intake();
  bool ok = false;
  for (auto _ : state) {
    Hl7Segments store;
    HL7Message msg;
    SplitSegments(inst.context().log, text, store);
    if (!ReadCommonValues(inst.context().log, store, msg)) {
      state.SkipWithError("the message has no header");
      break;
    }
    ok = RunMessage(intake.connections, [&] { return HandlePatientUpdate(intake, store, msg); }) ==
         Outcome::kProcessed;
    if (!ok) {
      state.SkipWithError("the message failed");
      break;
    }
    state.PauseTiming();
    std::filesystem::remove_all(orders);
    state.ResumeTiming();
  }
  state.SetLabel(std::string(state.range(0) == 1 ? "tmpfs" : "disk") +
                 (kept ? ", kept connection" : ""));
}
BENCHMARK(BM_AdtA08KnownPatientThreeStudies)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace norv

BENCHMARK_MAIN();
