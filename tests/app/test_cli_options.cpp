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
  EXPECT_EQ(o->port, 7);
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
           {{"run-port"}, "0 to 15"},
           {{"run-port", "16"}, "0 to 15"},
           {{"run-port", "1.5"}, "0 to 15"},
           {{"--sim", "--time-scale", "0", "run"}, "positive"},
           {{"--sim", "--time-scale", "x", "run"}, "positive"},
           {{"--sim", "--time-scale", "1", "--virtual-time", "run"}, "exclude"},
           {{"--dir"}, "--dir"},
           {{"--bogus", "run"}, "--bogus"},
           {{"--for", "5", "run"}, "watch"},
           {{"scan", "--diagnostics"}, "--diagnostics"},
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
