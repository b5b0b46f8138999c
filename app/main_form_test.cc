#include "app/main_form.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>

#include "testing/service_state.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;
using testing::WriteFile;

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteCaption("first"); }
  void WriteCaption(const std::string& caption) {
    WriteFile(dir_ / "NORVReader.reg",
              "REGEDIT4\r\n[HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01]\r\n"
              "\"Caption\"=\"" + caption + "\"\r\n");
  }
  TempDir dir_;
  Service service_{PlatformFileSystem(), dir_.path(), {dir_ / "NORVReader.reg", "01"}};
};

TEST_F(MainFormTest, StartLoadsSettingsProcedureCodesAndCaption) {
  WriteFile(dir_ / "procedure-ids.txt", "A;B");
  EventLoop loop;
  MainForm form(loop, service_);
  form.Start();
  EXPECT_EQ(form.caption(), "first");
  EXPECT_TRUE(service_.codes.IsProcedureID("B"));
  EXPECT_TRUE(loop.TimerEnabled(form.TimerProgress()));
  EXPECT_TRUE(loop.TimerEnabled(form.TimerAlive()));
}

TEST_F(MainFormTest, EverySixthAliveTickReloadsTheCaption) {
  EventLoop loop;
  MainForm form(loop, service_);
  form.Start();
  int sent = 0;
  form.SetAliveSender([&] { ++sent; });
  WriteCaption("second");
  for (int i = 1; i <= 5; ++i) {
    form.TimerAlive_Timer();
    EXPECT_EQ(form.AliveTickCount(), i);
    EXPECT_EQ(form.caption(), "first");
  }
  form.TimerAlive_Timer();
  EXPECT_EQ(form.AliveTickCount(), 0);
  EXPECT_EQ(form.caption(), "second");
  EXPECT_EQ(sent, 6);
  for (int i = 0; i < 100; ++i) {
    form.TimerAlive_Timer();
    EXPECT_LE(form.AliveTickCount(), 5);
  }
}

TEST_F(MainFormTest, AnAliveSenderThatThrowsIsLoggedAsTimerAlive) {
  EventLoop loop;
  MainForm form(loop, service_);
  form.Start();
  form.SetAliveSender([] { throw std::runtime_error("send failed"); });
  form.TimerAlive_Timer();
  std::string log = testing::ReadFile(dir_ / "Logs/NORVReaderError.log");
  EXPECT_NE(log.find("send failed"), std::string::npos);
  EXPECT_NE(log.find("TimerAlive"), std::string::npos);
}

TEST_F(MainFormTest, TheProgressTimerIsOnAgainAfterItsTick) {
  EventLoop loop;
  MainForm form(loop, service_);
  form.Start();
  int ticks = 0;
  form.SetAfterProgressTick([&ticks] {
    ++ticks;
    throw std::runtime_error("counter failed");
  });
  form.TimerProgress_Timer();
  form.TimerProgress_Timer();
  EXPECT_EQ(ticks, 2);
  EXPECT_TRUE(loop.TimerEnabled(form.TimerProgress()));
}

// Five waiting files: one per 250 ms tick by default; with DrainBacklog the
// next one as soon as the previous one is done, until none waits.
TEST_F(MainFormTest, DrainBacklogTakesTheNextFileAtOnce) {
  for (int drain : {0, 1}) {
    TempDir in;
    WriteFile(dir_ / "NORVReader.reg",
              "REGEDIT4\r\n[HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01]\r\n"
              "\"InboundPath\"=\"" + in.path() + "\"\r\n\"FileSuffix\"=\"HL7\"\r\n"
              "\"DrainBacklog\"=\"" + std::to_string(drain) + "\"\r\n");
    for (int n = 1; n <= 5; ++n) {
      WriteFile(in / (std::to_string(n) + ".HL7"), "not HL7");
      std::filesystem::last_write_time(in / (std::to_string(n) + ".HL7"),
                                       std::filesystem::file_time_type::clock::now() -
                                           std::chrono::seconds(10));
    }
    EventLoop loop;
    MainForm form(loop, service_);
    form.Start();
    form.TimerProgress_Timer();  // the first file, now
    testing::RunUntilStopped(loop, std::chrono::milliseconds(200));
    const auto left = std::distance(std::filesystem::directory_iterator(in.path()),
                                    std::filesystem::directory_iterator());
    EXPECT_EQ(left, drain == 1 ? 1 : 5) << "DrainBacklog " << drain;  // only failed/ is left
  }
}

}  // namespace
}  // namespace norv
