#include "app/config_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/settings.h"
#include "platform/file_system.h"
#include "testing/test_database.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Exists;
using testing::TempDir;
using testing::WriteFile;

class ConfigCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "in");
    std::filesystem::create_directory(dir_ / "temp");
    WriteFile(dir_ / "procedure-ids.txt", "A;B;C");
  }
  void Write(const std::string& program_values, const std::string& temp = "temp/",
             std::string db_server = "") {
    if (db_server.empty()) db_server = db_.db_server();
    WriteFile(dir_ / "NORVReader.reg",
              "REGEDIT4\n[HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01]\n" + program_values +
                  "[HKLM\\Software\\VLM\\Tessarine\\ Default]\n\"UDP\"=\"50000\"\n"
                  "\"Temp\"=\"" + dir_.path() + "/" + temp + "\"\n"
                  "\"DBServer\"=\"" + db_server + "\"\n");
  }
  std::string Good() {
    return "\"InboundPath\"=\"" + dir_.path() + "/in\"\n\"FileSuffix\"=\"hl7\"\n\"ConvertReports\"=\"1\"\n";
  }
  bool Passes() {
    for (const CheckLine& l : CheckConfiguration(PlatformFileSystem(), {dir_ / "NORVReader.reg", "01"}, dir_.path())) {
      if (l.level == CheckLevel::kFail) return false;
    }
    return true;
  }
  bool Mentions(const std::string& text) {
    for (const CheckLine& l : CheckConfiguration(PlatformFileSystem(), {dir_ / "NORVReader.reg", "01"}, dir_.path())) {
      if (l.text.find(text) != std::string::npos) return true;
    }
    return false;
  }
  TempDir dir_;
  testing::TestDatabase db_{testing::Backend::kSqlite};
};

TEST_F(ConfigCheck, AGoodConfigurationPassesAndChangesNothing) {
  Write(Good());
  EXPECT_TRUE(Passes());
  EXPECT_TRUE(Mentions("3 read"));
  EXPECT_TRUE(Mentions("every table and view the program uses is in place"));
  EXPECT_TRUE(Mentions("report font"));
  EXPECT_FALSE(Exists(dir_ / "Logs"));
  EXPECT_FALSE(Exists(dir_ / "RenameOrders"));
}

TEST_F(ConfigCheck, EachMisconfigurationFails) {
  Write("\"InboundPath\"=\"" + dir_.path() + "/missing\"\n\"FileSuffix\"=\"hl7\"\n");
  EXPECT_FALSE(Passes()) << "missing inbound directory";
  Write("\"FileSuffix\"=\"hl7\"\n");
  EXPECT_FALSE(Passes()) << "no inbound directory";
  Write("\"InboundPath\"=\"TCPRECEIVE\"\n\"FileSuffix\"=\"hl7\"\n");
  EXPECT_FALSE(Passes()) << "TCPRECEIVE without export paths";
  Write("\"InboundPath\"=\"" + dir_.path() + "/in\"\n");
  EXPECT_FALSE(Passes()) << "no FileSuffix";
  Write(Good(), "gone/");
  EXPECT_FALSE(Passes()) << "missing Temp with ConvertReports on";
  WriteFile(dir_ / "empty.db", "");
  Write(Good(), "temp/", "sqlite:" + dir_.path() + "/empty.db");
  EXPECT_FALSE(Passes()) << "database without the program's tables";
  Write(Good(), "temp/", "sqlite:" + dir_.path() + "/none.db");
  EXPECT_FALSE(Passes()) << "database file missing";
  EXPECT_FALSE(Exists(dir_ / "none.db")) << "the check must not create a database";
  Write(Good(), "temp/", "odbc:Driver={No Such Driver};Uid=u;Pwd=secret;Database=d");
  EXPECT_FALSE(Passes()) << "database driver missing";
  EXPECT_FALSE(Mentions("secret")) << "passwords are never printed";
  std::filesystem::remove(dir_ / "NORVReader.reg");
  EXPECT_FALSE(Passes()) << "missing settings file";
}

TEST_F(ConfigCheck, ProcedureCodesWithLineBreaksWarn) {
  Write(Good());
  WriteFile(dir_ / "procedure-ids.txt", "A\r\nB\r\n");
  EXPECT_TRUE(Mentions("line breaks are part of the codes"));
  WriteFile(dir_ / "procedure-ids.txt", "");
  EXPECT_TRUE(Mentions("every order will be dropped"));
}

TEST(MaskPasswords, HidesOnlyPasswordValues) {
  EXPECT_EQ(MaskPasswords("Driver={x};Uid=u;Pwd=abc;Port=1"), "Driver={x};Uid=u;Pwd=***;Port=1");
  EXPECT_EQ(MaskPasswords("password=xy"), "password=**");
  EXPECT_EQ(MaskPasswords("sqlite:/data/pwd=1.db"), "sqlite:/data/pwd=1.db");
}

}  // namespace
}  // namespace norv
