// How long the operator's window goes without handling events during a run.
// A 10 ms timer on the window's thread records the longest gap between its
// ticks, from pressing Start on the simulated station (scaled clock, so the
// ROM entry pauses, the 8 s wait and the drives' own pauses take real time)
// to the end of the run, with "Format" checked so the end-of-run format is
// part of it. The goal: no gap above 50 ms.
//
//   bench_window_responsiveness [--time-scale X] [--runs N]
//
// A plain timed program rather than a Google Benchmark: one measurement is a
// whole run of the window's event loop.
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "app/station_assembly.h"
#include "ui/dialog_runner.h"
#include "ui/main_window.h"
#include "ui/mp_page.h"

namespace {

using namespace qelvar;

constexpr int kProbeMs = 10;
constexpr qint64 kGoalMs = 50;

// Nobody answers: message boxes are counted, not shown.
class SilentDialogs final : public ui::DialogRunner {
 public:
  void Message(QWidget*, const QString& text, const QString&, QMessageBox::Icon) override {
    std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    ++messages;
  }
  bool Ask(QWidget*, const QString&, const QString&) override { return true; }
  int Exec(QDialog&) override { return 0; }
  QString OpenFile(QWidget*, const QString&, const QString&, bool) override { return {}; }
  int messages = 0;
};

// CPU time this thread has used, in milliseconds.
double ThreadCpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Times this thread was taken off the processor by the scheduler.
long Preemptions() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
}

// The gaps between ticks, and how much of each the window's thread spent
// working: on a loaded machine a long gap with little work in it is the
// scheduler's, not the window's.
struct Probe {
  QElapsedTimer clock;
  qint64 last = 0;
  double lastCpu = ThreadCpuMs();
  long lastPreempted = Preemptions();
  qint64 longest = 0;
  double longestCpu = 0;  // work inside the longest gap
  double busiest = 0;     // most work inside any one gap
  long ticks = 0;
  void Tick() {
    const qint64 now = clock.elapsed();
    const double cpu = ThreadCpuMs();
    const qint64 gap = now - last;
    const double work = cpu - lastCpu;
    const long preempted = Preemptions();
    if (gap > kGoalMs) {
      std::printf(
          "  gap of %lld ms (%.1f ms of it working, preempted %ld times) ending at %.3f s\n",
          static_cast<long long>(gap), work, preempted - lastPreempted,
          static_cast<double>(now) / 1000.0);
    }
    lastPreempted = preempted;
    if (gap > longest) {
      longest = gap;
      longestCpu = work;
    }
    busiest = std::max(busiest, work);
    last = now;
    lastCpu = cpu;
    ++ticks;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  double scale = 0.01;
  int runs = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--time-scale") scale = std::atof(argv[i + 1]);
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  if (scale <= 0) {
    std::fprintf(stderr, "usage: %s [--time-scale X] [--runs N]\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);

  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("qelvar-bench-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", folder,
           fs::copy_options::recursive);

  app::AssemblyOptions options;
  options.sim = true;
  options.scaled = true;
  options.timeScale = scale;
  std::string error;
  std::unique_ptr<app::StationAssembly> assembly = app::StationAssembly::Create(options, &error);
  if (!assembly) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  SilentDialogs dialogs;
  qint64 worst = 0;
  {
    ui::CQelvarDlg window(assembly->station(), assembly->links(),
                          settings::MakeStationPaths(folder.string()), dialogs);
    window.Init();
    ui::DialogScanDevice& page = window.mpPage();
    page.SetFormatter(assembly->Formatter(page.Messages()), assembly->volumes());
    window.show();
    auto* format = page.findChild<QCheckBox*>(QStringLiteral("1031"));
    if (!format->isChecked()) format->click();
    auto* start = page.findChild<QAbstractButton*>(QStringLiteral("1009"));

    std::printf("time scale %.3f, probe every %d ms, goal: no gap above %lld ms\n", scale, kProbeMs,
                static_cast<long long>(kGoalMs));
    for (int run = 1; run <= runs; ++run) {
      Probe probe;
      QTimer timer;
      timer.setTimerType(Qt::PreciseTimer);
      QObject::connect(&timer, &QTimer::timeout, [&] { probe.Tick(); });
      QEventLoop loop;
      QObject::connect(&page, &ui::DialogScanDevice::runEnded, &loop, &QEventLoop::quit);
      // A run that never ends is a failure of its own, not a long gap.
      QTimer::singleShot(600000, &loop, &QEventLoop::quit);
      probe.clock.start();
      timer.start(kProbeMs);
      QTimer::singleShot(0, start, &QAbstractButton::click);
      loop.exec();
      timer.stop();
      const qint64 total = probe.clock.elapsed();
      std::printf(
          "run %d: %.2f s, %ld ticks, longest gap %lld ms (%.1f ms of it working), most work "
          "between two ticks %.1f ms\n",
          run, static_cast<double>(total) / 1000.0, probe.ticks,
          static_cast<long long>(probe.longest), probe.longestCpu, probe.busiest);
      std::fflush(stdout);
      worst = std::max(worst, probe.longest);
      // The format processes are collected before the next run.
      while (page.FormatsOutstanding()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    window.close();
  }
  fs::remove_all(folder);
  std::printf("longest gap %lld ms: %s\n", static_cast<long long>(worst),
              worst <= kGoalMs ? "within the goal" : "ABOVE THE GOAL");
  return worst <= kGoalMs ? 0 : 1;
}
