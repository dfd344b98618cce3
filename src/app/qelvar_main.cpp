// qelvar: the operator's window.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli_ledger.h"
#include "app/cli_options.h"
#include "app/station_assembly.h"
#include "platform/device_monitor.h"
#include "platform/sim/sim_station.h"
#include "ui/dialog_runner.h"
#include "ui/main_window.h"
#include "ui/mp_page.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitScreenshotFailed = 3;

}  // namespace

int main(int argc, char** argv) {
  using namespace qelvar;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qelvar"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::vector<std::string> args;
  for (const QString& a : QApplication::arguments().mid(1)) args.push_back(a.toStdString());
  std::string error;
  std::optional<app::WindowOptions> parsed = app::ParseWindowOptions(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "qelvar: %s\n%s", error.c_str(), app::kWindowUsage);
    return kExitUsage;
  }
  const app::CliOptions& o = parsed->station;
  app::AssemblyOptions assemblyOptions{o.sim,       o.simFile,   o.virtualTime, o.scaled,
                                       o.timeScale, o.traceFile, o.dumpDir};
  std::unique_ptr<app::StationAssembly> assembly =
      app::StationAssembly::Create(assemblyOptions, &error);
  if (!assembly) {
    std::fprintf(stderr, "qelvar: %s\n", error.c_str());
    return kExitUsage;
  }

  ui::PlatformDialogs dialogs;
  int exitCode = 0;
  {
    // Outlives the window: its workers hand their records to it.
    std::unique_ptr<engine::LedgerLink> ledgerLink;
    ui::CQelvarDlg window(assembly->station(), assembly->links(), settings::MakeStationPaths(o.dir),
                          dialogs);
    QObject::connect(&window, &ui::CQelvarDlg::finished, &app, &QApplication::quit);
    window.Init();
    assembly->AttachFormatter(window.mpPage().control(), window.mpPage().Messages());
    ledgerLink = app::AttachLedger(window.mpPage().control(), settings::MakeStationPaths(o.dir),
                                   o.ledgerUrl, "qelvar");
    window.WatchDevices(assembly->CreateMonitor());
    window.show();

    const QString screenshot = QString::fromStdString(parsed->screenshot);
    auto takeScreenshot = [&] {
      const bool saved = window.grab().save(screenshot, "PNG");
      if (!saved) {
        std::fprintf(stderr, "qelvar: cannot write the screenshot '%s'\n",
                     parsed->screenshot.c_str());
        exitCode = kExitScreenshotFailed;
      }
      window.close();
    };
    ui::DialogScanDevice& page = window.mpPage();
    if (parsed->run) {
      if (!screenshot.isEmpty()) {
        // After the run, once the totals show it.
        QObject::connect(&page, &ui::DialogScanDevice::runEnded, &window, [&] {
          QObject::connect(&page, &ui::DialogScanDevice::totalsShown, &window, takeScreenshot,
                           Qt::SingleShotConnection);
        });
      }
      QTimer::singleShot(0, &window,
                         [&] { page.findChild<QPushButton*>(QStringLiteral("1009"))->click(); });
    } else if (!screenshot.isEmpty()) {
      QTimer::singleShot(500, &window, takeScreenshot);
    }
    const int loop = QApplication::exec();
    if (exitCode == 0) exitCode = loop;
  }
  if (assembly->sim()) assembly->sim()->Flush();
  return exitCode;
}
