// Back-to-back 16-port runs on the simulated station and the virtual clock,
// each with one random fault: a command of the flow that fails on one random
// drive, at a random phase or chunk. Run under ThreadSanitizer in CI, this
// is where races between workers, the run control and the completion
// messages would show. The seed is printed; QELVAR_SOAK_SEED=<seed> replays
// a failure, QELVAR_SOAK_RUNS=<n> changes the number of runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "run_fixture.h"

namespace qelvar::engine {
namespace {

using discovery::kColProgress;
using discovery::kColStatus;
using testing::RunFixture;
using testing::StationText;

// A command of the flow, how many steps it has (phases of a two-phase
// command, chunks of a download; the reads of the RDT log and the bad-block
// tables are one step) and the Status its failure leaves. A fault
// on every attempt ("*") fails the step however often the flow retries it.
struct SoakFault {
  const char* command;
  uint32_t steps;
  const char* status;
};

constexpr SoakFault kFaults[] = {
    {"DownloadBurner", 96, "Download Burn FAIL"},
    {"DownloadMicrocode", 1, "Download Microcode FAIL"},
    {"GetNandInfo", 2, "Get Nand INFO FAIL"},
    {"SetDriveCapacity", 1, "TRIGGLE BURN FAIL"},
    {"TriggerBurn", 2, "TRIGGLE BURN FAIL"},
    {"GetRdtResult", 1, "GET RDTRESULT FAIL"},
    {"ReadFct", 1, "GET FACBBT FAIL"},
    {"ReadDft", 1, "GET RUNBBT FAIL"},
    {"EraseNand", 2, "NAND ERASE FAIL"},
    {"CalibrateNand", 2, "NAND CALIBRATION FAIL"},
    {"DownloadSystemFirmware", 48, "DOWNLOAD SYSFW FAIL"},
    {"DownloadSpiRom", 16, "DOWNLOAD SPIROM FAIL"},
    {"RebootDrive", 2, "REBOOT FAIL"},
};

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 10);
}

TEST(Soak, FiftyRunsWithOneRandomFaultEachFailOnlyTheFaultedPort) {
  const uint64_t seed = EnvNumber("QELVAR_SOAK_SEED", std::random_device{}());
  const uint64_t runs = EnvNumber("QELVAR_SOAK_RUNS", 50);
  std::printf("soak seed %llu (replay: QELVAR_SOAK_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 random(seed);
  auto pick = [&](uint64_t count) { return static_cast<uint32_t>(random() % count); };

  for (uint64_t run = 0; run < runs; ++run) {
    const SoakFault& fault = kFaults[pick(std::size(kFaults))];
    const int drive = static_cast<int>(pick(16));
    const uint32_t step = 1 + pick(fault.steps);
    const std::string line = std::string("Fail=") + fault.command + ":*:" + std::to_string(step);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) + ": Drive" +
                 std::to_string(drive) + " " + line);

    RunFixture f(StationText({{drive, line}}));
    // Neither the trace (a digest of every chunk) nor the report files (a
    // flush to the disk each) are what this test watches; without them a run
    // under ThreadSanitizer takes a fraction of the time.
    f.sim->CaptureTrace(false);
    f.Options([](settings::MpSettings& s) {
      s.RDTRecordEn = 0;
      s.PrintBBT = 0;
    });
    ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
    ASSERT_FALSE(f.control->AnyWorkerRunning()) << "the run ended with a worker still running";
    EXPECT_FALSE(f.control->Busy());
    for (int p = 0; p < 16; ++p) {
      const std::string expected = p == drive ? fault.status : "Pass";
      EXPECT_EQ(f.Cell(p, kColStatus), expected) << "port " << p;
    }
    EXPECT_EQ(f.Cell(drive, kColProgress), "FAIL %");
    EXPECT_EQ(f.station.run.passCount.load(), 15);
    EXPECT_EQ(f.station.run.failCount.load(), 1);
    if (::testing::Test::HasFailure()) break;  // the first failing run is the one to replay
  }
}

}  // namespace
}  // namespace qelvar::engine
