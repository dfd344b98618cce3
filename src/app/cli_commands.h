// qelvar-cli's commands, each on a station opened by OpenCliSession; each
// returns the program's exit status.
#pragma once

#include "app/cli_session.h"

namespace qelvar::app {

// bridges [--write-table]: the bridges the scan found, and with
// --write-table the new ones added to the station's bridge table.
[[nodiscard]] int BridgesCommand(CliSession& s);

// scan: the ports' table once.
[[nodiscard]] int ScanCommand(CliSession& s);

// watch [--for S]: the table again after every device change, until an
// interrupt or the time is up.
[[nodiscard]] int WatchCommand(CliSession& s);

// run and run-port: the flow on every drive, or on one port.
[[nodiscard]] int RunCommand(CliSession& s);

}  // namespace qelvar::app
