// The "Parameter" tab: the ten RDT parameters and seven debug flags (their
// rows of the option table). Every change is written to the settings file at
// once and, as a change of the SettingsStore, reaches the workers' later
// steps.
#pragma once

#include <QWidget>
#include <vector>

#include "settings/settings_store.h"
#include "settings/settings_view.h"
#include "settings/station_paths.h"

class QLineEdit;

namespace qelvar::ui {

class DialogParamSet final : public QWidget {
  Q_OBJECT

 public:
  // `messages` tells the operator when a change could not be written to the
  // settings file.
  DialogParamSet(settings::SettingsStore& store, settings::StationPaths paths,
                 settings::MessageSink& messages, QWidget* parent = nullptr);

  // Shows the loaded values; writing every RDT parameter key as it goes.
  void Init();

 private:
  void EnableEdits(bool enabled);
  // After a write: tells the operator of the first failure of a run of them
  // (an edit writes on every key, which must not bring a box per key).
  void Written(bool ok, const std::string& why);

  settings::SettingsStore& store_;
  settings::StationPaths paths_;
  settings::MessageSink& messages_;
  std::vector<QLineEdit*> edits_;
  bool failing_ = false;
};

}  // namespace qelvar::ui
