// "Dialog Barcode": the scanner types each drive's code into the SN edit and
// Enter adds it for the next port. Enter never presses Finish.
#pragma once

#include <QDialog>
#include <string>

#include "engine/station.h"
#include "settings/mp_settings.h"
#include "settings/settings_view.h"

class QLineEdit;
class QTableWidget;

namespace qelvar::ui {

class DialogRunner;

class DialogBarCode final : public QDialog {
  Q_OBJECT

 public:
  // `messages` tells the operator when Finish could not record the list.
  DialogBarCode(engine::Station& station, settings::MpSettings& settings, std::string settingsPath,
                DialogRunner& dialogs, settings::MessageSink& messages, QWidget* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void AddCode();
  void Clear();
  void Finish();
  void ResetRows();

  engine::Station& station_;
  settings::MpSettings& settings_;
  std::string settingsPath_;
  DialogRunner& dialogs_;
  settings::MessageSink& messages_;
  QLineEdit* edit_;
  QTableWidget* list_;
};

}  // namespace qelvar::ui
