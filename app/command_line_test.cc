#include "app/command_line.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

using Action = CommandLine::Action;

TEST(CommandLine, DefaultsComeFromTheExecutableDirectory) {
  CommandLine cl = ParseCommandLine({}, "", "", "/opt/norv/bin");
  EXPECT_EQ(cl.action, Action::kRun);
  EXPECT_EQ(cl.home, "/opt/norv/bin");
  EXPECT_EQ(cl.settings_file, "/opt/norv/bin/NORVReader.reg");
}

TEST(CommandLine, OptionsWinOverTheEnvironment) {
  CommandLine env = ParseCommandLine({}, "/env/home/", "/env/s.reg", "/x");
  EXPECT_EQ(env.home, "/env/home");
  EXPECT_EQ(env.settings_file, "/env/s.reg");
  CommandLine opt = ParseCommandLine({"--home", "/h", "--settings=/s.reg"}, "/env", "", "/x");
  EXPECT_EQ(opt.home, "/h");
  EXPECT_EQ(opt.settings_file, "/s.reg");
  CommandLine home_only = ParseCommandLine({"--home=/h"}, "", "", "/x");
  EXPECT_EQ(home_only.settings_file, "/h/NORVReader.reg");
}

TEST(CommandLine, VersionHelpAndErrors) {
  EXPECT_EQ(ParseCommandLine({"--version"}, "", "", "/x").action, Action::kVersion);
  EXPECT_EQ(ParseCommandLine({"--help"}, "", "", "/x").action, Action::kHelp);
  CommandLine bad = ParseCommandLine({"--frobnicate"}, "", "", "/x");
  EXPECT_EQ(bad.action, Action::kUsageError);
  EXPECT_NE(bad.error.find("--frobnicate"), std::string::npos);
  EXPECT_EQ(ParseCommandLine({"--home"}, "", "", "/x").action, Action::kUsageError);
}

TEST(CommandLine, InstanceSelectsTheSettingsKey) {
  EXPECT_EQ(ParseCommandLine({}, "", "", "/x").instance, "01");
  EXPECT_EQ(ParseCommandLine({"--instance", "02"}, "", "", "/x").instance, "02");
  EXPECT_EQ(ParseCommandLine({"--instance=7"}, "", "", "/x").instance, "07");
  for (const char* bad : {"", "123", "a1", "-1", "..\\x"}) {
    EXPECT_EQ(ParseCommandLine({std::string("--instance=") + bad}, "", "", "/x").action,
              Action::kUsageError)
        << bad;
  }
  EXPECT_EQ(ParseCommandLine({"--check"}, "", "", "/x").action, Action::kCheck);
}

TEST(CommandLine, StatusAndRequeue) {
  CommandLine status = ParseCommandLine({"--status", "--json", "--instance=2"}, "", "", "/x");
  EXPECT_EQ(status.action, Action::kStatus);
  EXPECT_TRUE(status.json);
  EXPECT_EQ(status.instance, "02");
  CommandLine requeue =
      ParseCommandLine({"--requeue", "--dry-run", "/in/failed/2026-49/1.HL7", "--", "-2.HL7"}, "", "", "/x");
  EXPECT_EQ(requeue.action, Action::kRequeue);
  EXPECT_TRUE(requeue.dry_run);
  EXPECT_EQ(requeue.paths, (std::vector<std::string>{"/in/failed/2026-49/1.HL7", "-2.HL7"}));
  CommandLine trace =
      ParseCommandLine({"--trace", "ACC1", "--since", "2026-12-01", "--json"}, "", "", "/x");
  EXPECT_EQ(trace.action, Action::kTrace);
  EXPECT_EQ(trace.paths, std::vector<std::string>{"ACC1"});
  EXPECT_EQ(trace.since, "2026-12-01");
  EXPECT_TRUE(trace.json);
  CommandLine failed = ParseCommandLine({"--trace", "--failed", "--week"}, "", "", "/x");
  EXPECT_TRUE(failed.failed);
  EXPECT_EQ(failed.since, "week");
  for (std::vector<std::string> bad : {std::vector<std::string>{"--requeue"},
                                       {"--json"}, {"--status", "--dry-run"}, {"stray"},
                                       {"--status", "/path"}, {"--trace"}, {"--trace", "a", "b"},
                                       {"--trace", "--failed", "a"}, {"--status", "--today"}}) {
    EXPECT_EQ(ParseCommandLine(bad, "", "", "/x").action, Action::kUsageError) << bad[0];
  }
}

}  // namespace
}  // namespace norv
