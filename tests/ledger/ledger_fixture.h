// Records and folders the ledger tests share.
#pragma once

#include <filesystem>
#include <string>

#include "ledger/record.h"
#include "support/temp_folder.h"

namespace qelvar::ledger::testing {

inline Record SampleRecord(const std::string& serial, int32_t failCode, int64_t endedAtMs,
                           const std::string& station = "line-1",
                           const std::string& part = "MICRON_B17A") {
  Record r;
  r.id = NewUuid();
  r.runId = "run-1";
  r.station = station;
  r.port = 3;
  r.hubInstance = "USB\\ROOT_HUB30\\4&1";
  r.hubPort = 4;
  r.startedAtMs = endedAtMs - 90'000;
  r.endedAtMs = endedAtMs;
  r.model = "QV-SSD 512G";
  r.serial = serial;
  r.fwVersion = "QV51A001";
  r.capacityMb = failCode == 0 ? 488386 : kNoCapacity;
  r.bin = failCode == 0 ? 1 : kNoBinValue;
  r.rdtResult = failCode == 0 ? "RDT Pass" : "";
  r.failCode = failCode;
  r.status = failCode == 0 ? "Pass" : "FAIL " + std::to_string(failCode);
  r.fctBad = 12;
  r.dftBad = 3;
  r.rdtBad = 1;
  r.runBad = 16;
  r.flashPart = part;
  r.flashId = "2CC40832A600";
  r.burnerSha256 = std::string(64, 'a');
  r.sysFwSha256 = std::string(64, 'b');
  r.settingsSha256 = std::string(64, 'c');
  r.mpVersion = "Qelvar MP v5.1";
  r.programVersion = ProgramVersion();
  return r;
}

// A fresh folder per test, removed afterwards.
using TempDir = ::qelvar::testing::TempFolder;

// 2026-12-01T00:00:00Z
inline constexpr int64_t kDecember1 = 1796083200000;
inline constexpr int64_t kDayMs = 86'400'000;

}  // namespace qelvar::ledger::testing
