// qelvar: the operator's window.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef QELVAR_WITH_LEDGER
#include "app/cli_ledger.h"
#endif
#include "app/cli_options.h"
#include "app/station_access.h"
#include "app/station_assembly.h"
#include "platform/device_monitor.h"
#include "platform/sim/sim_station.h"
#include "ui/dialog_runner.h"
#include "ui/main_window.h"
#include "ui/mp_page.h"
#include "ui/unattended_dialogs.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitScreenshotFailed = 3;

}  // namespace

int main(int argc, char** argv) {
  using namespace qelvar;
  // Answered before the application needs a display.
  if (bool version = false; app::AsksForHelpOrVersion({argv + 1, argv + argc}, &version)) {
    if (version) {
      std::printf("qelvar %s\n", app::ProgramVersion());
    } else {
      std::fputs(app::kWindowUsage, stdout);
    }
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qelvar"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::vector<std::string> args;
  for (const QString& a : QApplication::arguments().mid(1)) args.push_back(a.toStdString());
#ifdef QELVAR_WITH_LEDGER
  app::HidePasswordsInArguments(argc, argv);
#endif
  std::string error;
  std::optional<app::WindowOptions> parsed = app::ParseWindowOptions(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "qelvar: %s\n%s", error.c_str(), app::kWindowUsage);
    return kExitUsage;
  }
  const app::CliOptions& o = parsed->station;
  // What keeps this user from the drives or the station folder: on standard
  // error and, for an operator who started the window from the menu, in a
  // message box (none with --screenshot, which must never wait).
  const app::StationAccess access =
      app::CheckStationAccess(settings::MakeStationPaths(o.dir).gExeDir, !o.sim, true);
  auto tell = [&](const std::vector<std::string>& texts, QMessageBox::Icon icon) {
    for (const std::string& text : texts) {
      std::fprintf(stderr, "qelvar: %s\n", text.c_str());
      if (parsed->screenshot.empty()) {
        QMessageBox(icon, QStringLiteral("qelvar"), QString::fromStdString(text)).exec();
      }
    }
  };
  tell(access.errors, QMessageBox::Critical);
  if (!access.errors.empty()) return kExitUsage;
  tell(access.warnings, QMessageBox::Warning);
  app::AssemblyOptions assemblyOptions{o.sim,       o.simFile,   o.virtualTime,  o.scaled,
                                       o.timeScale, o.traceFile, o.dumpDir,      o.debugLogFile,
                                       o.recordWin32File};
  std::unique_ptr<app::StationAssembly> assembly =
      app::StationAssembly::Create(assemblyOptions, &error);
  if (!assembly) {
    std::fprintf(stderr, "qelvar: %s\n", error.c_str());
    return kExitUsage;
  }

  const bool screenshotMode = !parsed->screenshot.empty();
  // Set once the window exists; a message box before that waits for it in
  // the event loop.
  std::function<void(QWidget * box)> takeScreenshot;
  std::unique_ptr<ui::DialogRunner> dialogs;
  if (screenshotMode) {
    // Nobody is there to press OK: a message box is pictured and the program ends.
    dialogs = std::make_unique<ui::UnattendedDialogs>([&](QWidget& box) {
      if (takeScreenshot) takeScreenshot(&box);
    });
  } else {
    dialogs = std::make_unique<ui::PlatformDialogs>();
  }
  int exitCode = 0;
  {
    // Outlives the window: its workers hand their records to it.
#ifdef QELVAR_WITH_LEDGER
    std::unique_ptr<engine::LedgerLink> ledgerLink;
#endif
    ui::CQelvarDlg window(assembly->station(), assembly->links(), settings::MakeStationPaths(o.dir),
                          *dialogs);
    QObject::connect(&window, &ui::CQelvarDlg::finished, &app, &QApplication::quit);
    assembly->AttachDebugLog(window.mpPage().control());  // before the first scan
    window.SetLedgerUrl(o.ledgerUrl);
    window.Init();
    ui::DialogScanDevice& page = window.mpPage();
    page.SetFormatter(assembly->Formatter(page.Messages()), assembly->volumes());
#ifdef QELVAR_WITH_LEDGER
    ledgerLink = app::AttachLedger(window.mpPage().control(), settings::MakeStationPaths(o.dir),
                                   o.ledgerUrl, "qelvar");
    // At the end of a run, once the ledger has taken its records (or has had
    // its time), a box names every result that is not stored.
    QObject::connect(&page, &ui::DialogScanDevice::runEnded, &window, [&] {
      auto* poll = new QTimer(&window);
      const auto until = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(app::kUnstoredWaitMs);
      QObject::connect(poll, &QTimer::timeout, &window, [&, poll, until] {
        if (!ledgerLink->Flush(0) && std::chrono::steady_clock::now() < until) return;
        poll->stop();
        poll->deleteLater();
        const std::string text = app::UnstoredRecordsText(ledgerLink->UnstoredRecords());
        if (!text.empty()) {
          page.Messages().Show(text, "Results not stored", settings::MessageIcon::kWarning);
        }
      });
      poll->start(250);
    });
#endif
    window.WatchDevices(assembly->CreateMonitor());
    window.show();

    bool taken = false;
    takeScreenshot = [&](QWidget* box) {
      if (taken) return;
      taken = true;
      const bool saved =
          ui::GrabWithBox(window, box).save(QString::fromStdString(parsed->screenshot), "PNG");
      if (!saved) {
        std::fprintf(stderr, "qelvar: cannot write the screenshot '%s'\n",
                     parsed->screenshot.c_str());
        exitCode = kExitScreenshotFailed;
      }
      window.close();
    };
    if (parsed->run) {
      if (screenshotMode) {
        // After the run, once the totals show it.
        QObject::connect(&page, &ui::DialogScanDevice::runEnded, &window, [&] {
          QObject::connect(
              &page, &ui::DialogScanDevice::totalsShown, &window, [&] { takeScreenshot(nullptr); },
              Qt::SingleShotConnection);
        });
      }
      QTimer::singleShot(0, &window, [&] {
        if (!taken) page.StartButton()->click();
      });
    } else if (screenshotMode) {
      QTimer::singleShot(500, &window, [&] { takeScreenshot(nullptr); });
    }
    const int loop = QApplication::exec();
    if (exitCode == 0) exitCode = loop;
  }
  if (assembly->sim()) assembly->sim()->Flush();
  return exitCode;
}
