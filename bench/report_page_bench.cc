// Report page speed: one page of 52 report lines drawn, finished and written
// as a DICOM file, the way the report handler makes every page after the
// first; and a three-page report (105 lines) through WriteReportPages, whose
// counter peak_rss_MB is the process's peak resident memory (run it alone,
// --benchmark_filter=ThreePageReport, for a figure of that report only).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/settings.h"
#include "imaging/report_image.h"
#include "imaging/report_layout.h"
#include "imaging/report_page.h"
#include "intake/report_events.h"
#include "platform/file_system.h"
#include "testing/fonts.h"
#include "testing/intake_context.h"

namespace norv {
namespace {

// The text of report line i, as the inbound file holds it (Windows-1252).
std::string LineText(int i) {
  return "Zeile " + std::to_string(i) + ": Befund ohne Auff\xE4lligkeiten, Kontrolle in 6 Monaten";
}

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("norv-bench-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Prefix() const { return path_.string() + "/"; }
  // Empties the directory (outside the timed part: the service never
  // replaces files, and replacing one makes ext4 flush it at once).
  void Clear(benchmark::State& state) const {
    state.PauseTiming();
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      std::filesystem::remove_all(entry.path());
    }
    state.ResumeTiming();
  }

 private:
  std::filesystem::path path_;
};

DicomImage FilledFirstPage() {
  DicomImage page = CreateReportImage();
  page.SetPatientID("0815");
  page.SetPatientName("M\xFCller^J\xF6rg");
  page.SetAccessionNumber("ACC4711");
  page.SetBirthDate("1960-01-31");
  page.SetSex("M");
  page.AddAttribute(0x0008, 0x0020, "2006-12-24");
  page.AddAttribute(0x0008, 0x0030, "09:30");
  page.AddAttribute(0x0008, 0x0090, "Meier");
  page.AddAttribute(0x0020, 0x0013, std::int16_t{1});
  return page;
}

// Peak resident set size in MB, from the kernel's VmHWM (0 where unknown).
double PeakRssMb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void BM_ReportPage(benchmark::State& state) {
  ScratchDir dir;
  const DicomImage first = FilledFirstPage();
  std::vector<std::string> texts;
  for (int i = 1; i <= kReportLinesPerPage; ++i) texts.push_back(LineText(i));
  // Warm the font and glyph caches and the data dictionary.
  first.DerivePage().WriteFile(PlatformFileSystem(), dir.File("warm.dcm"));
  int written = 0;
  for (auto _ : state) {
    DicomImage page = first.DerivePage();
    page.ClearLabels();
    for (int i = 0; i < kReportLinesPerPage; ++i) {
      page.AddLabel(RenderReportPage(texts[i], 10, 15 * (i + 1), true, 0, 12, 65280));
    }
    page.FinishPage(testing::Fonts());
    page.WriteFile(PlatformFileSystem(), dir.File(page.InstanceName() + ".dcm"));
    if (++written % 50 == 0) dir.Clear(state);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportPage)->Unit(benchmark::kMillisecond);

// The parts of a page: drawing 52 labels, and writing the finished page.
void BM_RenderAndFinishPage(benchmark::State& state) {
  const DicomImage first = FilledFirstPage();
  for (auto _ : state) {
    DicomImage page = first.DerivePage();
    for (int i = 1; i <= kReportLinesPerPage; ++i) {
      page.AddLabel(RenderReportPage(LineText(i), 10, 15 * i, true, 0, 12, 65280));
    }
    page.FinishPage(testing::Fonts());
    benchmark::DoNotOptimize(page.Pixels().data());
  }
}
BENCHMARK(BM_RenderAndFinishPage)->Unit(benchmark::kMillisecond);

void BM_WritePage(benchmark::State& state) {
  ScratchDir dir;
  DicomImage page = FilledFirstPage();
  for (int i = 1; i <= kReportLinesPerPage; ++i) {
    page.AddLabel(RenderReportPage(LineText(i), 10, 15 * i, true, 0, 12, 65280));
  }
  page.FinishPage(testing::Fonts());
  int written = 0;
  for (auto _ : state) {
    page.WriteFile(PlatformFileSystem(), dir.File(std::to_string(written) + ".dcm"));
    if (++written % 50 == 0) dir.Clear(state);
  }
}
BENCHMARK(BM_WritePage)->Unit(benchmark::kMillisecond);

void BM_ThreePageReport(benchmark::State& state) {
  ScratchDir dir;
  testing::TestIntakeContext ctx(dir.Prefix());
  ctx.settings.Temp = dir.Prefix();
  HL7Message msg;
  msg.PatientID = "0815";
  msg.LastName = "M\xFCller";
  msg.FirstName = "J\xF6rg";
  msg.BirthDate = "1960-01-31";
  msg.AppointmentDate = "2006-12-24";
  msg.AppointmentTime = "09:30";
  std::vector<std::string> lines;
  for (int i = 1; i <= 105; ++i) lines.push_back("OBX|" + std::to_string(i) + "|TX|||" + LineText(i));
  for (auto _ : state) {
    WriteReportPages(ctx.intake, msg, lines);
    dir.Clear(state);
  }
  state.counters["peak_rss_MB"] = PeakRssMb();
}
BENCHMARK(BM_ThreePageReport)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace norv

BENCHMARK_MAIN();
