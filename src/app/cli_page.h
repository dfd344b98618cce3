// The run's page without a window: its "controls" are the loaded record (the
// run control keeps the next serial number there itself), the start progress
// goes to the list's footer.
#pragma once

#include <string_view>

#include "app/cli_output.h"
#include "engine/run_control.h"
#include "settings/settings_store.h"

namespace qelvar::app {

class CliPage final : public engine::RunPage {
 public:
  CliPage(const settings::SettingsStore& options, settings::MessageSink& messages,
          LiveListSink& list)
      : options_(options), messages_(messages), list_(list) {}
  void SetStartProgress(std::string_view text) override { list_.SetFooter(text); }
  void EnableRunButtons(bool) override {}
  void SetTimeText(std::string_view) override {}
  void SetSnEditText(std::string_view) override {}
  bool FormatChecked() override { return options_.Current()->FormatEn != 0; }
  settings::MessageSink& Messages() override { return messages_; }

 private:
  const settings::SettingsStore& options_;
  settings::MessageSink& messages_;
  LiveListSink& list_;
};

}  // namespace qelvar::app
