// run and run-port: the flow on the drives, to the end of every port, with
// the interrupts handled and the records stored.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli_commands.h"
#include "app/interrupt_handler.h"
#include "app/run_messages.h"
#include "format/format_drives.h"
#include "platform/sim/sim_station.h"
#ifdef QELVAR_WITH_LEDGER
#include "app/cli_ledger.h"
#endif

namespace qelvar::app {
namespace {

// Ports whose bridge cannot carry the flow are never started: say which and
// why, once, before anything else.
void SayUnsupportedBridges(const engine::Station& station) {
  for (int p = 0; p < discovery::kPortCount; ++p) {
    const discovery::BridgeInfo& b = station.ports.gDeviceInfo[static_cast<size_t>(p)].bridge;
    if (!b.probed || b.supported) continue;
    std::fprintf(stderr, "qelvar-cli: port %d: Unsupported bridge %04x:%04x, not started: %s\n",
                 p + 1, b.vid, b.pid, b.reason);
  }
}

bool AnyDrive(const engine::Station& station) {
  for (const auto& info : station.ports.gDeviceInfo) {
    if (info.HasDrive()) return true;
  }
  return false;
}

// Starts the run (or the one port); nothing when it started, else the exit
// status.
std::optional<int> StartRun(CliSession& s) {
  const CliOptions& o = s.options;
  engine::RunControl& control = *s.control;
  if (o.command == "run") {
    engine::StartOutcome outcome =
        control.OnStart(engine::StartControlsOf(*s.station().options.Current()));
    if (outcome != engine::StartOutcome::kStarted) {
      s.list->SetLive(false);
      if (outcome == engine::StartOutcome::kNoDrive) {
        std::fprintf(stderr,
                     "qelvar-cli: no drive answered after ROM entry; nothing was started\n");
      }
      PrintResult(s);
      if (outcome == engine::StartOutcome::kStopped) {
        SayLeftInRomMode(control.PortsLeftInRomMode());
        return kExitInterrupted;
      }
      return kExitUsage;
    }
  } else {  // run-port
    engine::SinglePortOutcome outcome = control.StartSinglePort(o.port);
    if (outcome != engine::SinglePortOutcome::kStarted) {
      s.list->SetLive(false);
      if (outcome == engine::SinglePortOutcome::kNoDrive) {
        std::fprintf(stderr, "qelvar-cli: port %d has no drive\n", o.port + 1);
      }
      return outcome == engine::SinglePortOutcome::kStopped ? kExitInterrupted : kExitUsage;
    }
  }
  return std::nullopt;
}

// Until the run ends: handle completions (a terminal's rows redraw
// themselves). A single-port start ends no run (the other ports' done flags
// are clear after a scan): it is over when its worker has reported.
void WaitForRunEnd(CliSession& s) {
  engine::RunControl& control = *s.control;
  bool ended = false;
  while (s.options.command == "run" ? !ended : control.AnyWorkerRunning()) {
    if (s.completions.Take(std::chrono::milliseconds(100))) ended = control.OnWorkerDone();
  }
}

// The run's records, while Ctrl-C and SIGTERM still keep them at once (and a
// second one quits at once); then what is still not stored is named. True
// when a record is not stored.
bool StoreRecords(CliSession& s) {
#ifdef QELVAR_WITH_LEDGER
  if (!s.ledgerLink) return false;
  engine::LedgerLink& link = *s.ledgerLink;
  std::fflush(stdout);
  if (!link.Flush(link.FlushBoundMs())) {
    SayKept(link.KeepAll());
    (void)link.Flush(link.FlushBoundMs());
  }
  return SayUnstoredRecords(link, "qelvar-cli");
#else
  (void)s;
  return false;
#endif
}

// A stop during the Start leaves drives it found unstarted (those it sent
// into ROM mode need a run): never a success.
bool LeftDrivesUnstarted(CliSession& s) {
  const engine::Station& station = s.station();
  const std::vector<int> started = s.control->StartedPorts();
  bool unstarted = false;
  for (int p = 0; p < discovery::kPortCount; ++p) {
    if (station.ports.gDeviceInfo[static_cast<size_t>(p)].HasDrive() &&
        std::find(started.begin(), started.end(), p) == started.end()) {
      unstarted = true;
    }
  }
  return unstarted;
}

}  // namespace

int RunCommand(CliSession& s) {
  const CliOptions& o = s.options;
  engine::Station& station = s.station();
  engine::RunControl& control = *s.control;
  SayUnsupportedBridges(station);
  if (!AnyDrive(station)) {
    std::fprintf(stderr, "qelvar-cli: no drive on any port: plug the drives in and try again\n");
    return kExitUsage;
  }

  RecordKeeper keepRecords;
#ifdef QELVAR_WITH_LEDGER
  if (s.ledgerLink) keepRecords = [link = s.ledgerLink.get()] { return link->KeepAll(); };
#endif
  InterruptHandler interrupts(control, station, keepRecords);
  const int32_t failedBefore = station.run.failCount.load();
  s.list->SetLive(!o.json);
  if (std::optional<int> status = StartRun(s)) return *status;

  WaitForRunEnd(s);
  // From here a Ctrl-C keeps the records still to be written at once.
  interrupts.Ending();
  s.list->SetLive(false);
  if (s.assembly->sim()) s.assembly->sim()->Flush();
  // The formats started at the end of the run run on as their own processes:
  // a line script must not go on before they have ended.
  if (format::WaitForFormats(s.assembly->volumes(), s.assembly->clock(), s.messages,
                             10 * 60 * 1000, s.assembly->FormatLog()) > 0) {
    std::fprintf(stderr, "qelvar-cli: some formats were still running after 10 minutes\n");
  }

  // The serial number for the next drive was saved at Start, as soon as the
  // ports had theirs.

  PrintResult(s);
  if (!o.json && o.command == "run") {
    // The moment the last port ended, on the run's own clock: on virtual
    // time each port keeps its own, and the main thread's is only its share.
    std::printf("Time: %s\n", engine::ElapsedText(control.LastPortEndedMs() / 1000).c_str());
  }
  const bool unstored = StoreRecords(s);
  if (interrupts.Interrupted() && LeftDrivesUnstarted(s)) {
    SayLeftInRomMode(control.PortsLeftInRomMode());
    return kExitInterrupted;
  }
  // The ports the run control started, whatever their rows showed when
  // Start returned: a port may fail before that.
  // A result that is not stored outweighs the ports' own: it needs a hand.
  if (unstored) return kExitUnstored;
  if (station.run.failCount.load() != failedBefore) return kExitFailed;
  for (int p : control.StartedPorts()) {
    if (station.ports.gPortStatus[static_cast<size_t>(p)].load() != discovery::kPassed) {
      return kExitFailed;
    }
  }
  return kExitPassed;
}

}  // namespace qelvar::app
