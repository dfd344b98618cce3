#include "ledger/record.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>

namespace qelvar::ledger {
namespace {

std::tm UtcOf(int64_t utcMs) {
  const int64_t seconds = utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000;
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

}  // namespace

std::string DayOf(int64_t utcMs) {
  std::tm tm = UtcOf(utcMs);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

std::string IsoTimeOf(int64_t utcMs) {
  std::tm tm = UtcOf(utcMs);
  const int64_t ms = ((utcMs % 1000) + 1000) % 1000;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

bool ParseUtcTime(const std::string& text, int64_t* utcMs) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char sep = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) {
    return false;
  }
  if (text.size() > 10) {
    int more = 0;
    int n = std::sscanf(text.c_str() + 10, "%c%2d:%2d%n", &sep, &hour, &minute, &more);
    if (n != 3 || (sep != 'T' && sep != ' ')) return false;
    size_t at = 10 + static_cast<size_t>(more);
    if (at < text.size() && text[at] == ':') {
      int rest = 0;
      if (std::sscanf(text.c_str() + at, ":%2d%n", &second, &rest) != 1) return false;
      at += static_cast<size_t>(rest);
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size()) return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  *utcMs = static_cast<int64_t>(timegm(&tm)) * 1000;
  return true;
}

std::string NewUuid() {
  // One generator per process, seeded from the system's entropy: records made
  // on different stations at the same moment still get different IDs.
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  uint64_t high = 0, low = 0;
  {
    std::lock_guard lock(mutex);
    high = generator();
    low = generator();
  }
  high = (high & ~uint64_t{0xF000}) | 0x4000;                    // version 4
  low = (low & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);  // variant 1
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

const char* ProgramVersion() {
  return QELVAR_PROGRAM_VERSION;
}

}  // namespace qelvar::ledger
