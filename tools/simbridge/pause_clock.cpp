#include "tools/simbridge/pause_clock.h"

#include <thread>

namespace qelvar::simbridge {

namespace {
int64_t Micros(PauseClock::Source::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}
}  // namespace

PauseClock::PauseClock(uint32_t toleranceUs) : PauseClock(toleranceUs, Source::now()) {}

PauseClock::PauseClock(uint32_t toleranceUs, Source::time_point start)
    : toleranceUs_(toleranceUs), start_(start) {}

int64_t PauseClock::DesignUs(Source::time_point at) const {
  Source::time_point now = busy_ ? busySince_ : at;
  return Micros(now - start_) - cutUs_;
}

uint32_t PauseClock::TickMs() {
  return static_cast<uint32_t>(static_cast<uint64_t>(DesignUs(Source::now())) / 1000);
}

void PauseClock::SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t PauseClock::CalendarSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t PauseClock::Arrive(Source::time_point at) {
  if (busy_) return -1;  // a command block while one is in progress: not a new pause
  busy_ = true;
  busySince_ = at;
  cutUs_ -= toleranceUs_;
  return completedOnce_ ? Micros(at - lastDone_) : -1;
}

void PauseClock::Complete(Source::time_point at) {
  if (!busy_) return;
  busy_ = false;
  cutUs_ += Micros(at - busySince_);
  lastDone_ = at;
  completedOnce_ = true;
}

uint32_t DemandedPauseMs(const uint8_t* cdb, size_t length, int64_t gapMs) {
  if (length == 12 && cdb[0] == 0xA1 && cdb[1] == 0x0A && cdb[2] == 0x03 && cdb[8] == 0xE0 &&
      cdb[9] == 0x92) {
    uint32_t offset = static_cast<uint32_t>(cdb[6]) | static_cast<uint32_t>(cdb[7]) << 8;
    if (offset == 0) return 0;
    return cdb[3] == 0x03 ? 10 : 50;
  }
  if (length == 16 && cdb[0] == 0x85 && cdb[4] == 0xFD) return gapMs >= 4000 ? 4000 : 500;
  return 0;
}

}  // namespace qelvar::simbridge
