// What qelvar-cli prints: the port table, the totals, JSON, and live progress.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "discovery/port_list.h"
#include "discovery/ports.h"
#include "transport/pass_through_transport.h"

namespace qelvar::app {

// The 16 rows with the list's columns (7 and 8 only while they exist).
std::string FormatPortTable(const discovery::PortListModel& list);

// {"ports":[{"port":1,"status":"…",…}…],"sum":…,"pass":…,"fail":…}; with
// `ports`, "hubPorts" after "ports" names the physical hub port of every port
// number handed out so far: [{"port":1,"hub":"…","index":1}…]. Ports count
// from 1, as the table's Port column does.
std::string FormatPortJson(const discovery::PortListModel& list, int sum, int pass, int fail,
                           const discovery::PortState* ports = nullptr);

// One exchange with a drive as one JSON line: the command image, what the
// platform returned (status, host and driver status, sense bytes, the bytes
// moved), the result code and the time it took.
// `bridge` names the port's bridge ("VID:PID"), empty when unknown; the
// record's route (or "probe" for the scan's probe) follows it.
std::string FormatExchangeJson(const transport::ExchangeRecord& record,
                               std::string_view bridge = {});

// "VID:PID" of the bridge the scan found in front of the disk at `path`;
// empty when no port holds that disk.
std::string BridgeOfPath(const discovery::PortState& ports, std::string_view path);

// `bridges`: one line per port whose bridge the scan probed (or, with `json`,
// {"bridges":[{"port":1,"vid":…}…]}).
std::string FormatBridgeList(const discovery::PortState& ports, bool json);

// `bridges --write-table`: the table's text with a ready entry added for each
// probed bridge it has no entry for (one per VID:PID). *added counts them.
std::string BridgeTableWithFindings(std::string_view table, const discovery::PortState& ports,
                                    int* added);

// The "bridge" object of a probed port: {"vid","pid","route","sense","maxTransfer",…},
// with "timeoutIn" and "timeoutOut" (seconds) when the table lengthens them.
std::string FormatBridgeJson(const discovery::BridgeInfo& bridge);

// The list as the command line shows it while a run goes on. On a terminal
// the 16 rows are redrawn in place every `period` by a thread of their own,
// so they move on while the Start sequence pauses too; otherwise every change
// of a port's Status or Progress prints one plain line as it happens.
class LiveListSink final : public discovery::PortListSink {
 public:
  LiveListSink(discovery::PortListModel& model, std::FILE* out, bool terminal,
               std::chrono::milliseconds period = std::chrono::seconds(1))
      : model_(model), out_(out), terminal_(terminal), period_(period) {}
  ~LiveListSink() override { SetLive(false); }
  LiveListSink(const LiveListSink&) = delete;
  LiveListSink& operator=(const LiveListSink&) = delete;

  void SetCell(int row, int column, std::string_view text) override;
  void InitPortRows() override { model_.InitPortRows(); }
  void SetRdtColumns(bool present) override { model_.SetRdtColumns(present); }

  // Plain lines or in-place rows only while live output is on. Turning it
  // off on a terminal draws the rows a last time.
  void SetLive(bool live);
  // Where a piped line takes a port's serial from: the serial the port was
  // given for its run (empty before it has one). Without it, the row's cell.
  // Set before going live; called on the thread writing the row.
  void SetSerialSource(std::function<std::string(int row)> source) {
    serialSource_ = std::move(source);
  }
  // A line under the rows (what the Start is doing): on a terminal the
  // rows' footer, piped a line of its own; empty clears it.
  void SetFooter(std::string_view text);
  // Redraws the 16 rows in place (terminal only).
  void Redraw();

 private:
  void RedrawLoop();

  discovery::PortListModel& model_;
  std::FILE* out_;
  bool terminal_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool live_ = false;
  bool drawn_ = false;
  bool stopping_ = false;
  std::thread redraws_;  // runs while live on a terminal
  std::array<std::string, discovery::kPortRows> lastLines_;
  std::string footer_;
  std::function<std::string(int row)> serialSource_;  // the last piped line of each row
};

}  // namespace qelvar::app
