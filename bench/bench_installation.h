// An installation for the end-to-end tick benchmarks: a program directory,
// an inbound directory and an SQLite installation database, either on the
// temporary directory's disk or on /dev/shm (which leaves out the disk's
// sync latency), with the settings pointing at them.
#ifndef NORV_BENCH_BENCH_INSTALLATION_H_
#define NORV_BENCH_BENCH_INSTALLATION_H_

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/settings.h"
#include "db/procedure.h"
#include "testing/intake_context.h"
#include "testing/test_database.h"

namespace norv::bench {

class BenchInstallation {
 public:
  explicit BenchInstallation(bool on_tmpfs) {
    if (on_tmpfs && !std::filesystem::is_directory("/dev/shm")) return;
    const char* saved = std::getenv("TMPDIR");
    std::string saved_tmpdir = saved ? saved : "";
    if (on_tmpfs) setenv("TMPDIR", "/dev/shm", 1);
    home_ = std::make_unique<testing::TempDir>();
    db_ = std::make_unique<testing::TestDatabase>(testing::Backend::kSqlite);
    if (on_tmpfs) {
      if (saved) {
        setenv("TMPDIR", saved_tmpdir.c_str(), 1);
      } else {
        unsetenv("TMPDIR");
      }
    }
    ctx_ = std::make_unique<testing::TestIntakeContext>(home_->path());
    settings().DBServer = db_->db_server();
    settings().InboundPath = home_->path() + "/inbound/";
    settings().FileSuffix = "HL7";
    settings().ModalityName = "0";
    settings().Temp = home_->path() + "/temp/";
    std::filesystem::create_directory(settings().InboundPath);
    std::filesystem::create_directory(settings().Temp);
  }

  // False when /dev/shm was asked for and is missing.
  bool ok() const { return db_ != nullptr; }
  Settings& settings() { return ctx_->settings; }
  const IntakeContext& intake() { return ctx_->intake; }
  // The same context on the service's way to the database: one connection
  // kept open, the work of a message in one transaction (the cycle's
  // MessageTransaction begins and commits it).
  const IntakeContext& kept_intake() {
    if (!kept_) {
      reused_ = std::make_unique<ReusedConnection>(settings(), home());
      kept_ = std::make_unique<IntakeContext>(IntakeContext{
          DbContext{ctx_->intake, *reused_, nullptr}, ctx_->codes, ctx_->intake.fonts});
    }
    return *kept_;
  }
  testing::TestIntakeContext& context() { return *ctx_; }
  testing::TestDatabase& db() { return *db_; }
  const std::string& home() const { return home_->path(); }

  // Writes an inbound file dated back, since the cycle leaves a file alone
  // during its first second (it may still be being written). Returns its path.
  std::string DropInbound(const std::string& name, const std::string& text) {
    std::string file = settings().InboundPath + name;
    testing::WriteFile(file, text);
    std::filesystem::last_write_time(
        file, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10));
    return file;
  }

 private:
  std::unique_ptr<testing::TempDir> home_;
  std::unique_ptr<testing::TestDatabase> db_;
  std::unique_ptr<testing::TestIntakeContext> ctx_;
  std::unique_ptr<ReusedConnection> reused_;
  std::unique_ptr<IntakeContext> kept_;
};

// ORM^O01 NW number `n` for a new patient (P<n>, accession ACC<n>) at the
// location CT1, which the benchmarks' two AETs serve.
inline std::string OrderMessage(int n) {
  std::string id = std::to_string(n);
  std::string obr = "OBR|1|||CT123^CT Thorax";
  for (int i = 5; i <= 24; ++i) {
    obr += "|" + std::string(i == 21 ? "ACC" + id : i == 24 ? "CT" : "");
  }
  return "MSH|^~\\&|RIS|KH|NORV|RAD|20300101120000||ORM^O01|MSG" + id + "|P|2.3\r"
         "PID|1||X" + id + "^^^KH^PI~P" + id + "^^^KH^PN||Neu^Nina^Maria||19600131|F\r"
         "PV1|1|O|CT1^R12\r"
         "ORC|NW|P" + id + "|F" + id + "||SC||^^^203006200930|||||R42^Dr. Who\r" + obr + "\r";
}

}  // namespace norv::bench

#endif  // NORV_BENCH_BENCH_INSTALLATION_H_
