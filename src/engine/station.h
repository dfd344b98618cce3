// One station: the station-wide state (the g-prefixed names), kept in one
// object passed by reference (so tests build a fresh station per case), and
// the channels it reaches its drives through.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/port_list.h"
#include "discovery/ports.h"
#include "engine/run_state.h"
#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/topology.h"
#include "settings/settings_store.h"
#include "transport/pass_through_transport.h"
#include "vendor/vendor_commands.h"

namespace qelvar::engine {

struct Station {
  discovery::PortState ports;       // gDeviceInfo, gPortTable, gPortCount, gPortStatus
  RunState run;                     // gNandReport, gRdtPass, gDetectedFlashIndex, totals
  settings::SettingsStore options;  // the option record as workers see it
  // The barcode list's state; the codes are MpSettings::barcodes. Written on
  // the UI thread (the barcode dialog, the end of a run) or, in the CLI, the
  // main thread before Start; read by the Start sequence, which in the window
  // runs on a thread of its own. No access overlaps: the window keeps "Bar
  // Code" off from Start until the run ends, starts the Start thread after
  // the last write and joins it before the next.
  uint8_t gBarcodeCount = 0;
  uint8_t gBarcodeDone = 0;
};

// What the station talks to its drives through. All of it is safe to use from
// several threads at once.
struct StationLinks {
  platform::DeviceIo& io;
  platform::Topology& topology;
  platform::Clock& clock;
  transport::PassThroughTransport& transport;
  vendor::VendorCommands& vendor;
};

}  // namespace qelvar::engine
