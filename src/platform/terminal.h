// Whether a stream is shown on a terminal (and may redraw its lines).
#pragma once

#include <cstdio>

namespace qelvar::platform {

[[nodiscard]] bool IsTerminal(std::FILE* stream);

}  // namespace qelvar::platform
