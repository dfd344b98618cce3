// The run's page without a window: the controls live in memory, the start
// progress goes to the list's footer.
#pragma once

#include <string_view>

#include "app/cli_output.h"
#include "engine/run_control.h"
#include "settings/control_memory.h"

namespace qelvar::app {

class CliPage final : public engine::RunPage {
 public:
  CliPage(settings::ControlMemory& view, settings::MessageSink& messages, LiveListSink& list)
      : view_(view), messages_(messages), list_(list) {}
  void SetStartProgress(std::string_view text) override { list_.SetFooter(text); }
  void EnableRunButtons(bool) override {}
  void SetTimeText(std::string_view) override {}
  void SetSnEditText(std::string_view text) override {
    view_.SetEditText(settings::ctl::kSN, text);
  }
  bool FormatChecked() override { return view_.IsChecked(settings::ctl::kFormatEn); }
  settings::MessageSink& Messages() override { return messages_; }

 private:
  settings::ControlMemory& view_;
  settings::MessageSink& messages_;
  LiveListSink& list_;
};

}  // namespace qelvar::app
