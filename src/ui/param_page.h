// The "Parameter" tab: the ten RDT parameters and seven debug flags. Every
// change is written to the settings file at once and reaches the workers'
// later steps through the published options.
#pragma once

#include <QWidget>
#include <functional>

#include "settings/mp_settings.h"
#include "settings/station_paths.h"

class QLineEdit;

namespace qelvar::ui {

class DialogParamSet final : public QWidget {
  Q_OBJECT

 public:
  // `publish` hands the changed record to the workers.
  DialogParamSet(settings::MpSettings& settings, settings::StationPaths paths,
                 std::function<void()> publish, QWidget* parent = nullptr);

  // Shows the loaded values; writing every RDT parameter key as it goes.
  void Init();

 private:
  void EnableEdits(bool enabled);

  settings::MpSettings& settings_;
  settings::StationPaths paths_;
  std::function<void()> publish_;
  std::vector<QLineEdit*> edits_;
};

}  // namespace qelvar::ui
