// The parts of platform/interrupts.h the C library serves on every system.
#include <csignal>

#include "platform/interrupts.h"

namespace qelvar::platform {
namespace {

volatile std::sig_atomic_t gRaised = 0;

void RaiseFlag(int) { gRaised = 1; }

}  // namespace

int ExitStatusOf(Interrupt interrupt) {
  return 128 + (interrupt == Interrupt::kTerminate ? SIGTERM : SIGINT);
}

void RaiseFlagOnInterrupt() {
  (void)std::signal(SIGINT, RaiseFlag);
  (void)std::signal(SIGTERM, RaiseFlag);
}

bool InterruptRaised() { return gRaised != 0; }

}  // namespace qelvar::platform
