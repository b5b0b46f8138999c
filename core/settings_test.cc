#include "core/settings.h"

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(SettingsConversion, Numbers) {
  EXPECT_EQ(ToInt16("12"), 12);
  EXPECT_EQ(ToInt16(" -7 "), -7);
  EXPECT_EQ(ToInt16("007"), 7);
  EXPECT_EQ(ToInt16("2.5"), 2);   // halves round to even
  EXPECT_EQ(ToInt16("3.5"), 4);
  EXPECT_EQ(ToInt16("32767"), 32767);
  EXPECT_EQ(ToInt16("32768"), std::nullopt);
  EXPECT_EQ(ToInt16("-32768"), -32768);
  EXPECT_EQ(ToInt16(""), std::nullopt);
  EXPECT_EQ(ToInt16("abc"), std::nullopt);
  EXPECT_EQ(ToInt16("1e3"), std::nullopt);
  EXPECT_EQ(ToInt32("40000"), 40000);
  EXPECT_EQ(ToInt32("4294967295"), std::nullopt);
}

TEST(SettingsConversion, Booleans) {
  EXPECT_EQ(ToBoolean("0"), false);
  EXPECT_EQ(ToBoolean("0.0"), false);
  EXPECT_EQ(ToBoolean("1"), true);
  EXPECT_EQ(ToBoolean("-3"), true);
  EXPECT_EQ(ToBoolean("True"), true);
  EXPECT_EQ(ToBoolean("false"), false);
  EXPECT_EQ(ToBoolean("yes"), std::nullopt);
  EXPECT_EQ(ToBoolean(""), std::nullopt);
}

class SettingsLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / "NORVReader.reg";
    source_.file = file_;
  }
  Settings& settings() { return settings_; }
  std::string LoadSettings() { return norv::LoadSettings(source_, settings_); }
  void SetInstance(const std::string& instance) { source_.instance = instance; }
  void SetSettingsFile(const std::string& file) { source_.file = file; }
  std::string BaseKey() const { return norv::BaseKey(source_); }
  std::string ReadRegistry(std::string_view path, std::string_view dflt) const {
    return norv::ReadRegistry(source_, path, dflt);
  }

  Settings settings_;
  SettingsSource source_;
  void Write(const std::string& base_values, const std::string& extra = "") {
    WriteFile(file_,
              "Windows Registry Editor Version 5.00\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\VLM\\Tessarine\\NORVReader\\01]\r\n" +
                  base_values + extra);
  }
  TempDir dir_;
  std::string file_;
};

TEST_F(SettingsLoad, ValuesAreConvertedAndNormalised) {
  Write(
      "\"Debug\"=dword:00000001\r\n\"Caption\"=\"NORV 01\"\r\n"
      "\"InboundPath\"=\"/data/in\"\r\n\"FileSuffix\"=\"hl7\"\r\n"
      "\"ModalityName\"=\"0001\"\r\n\"ForceRegAppointment\"=\"1\"\r\n"
      "\"WildcardDigit\"=\"3\"\r\n\"KeepFiles\"=\"1\"\r\n\"DBTimeout\"=dword:00000005\r\n"
      "\"MetricsFile\"=\"/var/lib/node/norv.prom\"\r\n\"StatusWarnAge\"=\"60\"\r\n",
      "[HKLM\\Software\\VLM\\Tessarine\\ Default]\r\n"
      "\"DBServer\"=\"sqlite:x.db\"\r\n\"UDP\"=dword:0000c350\r\n\"Temp\"=\"/tmp/r/\"\r\n");
  LoadSettings();
  const Settings& s = settings();
  EXPECT_EQ(s.Debug, 1);
  EXPECT_EQ(s.Caption, "NORV 01");
  EXPECT_EQ(s.DBServer, "sqlite:x.db");
  EXPECT_EQ(s.UDP, 50000);  // above 32767 is fine for a 32-bit value
  EXPECT_EQ(s.Temp, "/tmp/r/");
  EXPECT_EQ(s.InboundPath, "/data/in/");
  EXPECT_EQ(s.FileSuffix, "HL7");
  EXPECT_EQ(s.ModalityName, "1");
  EXPECT_TRUE(s.ForceRegAppointment);
  EXPECT_FALSE(s.CommonStudyUID);
  EXPECT_EQ(s.WildcardDigit, 3);
  EXPECT_EQ(s.KeepFiles, 1);
  EXPECT_EQ(s.ConvertReports, 0);
  EXPECT_EQ(s.DBTimeout, 5);
  EXPECT_EQ(s.MetricsFile, "/var/lib/node/norv.prom");
  EXPECT_EQ(s.StatusWarnAge, 60);
  EXPECT_EQ(s.StatusCritAge, 1800);
}

TEST_F(SettingsLoad, ReceiverValuesAndTheirDefaults) {
  Write("\"MLLPPort\"=dword:00000a8c\r\n\"MLLPAllow\"=\"10.0.0.0/8\"\r\n"
        "\"MLLPTLSCert\"=\"/etc/c.pem\"\r\n\"MLLPMaxMessage\"=\"1000\"\r\n");
  LoadSettings();
  const Settings& s = settings();
  EXPECT_EQ(s.MLLPPort, 2700);
  EXPECT_EQ(s.MLLPBind, "127.0.0.1");
  EXPECT_EQ(s.MLLPAllow, "10.0.0.0/8");
  EXPECT_EQ(s.MLLPTLSCert, "/etc/c.pem");
  EXPECT_EQ(s.MLLPTLSKey, "");
  EXPECT_EQ(s.MLLPMaxMessage, 1000);
  EXPECT_EQ(s.MLLPIdleTimeout, 300);
  EXPECT_EQ(s.MLLPDuplicateWindow, 24);
  EXPECT_EQ(s.MLLPMaxConnections, 32);
  EXPECT_EQ(s.MLLPMaxPerPeer, 8);
  EXPECT_EQ(s.SkipDuplicates, 0);
  Write("");
  LoadSettings();
  EXPECT_EQ(s.MLLPPort, 0);
  EXPECT_EQ(s.MLLPMaxMessage, 16777216);
}

TEST_F(SettingsLoad, ReadingModeAndIdentifierRule) {
  Write("");
  LoadSettings();
  EXPECT_EQ(settings().StandardHL7, 0);
  EXPECT_EQ(settings().PatientIDType, "");
  Write("\"StandardHL7\"=dword:00000001\r\n\"PatientIDType\"=\"MR\"\r\n"
        "\"PatientIDAuthority\"=\"KH\"\r\n\"AppointmentTimeFallback\"=dword:00000001\r\n");
  LoadSettings();
  EXPECT_EQ(settings().StandardHL7, 1);
  EXPECT_EQ(settings().AppointmentTimeFallback, 1);
  EXPECT_EQ(settings().PatientIDType, "MR");
  EXPECT_EQ(settings().PatientIDAuthority, "KH");
  Write("");
  LoadSettings();
  EXPECT_EQ(settings().StandardHL7, 0);
  EXPECT_EQ(settings().PatientIDAuthority, "");
  EXPECT_EQ(settings().AppointmentTimeFallback, 0);
}

TEST_F(SettingsLoad, FailedStepsKeepThePreviousValue) {
  Write("\"Debug\"=\"1\"\r\n\"ModalityName\"=\"5\"\r\n\"KeepFiles\"=\"1\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().Debug, 1);
  // Debug removed, ModalityName not numeric, KeepFiles out of range.
  Write("\"ModalityName\"=\"abc\"\r\n\"KeepFiles\"=\"40000\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().Debug, 1);
  EXPECT_EQ(settings().ModalityName, "5");
  EXPECT_EQ(settings().KeepFiles, 1);
  // Values with a default of "0" fall back to it when missing.
  Write("");
  LoadSettings();
  EXPECT_EQ(settings().ModalityName, "0");
  EXPECT_EQ(settings().KeepFiles, 0);
  EXPECT_EQ(settings().DBTimeout, 10);
  EXPECT_EQ(settings().Debug, 1);
}

TEST_F(SettingsLoad, InboundPathForms) {
  Write("\"InboundPath\"=\"/in/\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().InboundPath, "/in/");
  Write("\"InboundPath\"=\"tcpreceive\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().InboundPath, "tcpreceive/");
  // Empty stays empty: never the file-system root.
  Write("");
  LoadSettings();
  EXPECT_EQ(settings().InboundPath, "");
}

TEST_F(SettingsLoad, ExportPathListEndsAtTheFirstMissingKey) {
  const std::string tcp = "HKLM\\Software\\VLM\\Tessarine\\TCPReceive\\";
  Write("\"InboundPath\"=\"TCPRECEIVE\"\r\n",
        "[" + tcp + "01]\r\n\"ExportPath\"=\"/a\"\r\n[" + tcp +
            "02]\r\n\"ExportPath\"=\"/b/\"\r\n[" + tcp + "04]\r\n\"ExportPath\"=\"/d\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().InboundPath, "TCPRECEIVE");
  EXPECT_EQ(settings().ExportPathList, (std::vector<std::string>{"/a", "/b/"}));
  // Without the 01 value the previous list stays.
  Write("\"InboundPath\"=\"TCPRECEIVE\"\r\n",
        "[" + tcp + "02]\r\n\"ExportPath\"=\"/x\"\r\n");
  LoadSettings();
  EXPECT_EQ(settings().ExportPathList, (std::vector<std::string>{"/a", "/b/"}));
}

TEST_F(SettingsLoad, MissingFileGivesDefaults) {
  SetSettingsFile(dir_ / "none.reg");
  settings().UDP = 7;
  LoadSettings();
  EXPECT_EQ(settings().UDP, 7);
  EXPECT_EQ(settings().ModalityName, "0");
  EXPECT_EQ(settings().Caption, "");
  EXPECT_EQ(ReadRegistry(BaseKey() + "\\Caption", "dflt"), "dflt");
}

TEST_F(SettingsLoad, InstanceSelectsTheKey) {
  WriteFile(file_,
            "REGEDIT4\n[HKLM\\Software\\VLM\\Tessarine\\NORVReader\\02]\n\"Caption\"=\"two\"\n");
  SetInstance("02");
  LoadSettings();
  EXPECT_EQ(settings().Caption, "two");
  SetInstance("01");
}

}  // namespace
}  // namespace norv
