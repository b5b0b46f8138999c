#include "app/config_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/dates.h"
#include "core/registry.h"
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
  Write(Good());
  const std::filesystem::path in = dir_ / "in";
  WriteFile(in / "failed", "in the way");
  EXPECT_FALSE(Passes()) << "failed/ is a file";
  std::filesystem::remove(in / "failed");
  std::filesystem::create_directories(in / "debug");
  std::filesystem::create_directory_symlink(dir_.path(), in / "debug" / WeekFolderName(LocalNow()));
  EXPECT_FALSE(Passes()) << "this week's debug folder is a link";
  std::filesystem::remove_all(in / "debug");
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

// A settings file the service cannot use says why, and never hangs the check.
TEST_F(ConfigCheck, UnusableSettingsFilesAreNamed) {
  std::string file = dir_ / "NORVReader.reg";
  std::filesystem::remove(file);
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  EXPECT_TRUE(Mentions(file + ": not a regular file"));
  std::filesystem::remove(file);
  Write(Good());
  std::filesystem::resize_file(file, kMaxSettingsFileSize + 1);
  EXPECT_TRUE(Mentions(file + ": larger than 16 MiB"));
  EXPECT_FALSE(Passes());
}

TEST_F(ConfigCheck, ReadingModeAndIdentifierRuleAreShown) {
  Write(Good());
  EXPECT_TRUE(Mentions("HL7 reading: designed"));
  EXPECT_TRUE(Mentions("patient identifier: component 1 of the second repetition of PID-3"));
  Write(Good() + "\"StandardHL7\"=\"1\"\n\"PatientIDType\"=\"MR\"\n\"AppointmentTimeFallback\"=\"1\"\n");
  EXPECT_TRUE(Mentions("HL7 reading: standard"));
  EXPECT_TRUE(Mentions("else OBR-36; else the message's time, MSH-7 (AppointmentTimeFallback 1)"));
  EXPECT_TRUE(Mentions("patient identifier: the first repetition of PID-3 with type code (CX-5) MR"));
  Write(Good() + "\"PatientIDAuthority\"=\"KH\"\n\"AppointmentTimeFallback\"=\"1\"\n");
  EXPECT_TRUE(Mentions("apply only with StandardHL7 1"));
  EXPECT_TRUE(Mentions("AppointmentTimeFallback: only 1 with StandardHL7 1"));
}

TEST_F(ConfigCheck, ProcedureCodesWithLineBreaksWarn) {
  Write(Good());
  WriteFile(dir_ / "procedure-ids.txt", "A\r\nB\r\n");
  EXPECT_TRUE(Mentions("line breaks are part of the codes"));
  WriteFile(dir_ / "procedure-ids.txt", "");
  EXPECT_TRUE(Mentions("every order will be dropped"));
}

TEST(MaskPasswords, HidesOnlyPasswordValues) {
  struct Case {
    const char* text;
    const char* shown;
  } cases[] = {
      {"Driver={x};Uid=u;Pwd=abc;Port=1", "Driver={x};Uid=u;Pwd=***;Port=1"},
      {"password=xy", "password=**"},
      {"PASSWORD=x", "PASSWORD=*"},
      {"Uid=u; pwd =X ;Port=1", "Uid=u; pwd =**;Port=1"},
      {"Pwd={Sec;ret};Port=1", "Pwd={*******};Port=1"},
      {"Pwd={a}}b};Uid=u", "Pwd={****};Uid=u"},
      {"Server=h;pqopt={sslmode=require password=X connect_timeout=3};Uid=u",
       "Server=h;pqopt={sslmode=require password=* connect_timeout=3};Uid=u"},
      {"pqopt={password = 'a b\\'c'}", "pqopt={password = ********}"},
      {"Driver={PostgreSQL Unicode};Uid=pwd;Database=password",
       "Driver={PostgreSQL Unicode};Uid=pwd;Database=password"},
      {"sqlite:/data/pwd=1.db", "sqlite:/data/pwd=1.db"},
      {"DBHOST\\SQLEXPRESS", "DBHOST\\SQLEXPRESS"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskPasswords(c.text), c.shown) << c.text;
}

}  // namespace
}  // namespace norv
