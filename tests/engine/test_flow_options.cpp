// The options that change the per-port flow, each on the simulated station:
// what a drive receives, and what a port shows, with the option on and off.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "run_fixture.h"

namespace qelvar::engine {
namespace {

using discovery::kColStatus;
using testing::RunFixture;
using testing::StationText;

// The commands one drive received: true for each it accepted.
std::vector<bool> AcceptedBy(const RunFixture& f, int drive) {
  std::vector<bool> out;
  for (const auto& line : f.sim->Trace()) {
    if (line.drive == "Drive" + std::to_string(drive)) out.push_back(line.accepted);
  }
  return out;
}

// The flow ends at the first command a drive did not complete: nothing
// reaches the drive after it.
void ExpectEndsAtTheFault(const RunFixture& f, int drive) {
  std::vector<bool> accepted = AcceptedBy(f, drive);
  ASSERT_FALSE(accepted.empty());
  EXPECT_FALSE(accepted.back()) << "the last command was not the faulted one";
  EXPECT_EQ(std::count(accepted.begin(), accepted.end(), false), 1)
      << "a command followed the failed one";
}

void ExpectOthersPass(const RunFixture& f, int except) {
  for (int p = 0; p < 16; ++p) {
    if (p != except) {
      EXPECT_EQ(f.Cell(p, kColStatus), "Pass") << "port " << p;
    }
  }
}

TEST(BurnTrigger, StopsAtTheFirstFailedCommandWithoutTriggeringTheBurn) {
  // The capacity fails: the burn trigger must not follow.
  RunFixture capacity(StationText({{3, "Fail=SetDriveCapacity"}}));
  ASSERT_EQ(capacity.Run(capacity.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(capacity.Cell(3, kColStatus), "TRIGGLE BURN FAIL");
  ExpectEndsAtTheFault(capacity, 3);
  ExpectOthersPass(capacity, 3);

  // With "Skip Run Bad" on, the skip command comes first; when it fails,
  // neither the capacity nor the trigger follows.
  RunFixture skip(StationText({{5, "Fail=SkipRunBadBlocks"}}));
  StartControls controls = skip.Controls();
  controls.skipRunBad = true;
  ASSERT_EQ(skip.Run(controls), StartOutcome::kStarted);
  EXPECT_EQ(skip.Cell(5, kColStatus), "TRIGGLE BURN FAIL");
  ExpectEndsAtTheFault(skip, 5);
  ExpectOthersPass(skip, 5);
}

TEST(SkipRunBad, TheSkipCommandIsSentOnlyWhenTheBoxIsChecked) {
  // Off: a drive that would fail the skip command never sees it.
  RunFixture off(StationText({{5, "Fail=SkipRunBadBlocks"}}));
  ASSERT_EQ(off.Run(off.Controls()), StartOutcome::kStarted);
  ExpectOthersPass(off, -1);
  // On, healthy drives: every drive accepts it and passes.
  RunFixture on;
  StartControls controls = on.Controls();
  controls.skipRunBad = true;
  ASSERT_EQ(on.Run(controls), StartOutcome::kStarted);
  ExpectOthersPass(on, -1);
  EXPECT_GT(AcceptedBy(on, 0).size(), AcceptedBy(off, 0).size());
}

TEST(SpiDisable, NoSpiRomIsSentWhenTheBoxIsChecked) {
  RunFixture f(StationText({{2, "Fail=DownloadSpiRom"}}));
  StartControls controls = f.Controls();
  controls.spiDisable = true;
  ASSERT_EQ(f.Run(controls), StartOutcome::kStarted);
  ExpectOthersPass(f, -1);
}

TEST(JumpToFT3, TheRdtResultIsNotRead) {
  RunFixture f(StationText({{4, "Fail=GetRdtResult"}}));
  f.Options([](settings::MpSettings& s) { s.JumpToFT3 = 1; });
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  ExpectOthersPass(f, -1);
}

TEST(FirmwareStep, AFirmwareFileMissingOrTooShortForItsHeaderIsRefusedBeforeAnyPortRuns) {
  for (int size : {-1, 0, 63}) {
    SCOPED_TRACE(size < 0 ? std::string("missing") : std::to_string(size) + " bytes");
    RunFixture f;
    std::string path = (f.folder / "sysfw.bin").string();
    if (size >= 0)
      std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(size), 'F');
    f.Options([&](settings::MpSettings& s) {
      std::memset(s.SysFwPath, 0, sizeof s.SysFwPath);
      std::memcpy(s.SysFwPath, path.data(), std::min(path.size(), sizeof s.SysFwPath - 1));
    });
    ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kRefused);
    ASSERT_EQ(f.page.messages.size(), 1u);
    EXPECT_NE(f.page.messages[0].text.find("Download FW: the image " + path), std::string::npos);
    for (int p = 0; p < 16; ++p) EXPECT_EQ(f.Cell(p, kColStatus), "Ready") << p;
  }
}

}  // namespace
}  // namespace qelvar::engine
