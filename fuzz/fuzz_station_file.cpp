// Station files are operator-written text: any bytes must either be rejected
// with a message or give a station whose drives answer without faults.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/sim/sim_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qelvar::platform;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::StationConfig config;
  std::string error;
  if (!sim::ParseStation(text, "", &config, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  // Files and folders named by the input are not touched.
  config.traceFile.clear();
  config.dumpDir.clear();
  VirtualClock clock;
  sim::SimStation station(std::move(config), clock);
  HubRecord hubs[kMaxHubs];
  UsbDeviceRecord devices[kMaxUsbDevices];
  UsbDiskNode disks[kMaxUsbDisks];
  (void)station.EnumerateHubs(hubs);
  (void)station.EnumerateUsbDevices(devices);
  size_t n = station.EnumerateUsbDisks(disks);
  const uint8_t identify[12] = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00,
                                0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  for (size_t i = 0; i < n; ++i) {
    int err = 0;
    auto h = station.Open(disks[i].interfacePath, ShareMode::SharedReadWrite, &err);
    if (!h) continue;
    uint8_t answer[512];
    ScsiRequest q;
    q.cdb = identify;
    q.direction = DataDirection::In;
    q.data = answer;
    q.length = sizeof answer;
    (void)h->SendScsi(q);
  }
  return 0;
}
