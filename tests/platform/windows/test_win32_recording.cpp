#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "discovery/port_candidates.h"
#include "platform/clock.h"
#include "platform/windows/win32_recording.h"
#include "platform/windows/win_device_io.h"
#include "platform/windows/win_topology.h"
#include "transport/pass_through_transport.h"

namespace qelvar::platform::windows {
namespace {

const std::string kRecording = std::string(QELVAR_WIN_TEST_DATA) + "/station-scan.win32";

// What a scan asks of the backend: the candidates, the disk's bus, and
// IDENTIFY DEVICE through the SAT path, as the scan sends it.
struct Scan {
  std::vector<discovery::PortCandidate> candidates;
  StorageDescriptor descriptor;
  bool descriptorRead = false;
  int identifyResult = 0;
  std::array<uint8_t, 512> identify{};
};
Scan RunScan(Win32Api& api) {
  Scan scan;
  WinTopology topology(api);
  std::array<discovery::PortCandidate, kMaxCandidates> out{};
  size_t n = discovery::DiscoverPortCandidates(topology, out);
  scan.candidates.assign(out.begin(), out.begin() + static_cast<long>(n));
  WinDeviceIo io(api);
  if (auto h = io.Open(io.DiskPath(1), ShareMode::SharedReadWrite, nullptr)) {
    scan.descriptorRead = h->QueryStorageDescriptor(&scan.descriptor);
  }
  VirtualClock clock;
  transport::PassThroughTransport transport(io, clock);
  const uint8_t image[12] = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00};
  uint32_t transferred = 0;
  scan.identifyResult = transport.ScsiPassThroughIn(io.DiskPath(1), image, 12,
                                                    scan.identify.data(), 512, &transferred);
  return scan;
}

TEST(Win32Recording, AHandMadeRecordingReplaysAsAStationsScan) {
  std::string why;
  auto replay = ReplayWin32Api::FromFile(kRecording, &why);
  ASSERT_TRUE(replay) << why;
  Scan scan = RunScan(*replay);
  for (const std::string& key : replay->Unanswered()) ADD_FAILURE() << "unanswered: " << key;

  // The bridge at SuperSpeed on root port 3 counts on its USB 2 companion, port 1.
  ASSERT_EQ(scan.candidates.size(), 1u);
  EXPECT_EQ(scan.candidates[0].diskNumber, 1u);
  EXPECT_EQ(scan.candidates[0].portIndex, 0);
  EXPECT_EQ(std::string(scan.candidates[0].hubInstanceId), "usb\\root_hub30\\4&2f1e6a1b&0&0");
  ASSERT_TRUE(scan.descriptorRead);
  EXPECT_EQ(scan.descriptor.busType, BusType::Usb);
  EXPECT_EQ(scan.identifyResult, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(scan.identify.data()) + 54, 10),
            "EQVLRAS DS");  // the model, in the drive's byte order
}

TEST(Win32Recording, WhatTheRecorderWritesReplaysTheSame) {
  std::string why;
  auto original = ReplayWin32Api::FromFile(kRecording, &why);
  ASSERT_TRUE(original) << why;
  RecordingWin32Api recorder(*original);
  Scan first = RunScan(recorder);

  auto again = ReplayWin32Api::FromText(recorder.Text(), &why);
  ASSERT_TRUE(again) << why;
  Scan second = RunScan(*again);
  EXPECT_TRUE(again->Unanswered().empty());
  ASSERT_EQ(second.candidates.size(), first.candidates.size());
  EXPECT_EQ(second.candidates[0].portIndex, first.candidates[0].portIndex);
  EXPECT_EQ(second.identify, first.identify);
  EXPECT_EQ(second.identifyResult, 1);
  // The data buffer's address is not part of a request's key.
  EXPECT_NE(recorder.Text().find("code=4d014 in=3800000001000c2001000000000200000500"),
            std::string::npos);
}

TEST(Win32Recording, CallsOutsideTheRecordingFailAndAreNamed) {
  std::string why;
  auto replay = ReplayWin32Api::FromText(
      std::string(kRecordingHeader) + "\nCreateFileA name=\"\\\\.\\X\" access=0 share=0 "
                                      "disposition=3 -> ok=0 error=5\n",
      &why);
  ASSERT_TRUE(replay) << why;
  EXPECT_EQ(replay->CreateFileA("\\\\.\\X", 0, 0, 3), INVALID_HANDLE_VALUE);
  EXPECT_EQ(replay->GetLastError(), 5u);  // the recorded error
  EXPECT_EQ(replay->CreateFileA("\\\\.\\Y", 0, 0, 3), INVALID_HANDLE_VALUE);
  EXPECT_EQ(replay->GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  ASSERT_EQ(replay->Unanswered().size(), 1u);
  EXPECT_NE(replay->Unanswered()[0].find("\\\\.\\Y"), std::string::npos);
}

TEST(Win32Recording, MalformedRecordingsAreRefusedWithTheirLine) {
  const std::string h = std::string(kRecordingHeader) + "\n";
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "not a Win32 recording"},
      {"qelvar-win32-recording 2\n", "line 1: not a Win32 recording"},
      {h + "GetLogicalDrives value=4\n", "line 2: cannot be read"},                  // no answer
      {h + "# note\nGetLogicalDrives -> value=xyz\n", "line 3: cannot be read"},   // not hex
      {h + "X -> out=abc/4\n", "line 2: cannot be read"},                          // odd digits
      {h + "X -> out=00112233/2\n", "line 2: cannot be read"},                     // longer than said
      {h + "X -> id=\"a%2\"\n", "line 2: cannot be read"},                         // cut escape
      {h + "X -> id=\"open\n", "line 2: cannot be read"},                          // no closing quote
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ReplayWin32Api::FromText(c.text, &why)) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
}

}  // namespace
}  // namespace qelvar::platform::windows
