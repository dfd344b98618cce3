#include "tools/simbridge/usbredir_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/simbridge/drive_link.h"

namespace qelvar::simbridge {

namespace {

RedirPort* Self(void* priv) {
  return static_cast<RedirPort*>(priv);
}

uint8_t RedirStatus(XferStatus s) {
  switch (s) {
    case XferStatus::Success:
      return usb_redir_success;
    case XferStatus::Stall:
      return usb_redir_stall;
    case XferStatus::Cancelled:
      return usb_redir_cancelled;
  }
  return usb_redir_ioerror;
}

std::string UsbSpeedName(bool high) {
  return high ? "high" : "full";
}

}  // namespace

RedirPort::RedirPort(const platform::sim::DriveConfig& drive, uint32_t toleranceUs,
                     platform::sim::Tracer& tracer, const std::string& dumpDir)
    : config_(drive), clock_(toleranceUs), start_(std::chrono::steady_clock::now()) {
  // The path in the trace names the drive the way the in-process station
  // does, so the two traces compare line by line. The drive reports a reboot
  // or ROM entry as a removal and an arrival from inside the command that
  // caused it (holding its own lock): the bridge only notes it there and
  // leaves the bus once the command's status is out.
  drive_ = std::make_unique<platform::sim::SimDrive>(
      config_, "/sim/disk" + std::to_string(config_.index + 1), clock_, tracer, dumpDir,
      [this](platform::DeviceChange change, const std::string&) {
        if (change == platform::DeviceChange::Removal) reEnumerating_ = true;
      });
}

RedirPort::~RedirPort() {
  Close();
  if (drive_) drive_->Flush();
}

bool RedirPort::Open(const std::string& socketPath, const std::string& diskPath, bool highSpeed,
                     std::string* error) {
  if (!store_.Open(diskPath, config_.sectors * 512, error)) return false;
  ScsiIdentity id;
  id.sectors = config_.sectors;
  id.inquiryVersion = config_.inquiryVersion;
  id.bridge = config_.bridge;
  target_ = std::make_unique<ScsiTarget>(
      id, store_, [this](const platform::ScsiRequest& r) { return PassToDrive(*drive_, r); });
  UsbIdentity usb;
  usb.vendorId = config_.usbVendorId;
  usb.productId = config_.usbProductId;
  usb.serial = config_.usbSerial;
  usb.highSpeed = highSpeed;
  bot_ = std::make_unique<BotDevice>(
      usb, *target_,
      [this](uint64_t rid, XferStatus st, std::span<const uint8_t> d) { SendInReply(rid, st, d); },
      [this](bool busy) { OnBusy(busy); });

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    *error = "socket path too long: " + socketPath;
    return false;
  }
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ::unlink(socketPath.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
    *error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  listen_ = fd;
  socketPath_ = socketPath;
  std::fprintf(stderr, "simbridge: %s on %s (%s speed, disk %s)\n", config_.name.c_str(),
               socketPath.c_str(), UsbSpeedName(highSpeed).c_str(), diskPath.c_str());
  return true;
}

int RedirPort::PollFd() const {
  return conn_ >= 0 ? conn_ : listen_;
}

short RedirPort::PollEvents() const {
  if (conn_ < 0) return POLLIN;
  short e = POLLIN;
  if (parser_ != nullptr && usbredirparser_has_data_to_write(parser_) > 0) e |= POLLOUT;
  return e;
}

void RedirPort::Accept() {
  int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  conn_ = fd;
  ioError_ = false;
  helloSeen_ = false;
  leaveNow_ = false;
  presence_.ConnectionLost();
  stats_.connections++;
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = OnLog;
  parser_->read_func = Read;
  parser_->write_func = Write;
  parser_->hello_func = OnHello;
  parser_->reset_func = OnReset;
  parser_->set_configuration_func = OnSetConfiguration;
  parser_->get_configuration_func = OnGetConfiguration;
  parser_->set_alt_setting_func = OnSetAltSetting;
  parser_->get_alt_setting_func = OnGetAltSetting;
  parser_->cancel_data_packet_func = OnCancel;
  parser_->control_packet_func = OnControl;
  parser_->bulk_packet_func = OnBulk;
  parser_->device_disconnect_ack_func = OnDisconnectAck;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  // Without these QEMU's xHCI refuses the device, and without 32-bit bulk
  // lengths a transfer over 64 KiB cannot be carried.
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "qelvar-simbridge", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
  // A new connection is a fresh plug: whatever the bridge was doing is gone.
  bot_->UsbReset();
  std::fprintf(stderr, "simbridge: %s connected\n", config_.name.c_str());
}

void RedirPort::Drop() {
  if (parser_ != nullptr) {
    usbredirparser_destroy(parser_);
    parser_ = nullptr;
  }
  if (conn_ >= 0) {
    ::close(conn_);
    conn_ = -1;
    std::fprintf(stderr, "simbridge: %s disconnected\n", config_.name.c_str());
  }
  helloSeen_ = false;
  if (bot_) bot_->UsbReset();
  // Without a connection there is nobody to tell: a drive that was leaving
  // is away, and comes back on the next connection once its time is up.
  leaveNow_ = false;
  presence_.ConnectionLost();
}

void RedirPort::Close() {
  Drop();
  if (listen_ >= 0) {
    ::close(listen_);
    listen_ = -1;
    ::unlink(socketPath_.c_str());
  }
}

void RedirPort::Service(short revents) {
  if (conn_ < 0) {
    if ((revents & POLLIN) != 0) Accept();
    return;
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    int r = usbredirparser_do_read(parser_);
    if (r == usbredirparser_read_io_error || ioError_) return Drop();
  }
  if (leaveNow_) Leave();
  if (parser_ != nullptr && usbredirparser_has_data_to_write(parser_) > 0) {
    if (usbredirparser_do_write(parser_) != 0 || ioError_) return Drop();
  }
}

int RedirPort::Read(void* priv, uint8_t* data, int count) {
  RedirPort* self = Self(priv);
  ssize_t n = ::read(self->conn_, data, static_cast<size_t>(count));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  self->ioError_ = true;  // closed by the host, or broken
  return -1;
}

int RedirPort::Write(void* priv, uint8_t* data, int count) {
  RedirPort* self = Self(priv);
  ssize_t n = ::send(self->conn_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  self->ioError_ = true;
  return -1;
}

int64_t RedirPort::WaitMs() const {
  // Without a host the drive comes back on the next connection: its socket
  // wakes the loop then.
  if (parser_ == nullptr || !helloSeen_) return -1;
  return presence_.WaitMs(std::chrono::steady_clock::now());
}

void RedirPort::Tick() {
  if (!presence_.Away() || parser_ == nullptr || !helloSeen_) return;
  if (!presence_.Return(std::chrono::steady_clock::now(), drive_->Present())) return;
  stats_.reEnumerations = presence_.Count();
  stats_.largestReturnLateUs = presence_.LargestLateUs();
  std::fprintf(stderr, "simbridge: %s back on the bus at %.3f s\n", config_.name.c_str(),
               Seconds());
  Announce();
  if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) != 0) {
    Drop();
  }
}

void RedirPort::Leave() {
  leaveNow_ = false;
  if (parser_ == nullptr) return;
  std::fprintf(stderr, "simbridge: %s leaves the bus for %u ms at %.3f s\n", config_.name.c_str(),
               presence_.LastMs(), Seconds());
  // Requests in flight die with the device; the host forgets them too.
  bot_->UsbReset();
  stats_.reEnumerations = presence_.Count();
  if (helloSeen_) {
    usbredirparser_send_device_disconnect(parser_);
  } else {
    presence_.Acknowledged();  // the host never saw the device: nothing to acknowledge
  }
}

void RedirPort::OnDisconnectAck(void* priv) {
  Self(priv)->presence_.Acknowledged();
}

void RedirPort::OnLog(void* priv, int level, const char* msg) {
  if (level <= usbredirparser_warning) {
    std::fprintf(stderr, "simbridge: %s: usbredir: %s\n", Self(priv)->config_.name.c_str(), msg);
  }
}

void RedirPort::OnHello(void* priv, struct usb_redir_hello_header* h) {
  (void)h;
  RedirPort* self = Self(priv);
  self->helloSeen_ = true;
  // A drive still re-enumerating is announced when it comes back.
  if (!self->presence_.Away()) self->Announce();
}

void RedirPort::Announce() {
  const BotDevice& bot = *bot_;
  // QEMU takes the device only in this order: interfaces, endpoints, connect.
  usb_redir_interface_info_header ifaces{};
  ifaces.interface_count = 1;
  ifaces.interface[0] = 0;
  ifaces.interface_class[0] = 0x08;
  ifaces.interface_subclass[0] = 0x06;
  ifaces.interface_protocol[0] = 0x50;
  usbredirparser_send_interface_info(parser_, &ifaces);

  usb_redir_ep_info_header eps{};
  for (int i = 0; i < 32; ++i) {
    eps.type[i] = usb_redir_type_invalid;
    eps.interface[i] = 0;
  }
  // Index: endpoint number, plus 16 for IN endpoints.
  eps.type[0] = eps.type[16] = usb_redir_type_control;
  eps.max_packet_size[0] = eps.max_packet_size[16] = 64;
  eps.type[16 + (BotDevice::kEpIn & 0x0F)] = usb_redir_type_bulk;
  eps.max_packet_size[16 + (BotDevice::kEpIn & 0x0F)] = bot.BulkMaxPacket();
  eps.type[BotDevice::kEpOut & 0x0F] = usb_redir_type_bulk;
  eps.max_packet_size[BotDevice::kEpOut & 0x0F] = bot.BulkMaxPacket();
  usbredirparser_send_ep_info(parser_, &eps);

  usb_redir_device_connect_header connect{};
  connect.speed = bot.identity().highSpeed ? usb_redir_speed_high : usb_redir_speed_full;
  connect.device_class = 0;
  connect.device_subclass = 0;
  connect.device_protocol = 0;
  connect.vendor_id = bot.identity().vendorId;
  connect.product_id = bot.identity().productId;
  connect.device_version_bcd = 0x0100;
  usbredirparser_send_device_connect(parser_, &connect);
}

void RedirPort::OnReset(void* priv) {
  RedirPort* self = Self(priv);
  self->stats_.resets++;
  self->bot_->UsbReset();
}

void RedirPort::OnSetConfiguration(void* priv, uint64_t id,
                                   struct usb_redir_set_configuration_header* h) {
  RedirPort* self = Self(priv);
  usb_redir_configuration_status_header st{};
  st.status = h->configuration <= 1 ? usb_redir_success : usb_redir_stall;
  st.configuration = h->configuration <= 1 ? h->configuration : 1;
  self->bot_->UsbReset();
  usbredirparser_send_configuration_status(self->parser_, id, &st);
}

void RedirPort::OnGetConfiguration(void* priv, uint64_t id) {
  usb_redir_configuration_status_header st{};
  st.status = usb_redir_success;
  st.configuration = 1;
  usbredirparser_send_configuration_status(Self(priv)->parser_, id, &st);
}

void RedirPort::OnSetAltSetting(void* priv, uint64_t id,
                                struct usb_redir_set_alt_setting_header* h) {
  usb_redir_alt_setting_status_header st{};
  bool ok = h->interface == 0 && h->alt == 0;
  st.status = ok ? usb_redir_success : usb_redir_stall;
  st.interface = h->interface;
  st.alt = ok ? 0 : 0xFF;
  usbredirparser_send_alt_setting_status(Self(priv)->parser_, id, &st);
}

void RedirPort::OnGetAltSetting(void* priv, uint64_t id,
                                struct usb_redir_get_alt_setting_header* h) {
  usb_redir_alt_setting_status_header st{};
  bool ok = h->interface == 0;
  st.status = ok ? usb_redir_success : usb_redir_stall;
  st.interface = h->interface;
  st.alt = ok ? 0 : 0xFF;
  usbredirparser_send_alt_setting_status(Self(priv)->parser_, id, &st);
}

void RedirPort::OnCancel(void* priv, uint64_t id) {
  RedirPort* self = Self(priv);
  self->stats_.cancels++;
  self->bot_->Cancel(id);
}

void RedirPort::OnControl(void* priv, uint64_t id, struct usb_redir_control_packet_header* h,
                          uint8_t* data, int len) {
  RedirPort* self = Self(priv);
  if (self->presence_.Away()) {
    // Sent before the host saw the device leave: nobody is there to answer.
    usb_redir_control_packet_header answer = *h;
    answer.status = usb_redir_ioerror;
    answer.length = 0;
    usbredirparser_send_control_packet(self->parser_, id, &answer, nullptr, 0);
    if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
    return;
  }
  ControlSetup setup;
  setup.requestType = h->requesttype;
  setup.request = h->request;
  setup.value = h->value;
  setup.index = h->index;
  setup.length = h->length;
  std::span<const uint8_t> out;
  if (data != nullptr && len > 0) out = std::span<const uint8_t>(data, static_cast<size_t>(len));
  ControlReply reply = self->bot_->Control(setup, out);
  usb_redir_control_packet_header answer = *h;
  answer.status = RedirStatus(reply.status);
  bool in = (h->endpoint & 0x80) != 0;
  if (in) {
    answer.length =
        static_cast<uint16_t>(reply.status == XferStatus::Success ? reply.data.size() : 0);
    usbredirparser_send_control_packet(
        self->parser_, id, &answer, answer.length > 0 ? reply.data.data() : nullptr, answer.length);
  } else {
    answer.length = static_cast<uint16_t>(reply.status == XferStatus::Success ? len : 0);
    usbredirparser_send_control_packet(self->parser_, id, &answer, nullptr, 0);
  }
  if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
}

void RedirPort::OnBulk(void* priv, uint64_t id, struct usb_redir_bulk_packet_header* h,
                       uint8_t* data, int len) {
  RedirPort* self = Self(priv);
  if (self->presence_.Away()) {
    usb_redir_bulk_packet_header answer = *h;
    answer.status = usb_redir_ioerror;
    answer.length = 0;
    answer.length_high = 0;
    usbredirparser_send_bulk_packet(self->parser_, id, &answer, nullptr, 0);
    if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
    return;
  }
  self->Touch();
  uint32_t length = static_cast<uint32_t>(h->length) | static_cast<uint32_t>(h->length_high) << 16;
  if (h->endpoint == BotDevice::kEpIn) {
    if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
    self->bot_->BulkIn(id, length);
    return;
  }
  usb_redir_bulk_packet_header answer = *h;
  XferStatus st = XferStatus::Stall;
  if (h->endpoint == BotDevice::kEpOut) {
    std::span<const uint8_t> bytes;
    if (data != nullptr && len > 0)
      bytes = std::span<const uint8_t>(data, static_cast<size_t>(len));
    st = self->bot_->BulkOut(bytes);
    if (st == XferStatus::Success) self->stats_.bytesOut += bytes.size();
  }
  uint32_t taken = st == XferStatus::Success ? static_cast<uint32_t>(len) : 0;
  answer.status = RedirStatus(st);
  answer.length = static_cast<uint16_t>(taken);
  answer.length_high = static_cast<uint16_t>(taken >> 16);
  usbredirparser_send_bulk_packet(self->parser_, id, &answer, nullptr, 0);
  if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
}

void RedirPort::SendInReply(uint64_t id, XferStatus status, std::span<const uint8_t> data) {
  if (parser_ == nullptr) return;
  usb_redir_bulk_packet_header h{};
  h.endpoint = BotDevice::kEpIn;
  h.status = RedirStatus(status);
  auto n = static_cast<uint32_t>(data.size());
  h.length = static_cast<uint16_t>(n);
  h.length_high = static_cast<uint16_t>(n >> 16);
  stats_.bytesIn += n;
  // The parser copies the data into its own packet.
  usbredirparser_send_bulk_packet(
      parser_, id, &h, n > 0 ? const_cast<uint8_t*>(data.data()) : nullptr, static_cast<int>(n));
}

void RedirPort::OnBusy(bool busy) {
  auto now = std::chrono::steady_clock::now();
  if (!busy) {
    clock_.Complete(now);
    if (reEnumerating_) {
      reEnumerating_ = false;
      // A reboot boots the drive in normal mode, a ROM entry in ROM mode.
      bool rom = drive_->Inspect().mode == platform::sim::DriveMode::Rom;
      presence_.DriveLeaves(rom ? config_.romEntryMs : config_.rebootMs);
    }
    if (presence_.StatusSent(now)) leaveNow_ = true;
    return;
  }
  stats_.commands++;
  int64_t gapUs = clock_.Arrive(now);
  if (gapUs < 0) return;
  const std::vector<uint8_t>& cdb = bot_->cdb();
  uint32_t demanded = DemandedPauseMs(cdb.data(), cdb.size(), gapUs / 1000);
  if (demanded == 0) return;
  int64_t error = gapUs - static_cast<int64_t>(demanded) * 1000;
  if (stats_.pauses == 0 || error > stats_.largestPauseErrorUs) stats_.largestPauseErrorUs = error;
  if (stats_.pauses == 0 || error < stats_.smallestPauseErrorUs)
    stats_.smallestPauseErrorUs = error;
  stats_.pauses++;
}

double RedirPort::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void RedirPort::Touch() {
  double t = Seconds();
  if (stats_.firstActivity < 0) stats_.firstActivity = t;
  stats_.lastActivity = t;
}

}  // namespace qelvar::simbridge
