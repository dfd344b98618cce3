// The reasons a port's run can fail, as shown in the Status column.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qelvar::engine {

// Index into the table of fail messages; 0 means no failure.
using FailCode = uint8_t;

enum : FailCode {
  kFailNone = 0,
  kFailGoRom = 1,
  kFailDownloadBurn = 2,
  kFailDownloadMicrocode = 3,
  kFailGetNandInfo = 4,
  kFailGetInject = 5,
  kFailNandErase = 6,
  kFailTriggerBurn = 7,
  kFailGetRdtResult = 8,
  kFailGetBadBlockNum = 9,
  kFailGetFactoryBbt = 10,
  kFailGetRunBbt = 11,
  kFailNandCalibration = 12,
  kFailDownloadCmd92 = 13,
  kFailDownloadSysFw = 14,
  kFailDownloadSpiRom = 15,
  kFailReboot = 16,
  kFailRebootTimeout = 17,
  kFailRdtInfo = 18,
  kFailTooMuchBadBlock = 19,
  kFailCeChNotMatching = 20,
  kFailSpiUnknown = 21,
  kFailMrBlock = 22,
  kFailRamTest = 23,
  kFailReadOtp = 24,
  kFailDownloadMultiple = 25,
  kFailImageValid = 26,
  kFailUnknown = 27,
};

inline constexpr size_t kFailCodeCount = 28;

// The message of a fail code; a code past the table reads as the table's
// last message, "Unknow Fail".
[[nodiscard]] std::string_view FailMessage(FailCode code);

// The fail code of a drive status word (the first word of the inject status
// answer); 0 for every word the table does not name.
[[nodiscard]] FailCode FailCodeOfStatusWord(uint32_t statusWord);

}  // namespace qelvar::engine
