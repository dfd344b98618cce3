#include "engine/fail_codes.h"

namespace qelvar::engine {
namespace {

// Operators and the line's scripts read these texts; spelling (including the
// two blanks of code 25) is part of the interface.
constexpr std::array<std::string_view, kFailCodeCount> kFailMessages = {
    "NA",
    "Go ROM FAIL",
    "Download Burn FAIL",
    "Download Microcode FAIL",
    "Get Nand INFO FAIL",
    "GET INJECT FAIL",
    "NAND ERASE FAIL",
    "TRIGGLE BURN FAIL",
    "GET RDTRESULT FAIL",
    "GET BADBLOCKNUM FAIL",
    "GET FACBBT FAIL",
    "GET RUNBBT FAIL",
    "NAND CALIBRATION FAIL",
    "DOWNLOAD CMD92 FAIL",
    "DOWNLOAD SYSFW FAIL",
    "DOWNLOAD SPIROM FAIL",
    "REBOOT FAIL",
    "REBOOT TIMEOUT FAIL",
    "RDT INFO FAIL",
    "TOO MUCH BAD BLOCK",
    "CE or CH Not Matching",
    "SPI UNKNOWN",
    "MR BLOCK FAIL",
    "RAM TEST FAIL",
    "READ OTP FAIL",
    "DOWNLOAD MULTIPLE  FAIL",
    "IMAGE VALID",
    "Unknow Fail",
};

// Each message is kept to a zero-padded 32-byte field.
constexpr bool AllFitTheirField() {
  for (auto m : kFailMessages) {
    if (m.size() >= 32) return false;
  }
  return true;
}
static_assert(AllFitTheirField());

}  // namespace

std::string_view FailMessage(FailCode code) {
  if (code >= kFailCodeCount) return kFailMessages[kFailUnknown];
  return kFailMessages[code];
}

FailCode FailCodeOfStatusWord(uint32_t statusWord) {
  switch (statusWord) {
    case 1:
      return kFailTooMuchBadBlock;
    case 2:
      return kFailRamTest;
    case 3:
      return kFailReadOtp;
    case 4:
      return kFailDownloadMultiple;
    case 5:
      return kFailImageValid;
    case 6:
      return kFailSpiUnknown;
    case 7:
      return kFailCeChNotMatching;
    case 8:
      return kFailMrBlock;
    default:
      return kFailNone;
  }
}

}  // namespace qelvar::engine
