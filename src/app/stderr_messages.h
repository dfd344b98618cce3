// Message boxes become lines on standard error.
#pragma once

#include <cstdio>
#include <string_view>

#include "settings/settings_view.h"

namespace qelvar::app {

class StderrMessages final : public settings::MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, settings::MessageIcon) override {
    if (caption.empty()) caption = "qelvar";  // the application's own title
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
};

}  // namespace qelvar::app
