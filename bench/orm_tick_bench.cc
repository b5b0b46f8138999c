// One ORM^O01 NW for a new patient whose location two AETs serve, end to
// end through a processing tick on an SQLite installation database: choosing
// and reading the inbound file, parsing, the procedure filter, the patient
// insert with its key allocation, the purge, the AET query, two searches and
// two new appointment rows, and deleting the file. Writing the inbound file
// is not timed. Argument 0: database and program directory on the temporary
// directory's disk; 1: on /dev/shm, which leaves out the disk's sync latency.
// Second argument 0: a connection per procedure call, every statement
// committed on its own; 1: one connection kept, one commit per message.
#include <benchmark/benchmark.h>
#include <string>

#include "bench/bench_installation.h"
#include "core/settings.h"
#include "db/procedure.h"
#include "intake/events.h"
#include "intake/inbound_cycle.h"
#include "platform/file_system.h"

namespace norv {
namespace {

void BM_OrmO01NewPatientTwoAets(benchmark::State& state) {
  bench::BenchInstallation inst(state.range(0) == 1);
  if (!inst.ok()) {
    state.SkipWithError("/dev/shm is not available");
    return;
  }
  auto* db = &inst.db();
  Settings& settings = inst.settings();
  settings.ModalityLocation = "PV1;3;0";
  testing::WriteFile(inst.home() + "/procedure-ids.txt", "CT123;MR200");
  inst.context().codes.ReadProcedureIDs(PlatformFileSystem(), inst.home(), inst.context().log);
  db->AddAet(1, "(CT1)");
  db->AddAet(2, "(CT1)(MR1)");

  // Argument 1 set: the service's kept connection and one transaction per
  // message instead of a connection per procedure call.
  const bool kept = state.range(1) == 1;
  const IntakeContext& intake = kept ? inst.kept_intake() : inst.intake();

  InboundCycle cycle;
  const std::string file = settings.InboundPath + "1.HL7";
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    inst.DropInbound("1.HL7", bench::OrderMessage(++n));
    state.ResumeTiming();
    RunInboundTick(intake, cycle);
    if (testing::Exists(file) || testing::Exists(settings.InboundPath + "failed")) {
      state.SkipWithError("the message was not processed");
      break;
    }
  }
  if (n > 0 && db->QueryInt("SELECT COUNT(*) AS n FROM tblTermine") != 2 * n) {
    state.SkipWithError("not every order booked two appointments");
  }
  state.SetLabel(std::string(state.range(0) == 1 ? "tmpfs" : "disk") +
                 (kept ? ", kept connection" : ""));
}
BENCHMARK(BM_OrmO01NewPatientTwoAets)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace norv

BENCHMARK_MAIN();
