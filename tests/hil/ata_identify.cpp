// hil-ata-identify: sends IDENTIFY DEVICE and CHECK POWER MODE to one disk
// over the station's ATA route (the transport with interface type 3, on the
// Linux backend) and prints what came back, one JSON line per command, with
// the kernel's own SG_IO answer beside it. The QEMU test bed runs it in the
// guest on the AHCI disk, whose libata translation is a real ATA PASS-THROUGH
// path: the kernel, SG_IO, the task file in the CDB and the registers in the
// returned sense.
//
//   hil-ata-identify DEVICE
//
// Exit status: 0 when the transport answered 1 to both, 1 otherwise, 2 on usage.
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/linux/linux_device_io.h"
#include "transport/pass_through_transport.h"

namespace {

using qelvar::transport::ExchangeRecord;

// An ATA string of IDENTIFY: `words` words from `word`, the first character
// of each pair in the word's high byte; trailing blanks dropped.
std::string AtaString(const uint8_t* page, size_t word, size_t words) {
  std::string out;
  for (size_t i = word * 2; i < (word + words) * 2; i += 2) {
    out.push_back(static_cast<char>(page[i + 1]));
    out.push_back(static_cast<char>(page[i]));
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
  std::string printable;
  for (char c : out) printable.push_back(c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? c : '?');
  return printable;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, i ? " %02x" : "%02x", bytes[i]);
    out += two;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hil-ata-identify DEVICE\n");
    return 2;
  }
  std::unique_ptr<qelvar::platform::Clock> clock = qelvar::platform::MakeRealClock();
  // The kernel's own answer, kept beside what the backend made of it.
  sg_io_hdr kernel{};
  std::vector<uint8_t> sense;
  qelvar::platform::linux_backend::LinuxDeviceIo io("/sys", [&](int fd, sg_io_hdr* hdr) {
    int rc = ::ioctl(fd, SG_IO, hdr);
    kernel = *hdr;
    sense.assign(hdr->sbp, hdr->sbp + (rc == 0 ? hdr->sb_len_wr : 0));
    return rc;
  });
  qelvar::transport::PassThroughTransport transport(io, *clock);
  ExchangeRecord seen;
  transport.SetRecorder([&](const ExchangeRecord& r) { seen = r; });

  // One exchange over the ATA route, printed as one JSON line; `extra` adds
  // fields read from the answer. True when the transport answered 1.
  auto exchange = [&](const char* name, std::array<uint8_t, 16> image,
                      qelvar::platform::DataDirection direction, uint8_t* buffer, uint32_t length,
                      const std::function<std::string()>& extra) {
    kernel = sg_io_hdr{};
    sense.clear();
    qelvar::transport::VendorCommand command;
    command.path = argv[1];
    command.image = image;
    command.imageLength = 12;
    command.direction = direction;
    command.buffer = buffer;
    command.length = length;
    const int result = transport.Send(command, 3);
    std::printf(
        "{\"command\":\"%s\",\"path\":\"%s\",\"result\":%d,\"error\":%d,\"taskfile\":\"%s\","
        "\"registers\":\"%s\",%s\"status\":%d,\"host_status\":%d,\"driver_status\":%d,"
        "\"resid\":%d,\"sense\":\"%s\",\"ms\":%u}\n",
        name, seen.path.c_str(), result, seen.errorCode,
        Hex(seen.image.data(), seen.imageLength).c_str(),
        Hex(seen.returned.data(), seen.returned.size()).c_str(), extra().c_str(), kernel.status,
        kernel.host_status, kernel.driver_status, kernel.resid,
        Hex(sense.data(), sense.size()).c_str(), seen.elapsedMs);
    return result == 1;
  };

  // IDENTIFY DEVICE, PIO data-in: the answer's model, serial and firmware.
  uint8_t page[512] = {};
  bool identified = exchange(
      "identify", {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00},
      qelvar::platform::DataDirection::In, page, sizeof page, [&] {
        return "\"model\":\"" + AtaString(page, 27, 20) + "\",\"serial\":\"" +
               AtaString(page, 10, 10) + "\",\"firmware\":\"" + AtaString(page, 23, 4) + "\",";
      });
  // CHECK POWER MODE, non-data: the drive's registers come back in the sense.
  bool checked = exchange(
      "check-power-mode", {0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE5, 0x00, 0x00},
      qelvar::platform::DataDirection::None, nullptr, 0, [] { return std::string(); });
  return identified && checked ? 0 : 1;
}
