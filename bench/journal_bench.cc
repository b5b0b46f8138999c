// The message journal's cost beside the message it records. BM_OrmTick: the
// ORM^O01 tick of orm_tick_bench (new patient, two AETs, kept connection,
// SQLite installation database and program directory on the temporary
// directory's disk), argument 0 without the journal, 1 with the service's
// JournalWriter told of the file as the running service tells it; the
// difference is the journal's share of the per-message time.
// BM_JournalWrite: the journal alone, one such record per iteration through
// RecordOfTaken and JournalWriter (gathered and written in batches as in the
// service), on the same disk. Run with
// --benchmark_enable_random_interleaving=true, as the shared disk drifts.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_installation.h"
#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "operations/journal.h"
#include "platform/file_system.h"

namespace norv {
namespace {

void BM_OrmTick(benchmark::State& state) {
  bench::BenchInstallation inst(false);
  Settings& settings = inst.settings();
  settings.ModalityLocation = "PV1;3;0";
  testing::WriteFile(inst.home() + "/procedure-ids.txt", "CT123;MR200");
  inst.context().codes.ReadProcedureIDs(PlatformFileSystem(), inst.home(), inst.context().log);
  inst.db().AddAet(1, "(CT1)");
  inst.db().AddAet(2, "(CT1)(MR1)");
  const IntakeContext& intake = inst.kept_intake();

  const bool journal_on = state.range(0) == 1;
  settings.JournalDays = journal_on ? 90 : 0;
  int problems = 0;
  JournalWriter journal(JournalPath(inst.home(), "01"), settings,
                        [&problems](const std::string&) { ++problems; });
  InboundCycle cycle;
  cycle.on_taken = [&journal](const TakenFile& f) { journal.Write(RecordOfTaken(f)); };
  const std::string file = settings.InboundPath + "1.HL7";
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    inst.DropInbound("1.HL7", bench::OrderMessage(++n));
    state.ResumeTiming();
    RunInboundTick(intake, cycle);
    journal.FlushIfDue();  // as after every tick of the service
    if (testing::Exists(file)) {
      state.SkipWithError("the message was not processed");
      break;
    }
  }
  if (problems > 0) state.SkipWithError("the journal could not be written");
  state.SetLabel(journal_on ? "with journal" : "without journal");
}
BENCHMARK(BM_OrmTick)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_JournalWrite(benchmark::State& state) {
  testing::TempDir dir;
  Settings settings;
  int problems = 0;
  JournalWriter journal(JournalPath(dir.path(), "01"), settings,
                        [&problems](const std::string&) { ++problems; });
  TakenFile f;
  f.path = dir.path() + "/inbound/1.HL7";
  f.event = "ORM^O01";
  f.sending_application = "RIS";
  f.sending_facility = "KH";
  f.patient_ids = {"P1"};
  f.order_controls = {"NW"};
  f.outcome = Outcome::kProcessed;
  f.disposal = "deleted";
  int n = 0;
  for (auto _ : state) {
    ++n;
    f.taken_at = f.finished_at = 1796800000 + n;
    f.control_id = "MSG" + std::to_string(n);
    f.accessions = {"ACC" + std::to_string(n)};
    f.notes.changes = {"patient inserted: P" + std::to_string(n) + " (PATID 7)",
                       "appointment booked: ACC" + std::to_string(n) + " (AET 1)",
                       "appointment booked: ACC" + std::to_string(n) + " (AET 2)"};
    journal.Write(RecordOfTaken(f));
    journal.FlushIfDue();
  }
  if (problems > 0) state.SkipWithError("the journal could not be written");
}
BENCHMARK(BM_JournalWrite)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace norv

BENCHMARK_MAIN();
