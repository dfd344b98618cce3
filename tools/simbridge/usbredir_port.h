// One drive of the station as a USB device on a usbredir connection: the
// socket the host controller's usb-redir device connects to, the protocol
// parser in the device role, and the bridge (BotDevice, ScsiTarget) and
// simulated drive behind it. Everything runs on the caller's thread: the
// main loop polls the descriptors and calls Service.
#pragma once

#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sim/sim_drive.h"
#include "platform/sim/station_config.h"
#include "platform/sim/trace.h"
#include "tools/simbridge/bot.h"
#include "tools/simbridge/bus_presence.h"
#include "tools/simbridge/pause_clock.h"
#include "tools/simbridge/scsi_target.h"

namespace qelvar::simbridge {

// What a port measured, for the summary at exit.
struct PortStats {
  uint64_t commands = 0;
  uint64_t bytesIn = 0, bytesOut = 0;  // data phases, device to host and back
  uint64_t pauses = 0;                 // commands that had a pause to keep
  int64_t largestPauseErrorUs = 0;     // gap minus demanded pause, largest
  int64_t smallestPauseErrorUs = 0;    // the same, smallest (negative: cut short)
  uint64_t connections = 0, resets = 0, cancels = 0;
  uint64_t reEnumerations = 0;                   // times the drive left the bus and came back
  int64_t largestReturnLateUs = 0;               // a return after the drive's time, longest
  double firstActivity = -1, lastActivity = -1;  // seconds since start
};

class RedirPort {
 public:
  RedirPort(const platform::sim::DriveConfig& drive, uint32_t toleranceUs,
            platform::sim::Tracer& tracer, const std::string& dumpDir);
  ~RedirPort();
  RedirPort(const RedirPort&) = delete;
  RedirPort& operator=(const RedirPort&) = delete;

  // Creates the backing file and listens on the unix socket `socketPath`.
  [[nodiscard]] bool Open(const std::string& socketPath, const std::string& diskPath,
                          bool highSpeed, std::string* error);
  // The descriptor to poll and the events wanted.
  [[nodiscard]] int PollFd() const;
  [[nodiscard]] short PollEvents() const;
  // Handles what poll reported on PollFd.
  void Service(short revents);
  // Milliseconds until the port wants Tick called (-1: it does not).
  [[nodiscard]] int64_t WaitMs() const;
  // Brings a drive that was off the bus back when its time is up.
  void Tick();
  void Close();

  [[nodiscard]] const platform::sim::DriveConfig& drive() const { return config_; }
  [[nodiscard]] const PortStats& stats() const { return stats_; }
  [[nodiscard]] bool Connected() const { return conn_ >= 0; }

 private:
  static void OnHello(void* priv, struct usb_redir_hello_header* h);
  static void OnReset(void* priv);
  static void OnSetConfiguration(void* priv, uint64_t id,
                                 struct usb_redir_set_configuration_header* h);
  static void OnGetConfiguration(void* priv, uint64_t id);
  static void OnSetAltSetting(void* priv, uint64_t id, struct usb_redir_set_alt_setting_header* h);
  static void OnGetAltSetting(void* priv, uint64_t id, struct usb_redir_get_alt_setting_header* h);
  static void OnCancel(void* priv, uint64_t id);
  static void OnControl(void* priv, uint64_t id, struct usb_redir_control_packet_header* h,
                        uint8_t* data, int len);
  static void OnBulk(void* priv, uint64_t id, struct usb_redir_bulk_packet_header* h, uint8_t* data,
                     int len);
  static void OnDisconnectAck(void* priv);
  static void OnLog(void* priv, int level, const char* msg);
  static int Read(void* priv, uint8_t* data, int count);
  static int Write(void* priv, uint8_t* data, int count);

  void Accept();
  void Drop();
  // Tells the host the device is there: interfaces, endpoints, connect.
  void Announce();
  // Takes the device off the bus while its drive re-enumerates.
  void Leave();
  void SendInReply(uint64_t id, XferStatus status, std::span<const uint8_t> data);
  void OnBusy(bool busy);
  void Touch();
  [[nodiscard]] double Seconds() const;  // since the port was made

  const platform::sim::DriveConfig config_;
  PauseClock clock_;
  std::unique_ptr<platform::sim::SimDrive> drive_;
  FileBlockStore store_;
  std::unique_ptr<ScsiTarget> target_;
  std::unique_ptr<BotDevice> bot_;
  std::string socketPath_;
  int listen_ = -1;
  int conn_ = -1;
  usbredirparser* parser_ = nullptr;
  bool ioError_ = false;
  bool helloSeen_ = false;
  // The drive began a re-enumeration inside the command in progress.
  bool reEnumerating_ = false;
  bool leaveNow_ = false;
  BusPresence presence_;
  PortStats stats_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace qelvar::simbridge
