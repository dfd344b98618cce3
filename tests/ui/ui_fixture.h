// A window on the simulated station with the virtual clock, in a copy of the
// example station folder, and a dialog runner that answers instead of a
// person.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/station_assembly.h"
#include "settings/control_ids.h"
#include "support/temp_folder.h"
#include "ui/dialog_runner.h"
#include "ui/main_window.h"
#include "ui/mp_page.h"
#include "ui/param_page.h"

namespace qelvar::ui::testing {

namespace ctl = settings::ctl;

struct ShownMessage {
  QString text;
  QString caption;
  QMessageBox::Icon icon;
};

class ScriptedDialogs final : public DialogRunner {
 public:
  void Message(QWidget*, const QString& text, const QString& caption,
               QMessageBox::Icon icon) override {
    messages.push_back({text, caption, icon});
  }
  bool Ask(QWidget*, const QString&, const QString&) override {
    ++questions;
    return answer;
  }
  // Shows the dialog, runs the next script on it (which ends it or not) and
  // returns its result; a dialog the script leaves open counts as cancelled.
  int Exec(QDialog& dialog) override {
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    if (!scripts.empty()) {
      auto script = std::move(scripts.front());
      scripts.pop_front();
      script(dialog);
    }
    const int result = dialog.isVisible() ? int{QDialog::Rejected} : dialog.result();
    dialog.hide();
    return result;
  }
  QString OpenFile(QWidget*, const QString&, const QString&, bool) override { return file; }

  std::vector<ShownMessage> messages;
  std::deque<std::function<void(QDialog&)>> scripts;
  int questions = 0;
  bool answer = true;
  QString file;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class StationWindow {
 public:
  enum class Settings { kExample, kNone };
  explicit StationWindow(const std::string& settingsText = {},
                         Settings settings = Settings::kExample) {
    std::filesystem::copy(std::string(QELVAR_SOURCE_DIR) + "/examples/station", folder,
                          std::filesystem::copy_options::recursive);
    if (settings == Settings::kNone) std::filesystem::remove(folder / "speedQelvar.ini");
    if (!settingsText.empty()) {
      std::ofstream(folder / "speedQelvar.ini", std::ios::binary | std::ios::trunc) << settingsText;
    }
    app::AssemblyOptions options;
    options.sim = true;
    options.virtualTime = true;
    std::string error;
    assembly = app::StationAssembly::Create(options, &error);
    window = std::make_unique<CQelvarDlg>(assembly->station(), assembly->links(),
                                          settings::MakeStationPaths(folder.string()), dialogs);
    window->Init();
  }
  ~StationWindow() {
    // Workers need the event loop for their last cells, a format job for its
    // messages.
    for (int i = 0; i < 3000 && (page().RunInProgress() || page().FormatsOutstanding()); ++i) {
      QTest::qWait(10);
    }
    window.reset();
  }

  DialogScanDevice& page() { return window->mpPage(); }
  template <typename T = QWidget>
  T* Mp(int id) {
    return page().findChild<T*>(QString::number(id), Qt::FindDirectChildrenOnly);
  }
  template <typename T = QWidget>
  T* Param(int id) {
    return window->paramPage().findChild<T*>(QString::number(id), Qt::FindDirectChildrenOnly);
  }
  std::string SettingsFile() const { return ReadText(folder / "speedQelvar.ini"); }
  // The end-of-run format of the program, run as the window runs it.
  void AttachFormat() {
    page().SetFormatter(assembly->Formatter(page().Messages()), assembly->volumes());
  }
  engine::Station& station() { return assembly->station(); }

  qelvar::testing::TempFolder temp{"ui"};
  std::filesystem::path folder = temp.path();
  ScriptedDialogs dialogs;
  std::unique_ptr<app::StationAssembly> assembly;
  std::unique_ptr<CQelvarDlg> window;
};

// A dialog's control by its ID.
template <typename T = QWidget>
T* Control(QWidget& dialog, int id) {
  return dialog.findChild<T*>(QString::number(id));
}

// Clicks a check box or button as the operator does.
inline void Click(QWidget* control) {
  QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, control->height() / 2));
}

}  // namespace qelvar::ui::testing
