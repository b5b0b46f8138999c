// One processing tick over a crowded inbound directory: 10,000 files that do
// not qualify (5,000 of another extension, 5,000 numbered 5000000 and up)
// and 100 that do. Each tick lists and checks all of them, yields to the
// message loop once per file, reads the smallest, parses it and files it
// into the failed week folder (its event is one no handler takes, so the
// figure is the cycle's own cost). Between ticks the file is put back.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "testing/intake_context.h"
#include "core/dates.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/system.h"

namespace {

namespace fs = std::filesystem;

const char kMessage[] =
    "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261207093012||ZZZ^Z01|1|P|2.3\r"
    "PID|1||4711^^^KH^PI~0815^^^KH^PN||Muster^Hans||19600131|M\r"
    "ORC|NW|A1|A1||SC||^^^202612081030\r";

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
  // Old enough that the archive bit is not set.
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 60;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class CrowdedInbound {
 public:
  CrowdedInbound() {
    std::string tmpl = (fs::temp_directory_path() / "norv-bench-XXXXXX").string();
    root_ = mkdtemp(tmpl.data());
    inbound_ = root_ + "/in/";
    fs::create_directory(inbound_);
    fs::create_directory(root_ + "/prog");
    for (int i = 0; i < 5000; ++i) Write(inbound_ + std::to_string(i) + ".tmp", kMessage);
    for (int i = 0; i < 5000; ++i) Write(inbound_ + std::to_string(5000000 + i) + ".HL7", kMessage);
    for (int i = 0; i < 100; ++i) Write(inbound_ + std::to_string(1000 + i) + ".HL7", kMessage);
    ctx_ = std::make_unique<norv::testing::TestIntakeContext>(root_ + "/prog");
    ctx_->settings.InboundPath = inbound_;
    ctx_->settings.FileSuffix = "HL7";
  }
  ~CrowdedInbound() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& inbound() const { return inbound_; }
  const norv::IntakeContext& intake() const { return ctx_->intake; }
  // Puts the files the last tick filed back into the inbound directory and
  // returns their names.
  std::string Restore() {
    std::string failed = inbound_ + "failed/" + norv::WeekFolderName(norv::LocalNow());
    std::string names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(failed, ec)) {
      std::string name = e.path().filename().string();
      fs::rename(e.path(), inbound_ + name);
      Write(inbound_ + name, kMessage);
      names += name;
    }
    return names;
  }

 private:
  std::string root_, inbound_;
  std::unique_ptr<norv::testing::TestIntakeContext> ctx_;
};

// Made once per process: the benchmark library calls each benchmark several
// times while it settles the iteration count.
CrowdedInbound& Dir() {
  static CrowdedInbound dir;
  return dir;
}

void BM_InboundTick(benchmark::State& state) {
  CrowdedInbound& dir = Dir();
  norv::EventLoop loop;  // DoEvents yields to a real loop
  norv::InboundCycle cycle;
  for (auto _ : state) {
    norv::RunInboundTick(dir.intake(), cycle);
    state.PauseTiming();
    if (dir.Restore() != "1000.HL7") {
      state.SkipWithError("the tick did not take 1000.HL7 alone");
      break;
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InboundTick)->Unit(benchmark::kMillisecond);

// The scan alone (listing, checks and yields), without reading or moving.
void BM_ChooseInboundFile(benchmark::State& state) {
  CrowdedInbound& dir = Dir();
  norv::EventLoop loop;
  std::set<std::string> reported;
  std::string chosen;
  for (auto _ : state) {
    chosen = norv::ScanInboundDirectory(dir.intake(), dir.inbound(), reported);
    benchmark::DoNotOptimize(chosen);
  }
  if (chosen != dir.inbound() + "1000.HL7") state.SkipWithError("wrong file chosen");
}
BENCHMARK(BM_ChooseInboundFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
