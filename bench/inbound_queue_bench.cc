// The choice of the next inbound file with 1,000, 10,000 and 100,000 files
// pending, all of them candidates: the full scan of every tick (list, look
// at every file, yield to the loop per file) against the index kept between
// ticks, with the folder's watch and without it.
//
// Each tick takes the smallest file; between ticks (not timed) that file is
// deleted and a new one with a higher number arrives by rename, so the
// number pending stays the same and the index has one removal and one
// arrival to follow per tick, as in a steady backlog.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/settings.h"
#include "testing/test_context.h"
#include "intake/inbound_cycle.h"
#include "intake/inbound_queue.h"
#include "platform/dir_watch.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;

constexpr char kMessage[] = "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261207093012||ZZZ^Z01|1|P|2.3\r";
constexpr int kFirstNumber = 1000000;

// Writes `path` dated a minute back, so that its archive bit is clear.
void WriteAged(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write(fd, kMessage, sizeof kMessage - 1);
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 60;
  times[1] = times[0];
  futimens(fd, times);
  close(fd);
}

class Backlog {
 public:
  explicit Backlog(int pending) {
    std::string tmpl = (fs::temp_directory_path() / "norv-bench-XXXXXX").string();
    root_ = mkdtemp(tmpl.data());
    inbound_ = root_ + "/in/";
    fs::create_directory(inbound_);
    for (int i = 0; i < pending; ++i) WriteAged(Path(kFirstNumber + i));
    lowest_ = kFirstNumber;
    next_ = kFirstNumber + pending;
  }
  ~Backlog() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& inbound() const { return inbound_; }
  std::string Lowest() const { return Path(lowest_); }
  // The lowest file is done; a new one arrives by rename.
  void Advance() {
    unlink(Path(lowest_++).c_str());
    std::string temp = root_ + "/arriving";
    WriteAged(temp);
    std::rename(temp.c_str(), Path(next_++).c_str());
  }

 private:
  std::string Path(int number) const { return inbound_ + std::to_string(number) + ".HL7"; }
  std::string root_, inbound_;
  int lowest_ = 0, next_ = 0;
};

// One folder per size for the whole process: making 100,000 files takes a
// while, and the library calls each benchmark several times.
Backlog& Pending(int pending) {
  static std::map<int, std::unique_ptr<Backlog>> backlogs;
  auto& backlog = backlogs[pending];
  if (!backlog) backlog = std::make_unique<Backlog>(pending);
  return *backlog;
}

void BM_ChoiceFullScan(benchmark::State& state) {
  Backlog& backlog = Pending(static_cast<int>(state.range(0)));
  norv::EventLoop loop;  // the scan yields to a real loop
  std::set<std::string> reported;
  norv::testing::TestContext ctx(backlog.inbound());
  ctx.settings.FileSuffix = "HL7";
  for (auto _ : state) {
    std::string chosen = norv::ScanInboundDirectory(ctx.db, backlog.inbound(), reported);
    state.PauseTiming();
    if (chosen != backlog.Lowest()) {
      state.SkipWithError("the scan did not choose the lowest file");
      break;
    }
    backlog.Advance();
    state.ResumeTiming();
  }
}

void RunQueue(benchmark::State& state, bool watched) {
  Backlog& backlog = Pending(static_cast<int>(state.range(0)));
  norv::InboundQueue queue(norv::PlatformFileSystem(), backlog.inbound(),
                           watched ? norv::NewPlatformDirWatch() : nullptr);
  (void)queue.Choose("HL7");  // the first listing, not timed
  const std::uint64_t listings = queue.stats().listings;
  for (auto _ : state) {
    norv::InboundChoice choice = queue.Choose("HL7");
    state.PauseTiming();
    if (choice.path != backlog.Lowest()) {
      state.SkipWithError("the index did not choose the lowest file");
      break;
    }
    backlog.Advance();
    state.ResumeTiming();
  }
  if (watched && !queue.watched()) state.SkipWithError("the folder is not watched");
  state.counters["listings"] = static_cast<double>(queue.stats().listings - listings);
}

void BM_ChoiceIndexWatched(benchmark::State& state) { RunQueue(state, true); }
void BM_ChoiceIndexUnwatched(benchmark::State& state) { RunQueue(state, false); }

// The first choice of a new index: one listing of the whole folder. (The
// watch's own start is left out: it costs the same for any size, and
// closing one waits for the kernel, which would dominate the figure.)
void BM_ChoiceIndexFirstListing(benchmark::State& state) {
  Backlog& backlog = Pending(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    norv::InboundQueue queue(norv::PlatformFileSystem(), backlog.inbound(), nullptr);
    benchmark::DoNotOptimize(queue.Choose("HL7"));
  }
}

BENCHMARK(BM_ChoiceFullScan)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
// A fixed count: the untimed arrival between ticks costs far more than the
// timed choice, so the library's own count would run for minutes.
BENCHMARK(BM_ChoiceIndexWatched)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChoiceIndexUnwatched)->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChoiceIndexFirstListing)->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
