// The station's real clock on Windows: the tick is GetTickCount64, cut to
// the wrapping 32-bit millisecond tick the station uses, and pauses are
// Sleep.
#pragma once

#include <memory>

#include "platform/clock.h"

namespace qelvar::platform::windows {

std::unique_ptr<Clock> MakeTickCountClock();

}  // namespace qelvar::platform::windows
