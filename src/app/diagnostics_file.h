// Every exchange with a drive, kept in memory and written in one piece when
// the program ends, so an interrupted run never leaves half a file. Each line
// names the bridge the scan found in front of the disk, known only once its
// probe is over, so the lines are formatted at the end.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "discovery/ports.h"
#include "transport/pass_through_transport.h"

namespace qelvar::app {

class DiagnosticsFile {
 public:
  DiagnosticsFile(std::string path, const discovery::PortState& ports)
      : path_(std::move(path)), ports_(ports) {}
  // Writes the file.
  ~DiagnosticsFile();
  DiagnosticsFile(const DiagnosticsFile&) = delete;
  DiagnosticsFile& operator=(const DiagnosticsFile&) = delete;

  // Called from every thread that talks to a drive.
  void Add(const transport::ExchangeRecord& record);

 private:
  std::string path_;
  const discovery::PortState& ports_;
  std::mutex mutex_;
  std::vector<transport::ExchangeRecord> records_;
};

}  // namespace qelvar::app
