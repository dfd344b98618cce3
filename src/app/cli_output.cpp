#include "app/cli_output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "discovery/bridge_table.h"
#include "text/json_string.h"

namespace qelvar::app {

using discovery::kPortColumnHeaders;
using discovery::kPortRows;

namespace {

int ColumnCount(const discovery::PortListModel& list) {
  return list.RdtColumns() ? discovery::kPortColumns : discovery::kColRdtResult;
}

}  // namespace

std::string FormatPortTable(const discovery::PortListModel& list) {
  const int columns = ColumnCount(list);
  std::array<size_t, discovery::kPortColumns> width{};
  for (int c = 0; c < columns; ++c) {
    width[static_cast<size_t>(c)] = kPortColumnHeaders[static_cast<size_t>(c)].size();
    for (int r = 0; r < kPortRows; ++r) {
      width[static_cast<size_t>(c)] =
          std::max(width[static_cast<size_t>(c)], list.Cell(r, c).size());
    }
  }
  std::string out;
  auto addRow = [&](auto cell) {
    for (int c = 0; c < columns; ++c) {
      std::string text = cell(c);
      out += text;
      if (c + 1 < columns) out.append(width[static_cast<size_t>(c)] - text.size() + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  };
  addRow([&](int c) { return std::string(kPortColumnHeaders[static_cast<size_t>(c)]); });
  for (int r = 0; r < kPortRows; ++r) addRow([&](int c) { return list.Cell(r, c); });
  return out;
}

std::string FormatPortJson(const discovery::PortListModel& list, int sum, int pass, int fail,
                           const discovery::PortState* ports) {
  static constexpr std::array<const char*, discovery::kPortColumns> kKeys = {
      "port", "status", "model", "capacity", "serial", "fw", "progress", "rdt", "bin"};
  std::string out = "{\"ports\":[";
  for (int r = 0; r < kPortRows; ++r) {
    if (r) out += ',';
    out += "{\"port\":" + std::to_string(r + 1);  // as the Port column counts
    for (int c = 1; c < discovery::kPortColumns; ++c) {
      std::string cell = list.Cell(r, c);
      // The Serial Number cell is padded with blanks to its 20 characters;
      // the serial itself has none.
      if (c == discovery::kColSerial) {
        while (!cell.empty() && cell.back() == ' ') cell.pop_back();
      }
      out += ",\"" + std::string(kKeys[static_cast<size_t>(c)]) + "\":\"" +
             text::JsonEscaped(cell) + "\"";
    }
    if (ports != nullptr && ports->gDeviceInfo[static_cast<size_t>(r)].bridge.probed) {
      out += ",\"bridge\":" + FormatBridgeJson(ports->gDeviceInfo[static_cast<size_t>(r)].bridge);
    }
    out += '}';
  }
  out += ']';
  if (ports != nullptr) {
    out += ",\"hubPorts\":[";
    size_t assigned = std::min<size_t>(ports->gPortsAssigned, discovery::kPortCount);
    for (size_t n = 0; n < assigned; ++n) {
      const discovery::PortIdentity& id = ports->gPortTable[n];
      if (n) out += ',';
      out += "{\"port\":" + std::to_string(n + 1) + ",\"hub\":\"" +
             text::JsonEscaped(std::string(id.hubInstanceId,
                                           strnlen(id.hubInstanceId, sizeof id.hubInstanceId))) +
             "\",\"index\":" + std::to_string(id.portIndex) + "}";
    }
    out += ']';
  }
  out += ",\"sum\":" + std::to_string(sum) + ",\"pass\":" + std::to_string(pass) +
         ",\"fail\":" + std::to_string(fail);
  out += "}\n";
  return out;
}

namespace {

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

std::string BridgeOfPath(const discovery::PortState& ports, std::string_view path) {
  for (const discovery::DeviceInfo& info : ports.gDeviceInfo) {
    const discovery::BridgeInfo& b = info.bridge;
    if (!b.probed || std::string_view(b.path, strnlen(b.path, sizeof b.path)) != path) continue;
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", b.vid, b.pid);
    return text;
  }
  return {};
}

namespace {

// The SAT-path time-outs the port's commands get, when the table lengthens
// them for this bridge.
bool TableTimeouts(const discovery::BridgeInfo& b, uint32_t* in, uint32_t* out) {
  if (b.timeouts.dataIn == 0 && b.timeouts.dataOut == 0) return false;
  const std::string_view path(b.path, strnlen(b.path, sizeof b.path));
  *in = transport::SatTimeoutSeconds(path, true, b.timeouts);
  *out = transport::SatTimeoutSeconds(path, false, b.timeouts);
  return true;
}

}  // namespace

std::string FormatBridgeJson(const discovery::BridgeInfo& b) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "\"vid\":\"%04x\",\"pid\":\"%04x\"", b.vid, b.pid);
  std::string out = std::string("{") + ids + ",\"route\":\"" + transport::RouteName(b.route) +
                    "\",\"sense\":\"" + discovery::SenseFormatName(b.sense) +
                    "\",\"maxTransfer\":" + std::to_string(b.maxTransfer);
  uint32_t in = 0, outSeconds = 0;
  if (TableTimeouts(b, &in, &outSeconds)) {
    out += ",\"timeoutIn\":" + std::to_string(in) + ",\"timeoutOut\":" + std::to_string(outSeconds);
  }
  out += std::string(",\"supported\":") + (b.supported ? "true" : "false");
  if (!b.supported) {
    out += ",\"reason\":\"" +
           text::JsonEscaped(std::string(b.reason, strnlen(b.reason, sizeof b.reason))) + "\"";
  }
  return out + "}";
}

namespace {
std::string Field(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}
}  // namespace

std::string FormatBridgeList(const discovery::PortState& ports, bool json) {
  std::string out = json ? "{\"bridges\":[" : "";
  if (!json) {
    char head[160];
    std::snprintf(head, sizeof head, "%-5s %-9s  %-24s %-9s %-6s %-10s %-12s %s\n", "Port",
                  "VID:PID", "Product", "Speed", "Route", "Sense", "MaxTransfer", "Decided by");
    out += head;
  }
  bool first = true;
  for (int p = 0; p < discovery::kPortCount; ++p) {
    const discovery::BridgeInfo& b = ports.gDeviceInfo[static_cast<size_t>(p)].bridge;
    if (!b.probed) continue;
    const std::string product = Field(b.product, sizeof b.product);
    const char* decided = b.fromTable ? "table" : "probe";
    if (json) {
      if (!first) out += ',';
      std::string object = FormatBridgeJson(b);
      object.pop_back();  // the closing brace: more keys follow
      out += "{\"port\":" + std::to_string(p + 1) + "," + object.substr(1) + ",\"product\":\"" +
             text::JsonEscaped(product) + "\",\"speedMbps\":" + std::to_string(b.speedMbps) +
             ",\"decidedBy\":\"" + decided + "\"}";
    } else {
      char speed[16] = "?";
      if (b.speedMbps != 0) std::snprintf(speed, sizeof speed, "%u Mb/s", b.speedMbps);
      char max[16] = "not stated";
      if (b.maxTransfer != 0) std::snprintf(max, sizeof max, "%u", b.maxTransfer);
      char line[400];
      std::snprintf(line, sizeof line, "%-5d %04x:%04x  %-24.24s %-9s %-6s %-10s %-12s %s", p + 1,
                    b.vid, b.pid, product.c_str(), speed, transport::RouteName(b.route),
                    discovery::SenseFormatName(b.sense), max, decided);
      out += line;
      uint32_t in = 0, outSeconds = 0;
      if (TableTimeouts(b, &in, &outSeconds)) {
        out +=
            "  time-outs " + std::to_string(in) + " s in, " + std::to_string(outSeconds) + " s out";
      }
      if (!b.supported) out += "  Unsupported bridge: " + Field(b.reason, sizeof b.reason);
      out += '\n';
    }
    first = false;
  }
  if (json) out += "]}\n";
  return out;
}

std::string BridgeTableWithFindings(std::string_view table, const discovery::PortState& ports,
                                    int* added) {
  std::string out(table);
  *added = 0;
  std::vector<std::pair<uint16_t, uint16_t>> written;
  for (const discovery::DeviceInfo& info : ports.gDeviceInfo) {
    const discovery::BridgeInfo& b = info.bridge;
    if (!b.probed || b.fromTable) continue;
    if (discovery::FindBridgeEntry(ports.bridgeTable, b.vid, b.pid, -1) != nullptr) continue;
    if (std::find(written.begin(), written.end(), std::make_pair(b.vid, b.pid)) != written.end()) {
      continue;
    }
    written.emplace_back(b.vid, b.pid);
    if (!out.empty() && out.back() != '\n') out += '\n';
    if (!out.empty()) out += '\n';
    const std::string product = Field(b.product, sizeof b.product);
    if (!product.empty()) out += "; " + product + ", as the probe found it\n";
    out += discovery::FormatBridgeEntry(b);
    ++*added;
  }
  return out;
}

std::string FormatExchangeJson(const transport::ExchangeRecord& r, std::string_view bridge) {
  const char* direction = r.direction == platform::DataDirection::In    ? "in"
                          : r.direction == platform::DataDirection::Out ? "out"
                                                                        : "none";
  std::string out =
      "{\"path\":\"" + text::JsonEscaped(r.path) + "\",\"path_kind\":\"" +
      (r.ataPath ? "ata" : "sat") + "\",\"" + (r.ataPath ? "taskfile" : "cdb") + "\":\"" +
      Hex(r.image.data(), std::min<size_t>(r.imageLength, r.image.size())) + "\",\"direction\":\"" +
      direction + "\",\"length\":" + std::to_string(r.length) +
      ",\"timeout_s\":" + std::to_string(r.timeoutSeconds) +
      ",\"result\":" + std::to_string(r.result) + ",\"error\":" + std::to_string(r.errorCode) +
      ",\"transferred\":" + std::to_string(r.transferred) +
      ",\"status\":" + std::to_string(r.scsiStatus) +
      ",\"host_status\":" + std::to_string(r.hostStatus) +
      ",\"driver_status\":" + std::to_string(r.driverStatus) + ",\"sense\":\"" +
      Hex(r.sense.data(), std::min<size_t>(r.senseLength, r.sense.size())) + "\"";
  if (r.ataPath) out += ",\"registers\":\"" + Hex(r.returned.data(), r.returned.size()) + "\"";
  out += ",\"bridge\":\"" + text::JsonEscaped(std::string(bridge)) + "\",\"route\":\"" +
         (r.ataPath ? "ata"
          : r.probe ? "probe"
                    : transport::RouteName(r.route)) +
         "\"";
  if (!r.notSent.empty()) {
    out += ",\"not_sent\":\"" + text::JsonEscaped(std::string(r.notSent)) + "\"";
  }
  out += ",\"ms\":" + std::to_string(r.elapsedMs) + "}\n";
  return out;
}

void LiveListSink::SetCell(int row, int column, std::string_view text) {
  model_.SetCell(row, column, text);
  if (terminal_ || (column != discovery::kColStatus && column != discovery::kColProgress)) return;
  if (row < 0 || row >= kPortRows) return;
  if (column == discovery::kColStatus) {
    // A scanned row ends with its progress cell, a finished one with its
    // final progress: their status alone is not a line of its own.
    const bool passing = text == "Scanning" || text == "Go ROM FAIL";
    if (!passing) return;
  }
  std::string serial = serialSource_ ? serialSource_(row) : model_.Cell(row, discovery::kColSerial);
  while (!serial.empty() && serial.back() == ' ') serial.pop_back();
  char line[160];
  std::snprintf(line, sizeof line, "Port %2d  %-24s %-8s %s", row + 1,
                model_.Cell(row, discovery::kColStatus).c_str(),
                model_.Cell(row, discovery::kColProgress).c_str(), serial.c_str());
  std::string_view shown(line);
  while (!shown.empty() && shown.back() == ' ') shown.remove_suffix(1);
  std::lock_guard lock(mutex_);
  if (!live_) return;
  std::string& last = lastLines_[static_cast<size_t>(row)];
  if (last == shown) return;  // nothing changed that a line shows
  last = std::string(shown);
  std::fprintf(out_, "%s\n", last.c_str());
  std::fflush(out_);
}

void LiveListSink::SetFooter(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (footer_ == text) return;
  footer_ = std::string(text);
  // A terminal shows it at the next redraw.
  if (!live_ || terminal_ || footer_.empty()) return;
  std::fprintf(out_, "%s\n", footer_.c_str());
  std::fflush(out_);
}

void LiveListSink::SetLive(bool live) {
  if (live) {
    std::lock_guard lock(mutex_);
    if (live_) return;
    live_ = true;
    drawn_ = false;
    stopping_ = false;
    if (terminal_) redraws_ = std::thread([this] { RedrawLoop(); });
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (!live_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (redraws_.joinable()) redraws_.join();
  Redraw();  // the rows as the run left them
  std::lock_guard lock(mutex_);
  live_ = false;
  drawn_ = false;
}

void LiveListSink::RedrawLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    Redraw();
    lock.lock();
    wake_.wait_for(lock, period_, [&] { return stopping_; });
  }
}

void LiveListSink::Redraw() {
  std::lock_guard lock(mutex_);
  if (!terminal_ || !live_) return;
  std::string frame;
  if (drawn_) frame += "\x1b[" + std::to_string(kPortRows + 1) + "A";
  for (int r = 0; r < kPortRows; ++r) {
    char line[160];
    std::snprintf(line, sizeof line, "\r\x1b[2KPort %2d  %-24s %-8s %s\n", r + 1,
                  model_.Cell(r, discovery::kColStatus).c_str(),
                  model_.Cell(r, discovery::kColProgress).c_str(),
                  model_.Cell(r, discovery::kColSerial).c_str());
    frame += line;
  }
  frame += "\r\x1b[2K" + footer_ + "\n";
  std::fputs(frame.c_str(), out_);
  std::fflush(out_);
  drawn_ = true;
}

}  // namespace qelvar::app
