// One finished port as the line ledger keeps it: which drive, where and when
// it was made, what it was sent, and how it ended.
#pragma once

#include <cstdint>
#include <string>

namespace qelvar::ledger {

inline constexpr int32_t kNoCapacity = -1;
inline constexpr int32_t kNoBinValue = 255;

struct Record {
  std::string id;     // UUID of this record; a push is idempotent by it
  std::string runId;  // UUID of the Start (or single-port start) it belongs to
  std::string station;
  int32_t port = 0;  // 0-based port number
  std::string hubInstance;
  int32_t hubPort = 0;
  int64_t startedAtMs = 0;  // UTC, milliseconds since 1970
  int64_t endedAtMs = 0;
  std::string model;
  std::string serial;
  std::string fwVersion;
  int32_t capacityMb = kNoCapacity;
  int32_t bin = kNoBinValue;
  std::string rdtResult;
  int32_t failCode = 0;  // 0: passed
  std::string status;    // the port's status text ("Pass" or the fail message)
  int32_t fctBad = 0;
  int32_t dftBad = 0;
  int32_t rdtBad = 0;
  int32_t runBad = 0;
  std::string flashPart;
  std::string flashId;  // hexadecimal, the six bytes of the first flash ID
  // sha256 of each image sent, lower-case hexadecimal; empty when not sent.
  std::string burnerSha256;
  std::string rdtParamSha256;
  std::string sysFwSha256;
  std::string spiSha256;
  std::string settingsSha256;
  std::string mpVersion;
  std::string programVersion;

  [[nodiscard]] bool Passed() const { return failCode == 0; }
  bool operator==(const Record&) const = default;
};

// "YYYY-MM-DD" of a UTC time in milliseconds.
[[nodiscard]] std::string DayOf(int64_t utcMs);
// "YYYY-MM-DDTHH:MM:SS.mmmZ".
[[nodiscard]] std::string IsoTimeOf(int64_t utcMs);
// Milliseconds of "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" or with a space in
// place of the T, read as UTC; false when the text is none of these.
[[nodiscard]] bool ParseUtcTime(const std::string& text, int64_t* utcMs);

// A new random (version 4) UUID.
[[nodiscard]] std::string NewUuid();

// The program's version, as the build names it.
[[nodiscard]] const char* ProgramVersion();

}  // namespace qelvar::ledger
