#include "core/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "testing/test_util.h"

namespace norv {
namespace {

const char kKey[] = "HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01\\";

std::string Utf16Le(const std::string& ascii_or_latin1) {
  std::string out("\xFF\xFE", 2);
  for (char c : ascii_or_latin1) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST(Registry, ReadsEveryValueTypeFromAUtf16Export) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\VLM\\Tessarine\\NORVReader\\01]\r\n"
      "\"Caption\"=\"NORV \\\"01\\\" C:\\\\x \xE4\"\r\n"
      "\"Debug\"=dword:00000001\r\n"
      "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
      "\"Expand\"=hex(2):25,00,54,00,45,00,\\\r\n"
      "  4d,00,50,00,25,00,00,00\r\n"
      "\"Bin\"=hex:01,02,03\r\n"
      "\"Multi\"=hex(7):41,00,00,00,00,00\r\n"
      "@=\"default text\"\r\n";
  Registry reg = Registry::Parse(Utf16Le(text));
  std::string k = kKey;
  EXPECT_EQ(reg.Read(k + "Caption"), "NORV \"01\" C:\\x \xE4");
  EXPECT_EQ(reg.Read(k + "debug"), "1");  // value names are case-insensitive
  EXPECT_EQ(reg.Read(k + "Big"), "4294967296");
  EXPECT_EQ(reg.Read(k + "Expand"), "%TEMP%");
  EXPECT_EQ(reg.Read(k + "Bin"), std::nullopt);
  EXPECT_EQ(reg.Read(k + "Multi"), std::nullopt);
  EXPECT_EQ(reg.Read(k), "default text");
  EXPECT_EQ(reg.Read(k + "Missing"), std::nullopt);
}

TEST(Registry, KeyNamesAreCaseInsensitiveAndKeepTheBlankBeforeDefault) {
  Registry reg = Registry::Parse(
      "REGEDIT4\n[hkey_local_machine\\SOFTWARE\\VLM\\Tessarine\\ Default]\n"
      "\"DBServer\"=\"sqlite:demo.db\"\n"
      "[HKLM\\Software\\VLM\\Tessarine\\Default]\n\"DBServer\"=\"wrong\"\n");
  EXPECT_EQ(reg.Read("HKLM\\Software\\VLM\\Tessarine\\ Default\\DBServer"), "sqlite:demo.db");
  EXPECT_EQ(reg.Read("HKLM\\Software\\VLM\\Tessarine\\Default\\DBServer"), "wrong");
}

TEST(Registry, DeletionsApplyInFileOrder) {
  Registry reg = Registry::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKLM\\A]\n\"X\"=\"1\"\n\"Y\"=\"2\"\n"
      "[HKLM\\A\\Sub]\n\"Z\"=\"3\"\n"
      "[HKLM\\A]\n\"X\"=-\n"
      "[-HKLM\\A\\Sub]\n");
  EXPECT_EQ(reg.Read("HKLM\\A\\X"), std::nullopt);
  EXPECT_EQ(reg.Read("HKLM\\A\\Y"), "2");
  EXPECT_EQ(reg.Read("HKLM\\A\\Sub\\Z"), std::nullopt);
}

TEST(Registry, Utf8AndAnsiFilesGiveTheSameText) {
  Registry utf8 = Registry::Parse("\xEF\xBB\xBF[HKLM\\A]\n\"N\"=\"M\xC3\xBCller\"\n");
  Registry utf8_nobom = Registry::Parse("[HKLM\\A]\n\"N\"=\"M\xC3\xBCller\"\n");
  Registry ansi = Registry::Parse("[HKLM\\A]\n\"N\"=\"M\xFCller\"\n");
  EXPECT_EQ(utf8.Read("HKLM\\A\\N"), "M\xFCller");
  EXPECT_EQ(utf8_nobom.Read("HKLM\\A\\N"), "M\xFCller");
  EXPECT_EQ(ansi.Read("HKLM\\A\\N"), "M\xFCller");
}

TEST(Registry, MalformedInputIsSkippedNeverFatal) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>((i * 131) % 256));
  Registry r1 = Registry::Parse(junk);
  EXPECT_EQ(r1.Read("HKLM\\A\\N"), std::nullopt);

  Registry r2 = Registry::Parse(
      "[HKLM\\A]\n\"Unterminated=\"x\"\n\"Good\"=\"yes\"\n\"Bad\"=dword:xyz\n"
      "\"Hex\"=hex(b):01,02\n\"Cut\"=\"no end\n[broken\n\"After\"=\"no key\"\n"
      "[HKLM\\B]\n\"Trunc\"=hex(2):41,00,\\");
  EXPECT_EQ(r2.Read("HKLM\\A\\Good"), "yes");
  EXPECT_EQ(r2.Read("HKLM\\A\\Bad"), std::nullopt);
  EXPECT_EQ(r2.Read("HKLM\\A\\Hex"), std::nullopt);
  EXPECT_EQ(r2.Read("HKLM\\A\\After"), std::nullopt);
  EXPECT_EQ(r2.Read("HKLM\\B\\Trunc"), "A");

  Registry missing = Registry::Load("/nonexistent/dir/file.reg");
  EXPECT_EQ(missing.Read("HKLM\\A\\Good"), std::nullopt);
}

// Only a regular file within the size limit is read: a pipe would block the
// service's start-up and every reload, an oversized file is no settings file.
// Each refusal says why; a file that is read says nothing.
TEST(Registry, LoadsOnlyRegularFilesWithinTheLimit) {
  testing::TempDir dir;
  const std::string value = "[HKLM\\A]\n\"V\"=\"1\"\n";
  testing::WriteFile(dir / "good.reg", value);
  testing::WriteFile(dir / "big.reg", value);
  std::filesystem::resize_file(dir / "big.reg", kMaxSettingsFileSize + 1);
  ASSERT_EQ(mkfifo((dir / "pipe.reg").c_str(), 0600), 0);
  struct Case {
    std::string file, problem;
  } cases[] = {
      {dir / "good.reg", ""},
      {dir / "pipe.reg", "not a regular file"},
      {dir.path(), "not a regular file"},
      {dir / "big.reg", "larger than 16 MiB"},
      {dir / "none.reg", "No such file or directory"},
  };
  for (const Case& c : cases) {
    std::string problem = "stale";
    Registry r = Registry::Load(c.file, &problem);
    EXPECT_EQ(problem, c.problem) << c.file;
    EXPECT_EQ(r.Read("HKLM\\A\\V"), c.problem.empty() ? std::optional<std::string>("1")
                                                        : std::nullopt)
        << c.file;
  }
}

}  // namespace
}  // namespace norv
