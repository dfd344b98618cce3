// qelvar-simbridge: every drive of a station file as a USB-to-SATA bridge on
// its own usbredir socket, for QEMU's usb-redir devices to connect to. The
// guest's kernel then drives simulated drives through its real usb-storage,
// SCSI and SG_IO stack.
//
//   qelvar-simbridge --station FILE --sockets DIR --disks DIR
//                    [--trace FILE] [--dump DIR] [--summary FILE] [--list]
//
// Socket DIR/driveN.sock and sparse disk DIR/driveN.img serve [DriveN]. The
// bridge runs until SIGTERM or SIGINT and then writes the summary.
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/sim/station_config.h"
#include "platform/sim/trace.h"
#include "tools/simbridge/usbredir_port.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) {
  gStop.store(true);
}

constexpr const char* kUsage =
    "usage: qelvar-simbridge --station FILE --sockets DIR --disks DIR [--trace FILE] [--dump DIR]\n"
    "                        [--summary FILE] [--list]\n";

struct Args {
  std::string station, sockets, disks, trace, dump, summary;
  bool list = false;
};

bool ParseArgs(int argc, char** argv, Args* a) {
  for (int i = 1; i < argc; ++i) {
    std::string k = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    bool ok = true;
    if (k == "--station") {
      ok = value(&a->station);
    } else if (k == "--sockets") {
      ok = value(&a->sockets);
    } else if (k == "--disks") {
      ok = value(&a->disks);
    } else if (k == "--trace") {
      ok = value(&a->trace);
    } else if (k == "--dump") {
      ok = value(&a->dump);
    } else if (k == "--summary") {
      ok = value(&a->summary);
    } else if (k == "--list") {
      a->list = true;
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  return !a->station.empty() && (a->list || (!a->sockets.empty() && !a->disks.empty()));
}

std::string Summary(const std::vector<std::unique_ptr<qelvar::simbridge::RedirPort>>& ports,
                    uint32_t toleranceUs) {
  std::ostringstream s;
  uint64_t in = 0, out = 0, pauses = 0, reEnumerations = 0;
  int64_t returnLate = 0;
  int64_t largest = 0, smallest = 0;
  double first = -1, last = -1;
  s << "pause_tolerance_us " << toleranceUs << "\n";
  for (const auto& p : ports) {
    const auto& st = p->stats();
    s << "drive " << p->drive().name << " commands " << st.commands << " bytes_in " << st.bytesIn
      << " bytes_out " << st.bytesOut << " pauses " << st.pauses << " pause_error_us_max "
      << st.largestPauseErrorUs << " pause_error_us_min " << st.smallestPauseErrorUs
      << " connections " << st.connections << " resets " << st.resets << " cancels " << st.cancels
      << " reenumerations " << st.reEnumerations << " return_late_us_max " << st.largestReturnLateUs
      << "\n";
    reEnumerations += st.reEnumerations;
    if (st.largestReturnLateUs > returnLate) returnLate = st.largestReturnLateUs;
    in += st.bytesIn;
    out += st.bytesOut;
    if (st.pauses > 0) {
      if (pauses == 0 || st.largestPauseErrorUs > largest) largest = st.largestPauseErrorUs;
      if (pauses == 0 || st.smallestPauseErrorUs < smallest) smallest = st.smallestPauseErrorUs;
      pauses += st.pauses;
    }
    if (st.firstActivity >= 0 && (first < 0 || st.firstActivity < first)) first = st.firstActivity;
    if (st.lastActivity > last) last = st.lastActivity;
  }
  double span = last > first ? last - first : 0;
  s << "total bytes_in " << in << " bytes_out " << out << " active_s " << span << " bytes_per_s "
    << (span > 0 ? static_cast<uint64_t>(static_cast<double>(in + out) / span) : 0) << " pauses "
    << pauses << " pause_error_us_max " << largest << " pause_error_us_min " << smallest
    << " reenumerations " << reEnumerations << " return_late_us_max " << returnLate << "\n";
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qelvar;
  Args args;
  if (!ParseArgs(argc, argv, &args)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::ifstream file(args.station, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "qelvar-simbridge: cannot read %s\n", args.station.c_str());
    return 1;
  }
  std::stringstream text;
  text << file.rdbuf();
  platform::sim::StationConfig station;
  std::string why;
  std::string base = std::filesystem::path(args.station).parent_path().string();
  if (!platform::sim::ParseStation(text.str(), base, &station, &why)) {
    std::fprintf(stderr, "qelvar-simbridge: %s: %s\n", args.station.c_str(), why.c_str());
    return 1;
  }
  if (args.list) {
    // One line per drive for scripts: index, hub (-1: root port), port, speed.
    std::printf("hubs %d %d\n", station.hubs, station.hubPorts);
    for (const auto& d : station.drives) {
      std::printf("drive %d %d %d %s\n", d.index, d.hub, d.hubPort, d.hub >= 0 ? "full" : "high");
    }
    return 0;
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::error_code ec;
  std::filesystem::create_directories(args.sockets, ec);
  std::filesystem::create_directories(args.disks, ec);
  platform::sim::Tracer tracer;
  std::string traceFile = args.trace.empty() ? station.traceFile : args.trace;
  if (!traceFile.empty() && !tracer.SetFile(traceFile)) {
    std::fprintf(stderr, "qelvar-simbridge: cannot write the trace %s\n", traceFile.c_str());
    return 1;
  }
  std::string dumpDir = args.dump.empty() ? station.dumpDir : args.dump;

  std::vector<std::unique_ptr<simbridge::RedirPort>> ports;
  for (const auto& d : station.drives) {
    auto port =
        std::make_unique<simbridge::RedirPort>(d, station.pauseToleranceUs, tracer, dumpDir);
    std::string n = "drive" + std::to_string(d.index);
    if (!port->Open(args.sockets + "/" + n + ".sock", args.disks + "/" + n + ".img", d.hub < 0,
                    &why)) {
      std::fprintf(stderr, "qelvar-simbridge: %s\n", why.c_str());
      return 1;
    }
    ports.push_back(std::move(port));
  }
  std::fprintf(stderr, "simbridge: ready, %zu drives\n", ports.size());

  std::vector<pollfd> fds(ports.size());
  while (!gStop.load()) {
    for (size_t i = 0; i < ports.size(); ++i) {
      fds[i] = pollfd{ports[i]->PollFd(), ports[i]->PollEvents(), 0};
    }
    // A drive off the bus for its re-enumeration is due back at a time of
    // its own: wake up for the earliest.
    int64_t timeout = 200;
    for (const auto& p : ports) {
      int64_t w = p->WaitMs();
      if (w >= 0 && w < timeout) timeout = w;
    }
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(timeout));
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("poll");
      break;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
      if (fds[i].revents != 0) ports[i]->Service(fds[i].revents);
      ports[i]->Tick();
    }
  }
  std::string summary = Summary(ports, station.pauseToleranceUs);
  ports.clear();
  if (!args.summary.empty() && !platform::ReplaceFile(args.summary, summary)) {
    std::fprintf(stderr, "qelvar-simbridge: cannot write %s\n", args.summary.c_str());
    return 1;
  }
  std::fputs(summary.c_str(), stderr);
  return 0;
}
