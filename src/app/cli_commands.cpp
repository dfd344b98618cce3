// The commands that look at the station and run nothing on a drive.
#include <chrono>
#include <cstdio>
#include <string>

#include "app/cli_commands.h"
#include "discovery/bridge_table.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "settings/profile.h"

namespace qelvar::app {

int BridgesCommand(CliSession& s) {
  const CliOptions& o = s.options;
  engine::Station& station = s.station();
  std::fputs(FormatBridgeList(station.ports, o.json).c_str(), stdout);
  if (o.writeTable) {
    const std::string path = s.paths.gExeDir + "/" + std::string(discovery::kBridgeTableFile);
    std::string table;
    (void)settings::ReadWholeFile(path, table);
    int added = 0;
    std::string text = BridgeTableWithFindings(table, station.ports, &added);
    if (added > 0 && !platform::ReplaceFile(path, text)) {
      std::fprintf(stderr, "qelvar-cli: cannot write the bridge table %s\n", path.c_str());
      return kExitUsage;
    }
    std::fprintf(stderr, "qelvar-cli: %d bridge(s) added to %s\n", added, path.c_str());
  }
  return kExitPassed;
}

int ScanCommand(CliSession& s) {
  PrintResult(s);
  if (std::string why; !s.assembly->SaveWin32Recording(&why)) {
    std::fprintf(stderr, "qelvar-cli: cannot write the Win32 recording %s: %s\n",
                 s.options.recordWin32File.c_str(), why.c_str());
    return kExitUsage;
  }
  return kExitPassed;
}

int WatchCommand(CliSession& s) {
  const CliOptions& o = s.options;
  std::string note;
  std::unique_ptr<platform::DeviceMonitor> monitor = s.assembly->CreateMonitor(&note);
  if (!note.empty()) std::fprintf(stderr, "qelvar-cli: %s\n", note.c_str());
  CompletionQueue changes;
  std::string why;
  if (!monitor->Start(
          [&](platform::DeviceChange, const std::string&) { changes.PostWorkerDone(); }, &why)) {
    std::fprintf(stderr, "qelvar-cli: cannot watch for device changes: %s\n", why.c_str());
    return kExitUsage;
  }
  platform::RaiseFlagOnInterrupt();
  PrintResult(s);
  std::fflush(stdout);
  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<int64_t>(o.forSeconds * 1000));
  while (!platform::InterruptRaised() &&
         (o.forSeconds <= 0 || std::chrono::steady_clock::now() < until)) {
    if (!changes.Take(std::chrono::milliseconds(100))) continue;
    while (changes.Take(std::chrono::milliseconds(0))) {
    }
    s.control->Scan();
    PrintResult(s);
    std::fflush(stdout);
  }
  monitor->Stop();
  return kExitPassed;
}

}  // namespace qelvar::app
