#include <gtest/gtest.h>

#include "app/cli_options.h"

namespace qelvar::app {
namespace {

std::optional<CliOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseCliOptions(args, error ? error : &ignored);
}

TEST(CliOptions, SimTakesAnOptionalStationFile) {
  auto o = Parse({"--sim", "run"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->sim);
  EXPECT_EQ(o->simFile, "");
  EXPECT_EQ(o->command, "run");

  o = Parse({"--sim", "faults.ini", "--virtual-time", "scan"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->simFile, "faults.ini");
  EXPECT_TRUE(o->virtualTime);

  o = Parse({"--sim", "--json", "run-port", "7"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->simFile, "");
  EXPECT_TRUE(o->json);
  EXPECT_EQ(o->port, 6) << "the Port column's 7 is the seventh port";
  EXPECT_EQ(Parse({"run-port", "1"})->port, 0);
  EXPECT_EQ(Parse({"run-port", "16"})->port, 15);
  EXPECT_TRUE(Parse({"--sim", "bridges", "--write-table"})->writeTable);
}

TEST(CliOptions, HelpAndVersionAnswerWhateverElseIsThere) {
  auto o = Parse({"--sim", "--bogus", "--help"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->help);
  o = Parse({"--sim", "-h"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->help);
  o = Parse({"--version"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->version);
  EXPECT_STREQ(ProgramVersion(), QELVAR_VERSION_EXPECTED);

  bool version = true;
  EXPECT_TRUE(AsksForHelpOrVersion({"--sim", "--help"}, &version));
  EXPECT_FALSE(version);
  EXPECT_TRUE(AsksForHelpOrVersion({"-platform", "offscreen", "--version"}, &version));
  EXPECT_TRUE(version);
  EXPECT_FALSE(AsksForHelpOrVersion({"--sim", "--run"}, &version));
}

TEST(CliOptions, DebugLogAndBarcodes) {
  auto o = Parse({"--debug-log", "d.log", "run", "--barcodes", "-"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->debugLogFile, "d.log");
  EXPECT_EQ(o->barcodesFile, "-");
  std::string error;
  EXPECT_FALSE(Parse({"--barcodes", "codes.txt", "scan"}, &error));
  EXPECT_NE(error.find("run"), std::string::npos) << error;
  EXPECT_FALSE(Parse({"run", "--barcodes"}, &error));
  EXPECT_FALSE(Parse({"run", "--debug-log"}, &error));

  auto w = ParseWindowOptions({"--sim", "--debug-log", "w.log"}, &error);
  ASSERT_TRUE(w) << error;
  EXPECT_EQ(w->station.debugLogFile, "w.log");
  EXPECT_FALSE(ParseWindowOptions({"--barcodes", "codes.txt"}, &error));

  // The Win32 recording is of one scan of the real station.
  auto r = Parse({"--record-win32", "scan.win32", "scan"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->recordWin32File, "scan.win32");
  for (auto args : {std::vector<std::string>{"--record-win32", "f", "run"},
                    std::vector<std::string>{"--sim", "--record-win32", "f", "scan"},
                    std::vector<std::string>{"scan", "--record-win32"}}) {
    EXPECT_FALSE(Parse(args, &error)) << args[0];
  }
  EXPECT_FALSE(ParseWindowOptions({"--record-win32", "f"}, &error));
}

TEST(BarcodeList, FollowsTheBarcodeDialogsRules) {
  std::string error;
  auto codes = ParseBarcodeList("qv01a\r\n\nQv03\n", &error);
  ASSERT_TRUE(codes) << error;
  // Upper case as the dialog's edit makes it; an empty line is an empty code
  // (the way to skip a port); the last line break ends the last code.
  EXPECT_EQ(*codes, (std::vector<std::string>{"QV01A", "", "QV03"}));
  codes = ParseBarcodeList("A\nB", &error);
  ASSERT_TRUE(codes);
  EXPECT_EQ(codes->size(), 2u);

  std::string sixteen;
  for (int k = 0; k < 16; ++k) sixteen += "C" + std::to_string(k) + "\n";
  codes = ParseBarcodeList(sixteen, &error);
  ASSERT_TRUE(codes);
  EXPECT_EQ(codes->size(), 16u);
  EXPECT_EQ(codes->back(), "C15");
  EXPECT_FALSE(ParseBarcodeList(sixteen + "C16\n", &error));
  EXPECT_NE(error.find("Add Bar code Fail"), std::string::npos) << error;
  EXPECT_NE(error.find("16"), std::string::npos) << error;

  EXPECT_TRUE(ParseBarcodeList(std::string(20, 'x'), &error));
  EXPECT_FALSE(ParseBarcodeList("ok\n" + std::string(21, 'x') + "\n", &error))
      << "a code is never cut into another serial number";
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_FALSE(ParseBarcodeList("", &error));
  EXPECT_NE(error.find("no code"), std::string::npos) << error;
}

TEST(CliOptions, ShortenedPausesNeedTheSimulatedStation) {
  std::string error;
  EXPECT_FALSE(Parse({"--time-scale", "0.01", "run"}, &error));
  EXPECT_NE(error.find("--sim"), std::string::npos);
  EXPECT_FALSE(Parse({"--virtual-time", "run"}, &error));
  EXPECT_FALSE(Parse({"--trace", "t.jsonl", "run"}, &error));
  EXPECT_TRUE(Parse({"--sim", "--time-scale", "0.5", "run"}));
}

TEST(CliOptions, UsageErrorsSayWhatToFix) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "no command"},
           {{"run", "scan"}, "one command"},
           {{"run-port"}, "1 to 16"},
           {{"run-port", "0"}, "1 to 16"},
           {{"run-port", "17"}, "1 to 16"},
           {{"run-port", "1.5"}, "1 to 16"},
           {{"--sim", "--time-scale", "0", "run"}, "positive"},
           {{"--sim", "--time-scale", "x", "run"}, "positive"},
           {{"--sim", "--time-scale", "1", "--virtual-time", "run"}, "exclude"},
           {{"--dir"}, "--dir"},
           {{"--bogus", "run"}, "--bogus"},
           {{"--for", "5", "run"}, "watch"},
           {{"scan", "--diagnostics"}, "--diagnostics"},
           {{"scan", "--write-table"}, "bridges"},
       }) {
    std::string error;
    EXPECT_FALSE(Parse(c.args, &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(WindowOptions, TakeTheStationOptionsRunAndScreenshotButNoCommand) {
  std::string error;
  auto w =
      ParseWindowOptions({"--sim", "--run", "--virtual-time", "--screenshot", "w.png"}, &error);
  ASSERT_TRUE(w) << error;
  EXPECT_TRUE(w->station.sim);
  EXPECT_EQ(w->station.simFile, "");
  EXPECT_TRUE(w->station.virtualTime);
  EXPECT_TRUE(w->run);
  EXPECT_EQ(w->screenshot, "w.png");
  EXPECT_EQ(w->station.command, "");

  w = ParseWindowOptions({"--dir", "st", "--sim", "odd.ini"}, &error);
  ASSERT_TRUE(w) << error;
  EXPECT_EQ(w->station.dir, "st");
  EXPECT_EQ(w->station.simFile, "odd.ini");
  EXPECT_FALSE(w->run);

  EXPECT_FALSE(ParseWindowOptions({"--sim", "run"}, &error));
  EXPECT_FALSE(ParseWindowOptions({"--json"}, &error));
  EXPECT_FALSE(ParseWindowOptions({"--screenshot"}, &error));
  EXPECT_FALSE(ParseWindowOptions({"--virtual-time"}, &error));
  EXPECT_NE(error.find("--sim"), std::string::npos);
}

}  // namespace
}  // namespace qelvar::app
