// The MLLP receiver over loopback: messages per second, each acknowledged
// only after its file is durable (written, flushed, renamed, folder synced),
// on one connection and on four, each sending one message at a time and
// waiting for its answer; each with and without the record of stored
// messages that answers a message sent again without writing it (one more
// flushed append per batch). Beside it what the disk costs: one flush of a
// small file, and the spool's durable steps for one message. Files go to
// the temporary directory's disk ("disk"), or to /dev/shm ("tmpfs": the
// receiver's own cost, without the disk's sync latency).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_api.h"
#include "platform/event_loop.h"
#include "core/seen_messages.h"
#include "receive/inbound_spool.h"
#include "receive/mllp_framer.h"
#include "receive/receiver.h"
#include "testing/test_util.h"

namespace {

using norv::testing::TempDir;

// A temporary directory on the disk, or on /dev/shm.
std::unique_ptr<TempDir> MakeDir(bool tmpfs) {
  const char* saved = std::getenv("TMPDIR");
  std::string saved_text = saved ? saved : "";
  if (tmpfs) setenv("TMPDIR", "/dev/shm", 1);
  auto dir = std::make_unique<TempDir>();
  if (tmpfs) {
    if (saved) {
      setenv("TMPDIR", saved_text.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  return dir;
}

const std::string& Message() {
  static const std::string text =
      "MSH|^~\\&|RIS|RADIOLOGIE|PACS|KLINIKUM|20261207093012||ORM^O01|MSG0001|P|2.3\r"
      "PID|1||4711^^^KH^PI~0815^^^KH^PN||M\xFCller^J\xF6rg^Peter||19600131|M\r"
      "PV1|1|I|CT1^R203^B2||||0012^Hausarzt^Hans\r"
      "ORC|NW|A17|A17||SC||^^^202612081030^^R||20261207093000|||12345^Schmidt^Anna\r"
      "OBR|1|A17|A17|CT100^CT Thorax mit KM^L|||20261207093000||||||||||||ACC0815||||CT\r";
  return text;
}

// A message with a control id of its own, so that the record of stored
// messages (when kept) takes none for a duplicate.
std::string UniqueMessage(std::string* control) {
  static std::atomic<std::uint64_t> next{0};
  *control = "MSG" + std::to_string(++next);
  std::string text = Message();
  return text.replace(text.find("MSG0001"), 7, *control);
}

// With `record`, the spool keeps its record of stored messages (24 hours).
std::unique_ptr<norv::InboundSpool> OpenSpool(const TempDir& dir, bool record = false) {
  std::filesystem::create_directory(dir / "inbound");
  std::string error, note;
  return norv::InboundSpool::Open(
      norv::PlatformDurableFiles(),
      {dir / "inbound", "HL7", dir / "counter", record ? 24 * 3600 : 0}, &error, &note);
}

// Removes the files written so far, as the service would take them.
void Drain(const TempDir& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir / "inbound")) {
    if (e.path().extension() == ".HL7") std::filesystem::remove(e.path());
  }
}

void BM_FsyncSmallFile(benchmark::State& state) {
  TempDir dir;
  int fd = open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0644);
  for (auto _ : state) {
    if (pwrite(fd, Message().data(), Message().size(), 0) < 0 || fdatasync(fd) != 0) {
      state.SkipWithError("write failed");
      break;
    }
  }
  close(fd);
}
BENCHMARK(BM_FsyncSmallFile)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SpoolOneMessage(benchmark::State& state) {
  const bool record = state.range(0) != 0;
  state.SetLabel(record ? "record kept" : "no record");
  TempDir dir;
  auto spool = OpenSpool(dir, record);
  std::int64_t n = 0;
  for (auto _ : state) {
    std::string control;
    const std::string message = UniqueMessage(&control);
    const std::vector<std::string> keys{
        record ? norv::SeenMessageKey("RIS", "RADIOLOGIE", control, message) : std::string()};
    if (spool->Store({message}, keys)[0].kind != norv::InboundSpool::Outcome::Kind::kStored) {
      state.SkipWithError("not stored");
      break;
    }
    if (++n % 1000 == 0) {
      state.PauseTiming();
      Drain(dir);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpoolOneMessage)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A receiver on its own thread and loop, stopped through a flag.
class ReceiverThread {
 public:
  ReceiverThread(const TempDir& dir, bool record) : spool_(OpenSpool(dir, record)) {
    thread_ = std::thread([this] {
      norv::EventLoop loop;
      norv::ReceiverConfig config;
      config.allow = *norv::AddressAllowList::Parse("127.0.0.1", nullptr);
      norv::Receiver receiver(loop, config, *spool_, {});
      std::string error;
      if (receiver.Start(&error)) port_ = receiver.port();
      started_ = true;
      loop.AddTimer(std::chrono::milliseconds(10), [&] {
        if (stop_) loop.Stop();
      });
      if (port_ != 0) loop.Run();
    });
    while (!started_) std::this_thread::yield();
  }
  ~ReceiverThread() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  std::unique_ptr<norv::InboundSpool> spool_;
  std::thread thread_;
  std::atomic<bool> started_{false}, stop_{false};
  std::atomic<std::uint16_t> port_{0};
};

// Sends `count` messages one at a time, each after the previous answer.
bool SendAndWait(std::uint16_t port, int count) {
  int fd = norv::netsys::CreateSocket(false, false);
  if (fd < 0 || norv::netsys::Connect(fd, norv::netsys::kLoopback, port) != 0) return false;
  bool ok = true;
  char buffer[4096];
  for (int i = 0; i < count && ok; ++i) {
    std::string control;
    const std::string framed = norv::MllpFrame(UniqueMessage(&control));
    ok = norv::netsys::Send(fd, framed.data(), framed.size()) == static_cast<long>(framed.size());
    std::string got;
    while (ok && got.find("\x1C\r") == std::string::npos) {
      long n = norv::netsys::Receive(fd, buffer, sizeof buffer);
      ok = n > 0;
      if (ok) got.append(buffer, static_cast<std::size_t>(n));
    }
    ok = ok && got.find("MSA|AA|" + control + "\r") != std::string::npos;
  }
  norv::netsys::Close(fd);
  return ok;
}

void BM_MllpReceive(benchmark::State& state) {
  constexpr int kPerConnection = 100;
  const int connections = static_cast<int>(state.range(0));
  const bool tmpfs = state.range(1) != 0;
  const bool record = state.range(2) != 0;
  state.SetLabel(std::string(tmpfs ? "tmpfs" : "disk") + (record ? ", record kept" : ", no record"));
  std::unique_ptr<TempDir> dir_holder = MakeDir(tmpfs);
  const TempDir& dir = *dir_holder;
  ReceiverThread receiver(dir, record);
  if (receiver.port() == 0) return state.SkipWithError("cannot listen");
  for (auto _ : state) {
    std::vector<std::thread> senders;
    std::atomic<bool> ok{true};
    for (int c = 0; c < connections; ++c) {
      senders.emplace_back([&] {
        if (!SendAndWait(receiver.port(), kPerConnection)) ok = false;
      });
    }
    for (std::thread& t : senders) t.join();
    if (!ok) {
      state.SkipWithError("a message was not acknowledged");
      break;
    }
    state.PauseTiming();
    Drain(dir);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * connections * kPerConnection);
}
BENCHMARK(BM_MllpReceive)
    ->Args({1, 0, 0})->Args({1, 0, 1})->Args({4, 0, 0})->Args({4, 0, 1})
    ->Args({1, 1, 0})->Args({1, 1, 1})->Args({4, 1, 0})->Args({4, 1, 1})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
