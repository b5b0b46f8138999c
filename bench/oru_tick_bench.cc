// One ORU^R01 of 60 report lines for a known patient, end to end through a
// processing tick on an SQLite installation database: choosing and reading
// the inbound file, parsing, the registration check, two report pages drawn
// and written with their markers into Temp, and deleting the file. Writing
// the inbound file and clearing Temp are not timed. Argument 0: on the
// temporary directory's disk; 1: on /dev/shm. Second argument 0: a
// connection per procedure call; 1: one connection kept, as the service runs.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "core/settings.h"
#include "bench/bench_installation.h"
#include "intake/inbound_cycle.h"

namespace norv {
namespace {

std::string ReportMessage(int n) {
  std::string id = std::to_string(n);
  std::string text = "MSH|^~\\&|RIS|KH|NORV|RAD|20300101120000||ORU^R01|MSG" + id + "|P|2.3\r"
                     "PID|1||X^^^KH^PI~0815^^^KH^PN||Alt^Anna^Maria||19600131|F\r"
                     "ORC|RE|P" + id + "|F" + id + "||CM||^^^203006200930|||||R42^Dr. Who\r"
                     "OBR|1|||CT123^CT Thorax|||||||||||||||||ACC" + id + "|||CT\r";
  for (int line = 1; line <= 60; ++line) {
    text += "OBX|" + std::to_string(line) + "|TX|||" + std::to_string(line) +
            ". Lungenabschnitt ohne Auff\xE4lligkeiten, keine Infiltrate, kein Erguss.\r";
  }
  return text;
}

void BM_OruR01KnownPatientTwoPages(benchmark::State& state) {
  bench::BenchInstallation inst(state.range(0) == 1);
  if (!inst.ok()) {
    state.SkipWithError("/dev/shm is not available");
    return;
  }
  Settings& settings = inst.settings();
  settings.ConvertReports = 1;
  inst.db().AddPatient(1, "0815", "Alt", "Anna");

  const bool kept = state.range(1) == 1;
  const IntakeContext& intake = kept ? inst.kept_intake() : inst.intake();
  InboundCycle cycle;
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(settings.Temp);
    std::filesystem::create_directory(settings.Temp);
    std::string file = inst.DropInbound("1.HL7", ReportMessage(++n));
    state.ResumeTiming();
    RunInboundTick(intake, cycle);
    state.PauseTiming();
    int pages = 0;
    for (const auto& entry : std::filesystem::directory_iterator(settings.Temp)) {
      pages += entry.path().extension() == ".dcm";
    }
    if (testing::Exists(file) || pages != 2) {
      state.SkipWithError("the report did not become two pages");
      break;
    }
    state.ResumeTiming();
  }
  state.SetLabel(std::string(state.range(0) == 1 ? "tmpfs" : "disk") +
                 (kept ? ", kept connection" : ""));
}
BENCHMARK(BM_OruR01KnownPatientTwoPages)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace norv

BENCHMARK_MAIN();
