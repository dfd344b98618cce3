#include "discovery/bridge_table.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "discovery/ports.h"

namespace qelvar::discovery {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool Hex16(std::string_view s, uint16_t* out) {
  if (s.empty() || s.size() > 4) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, 16);
  return ec == std::errc() && end == s.data() + s.size();
}

bool Number(std::string_view s, uint32_t* out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

bool SenseFromName(std::string_view name, uint8_t* out) {
  for (SenseFormat f : {SenseFormat::kDescriptor, SenseFormat::kFixed, SenseFormat::kNone}) {
    if (name == SenseFormatName(f)) {
      *out = static_cast<uint8_t>(f);
      return true;
    }
  }
  return false;
}

}  // namespace

bool RouteFromName(std::string_view name, transport::Route* out) {
  for (transport::Route r : {transport::Route::kBoth, transport::Route::k16Only,
                             transport::Route::k12Only, transport::Route::kNone}) {
    if (name == transport::RouteName(r)) {
      *out = r;
      return true;
    }
  }
  return false;
}

bool ParseBridgeTable(std::string_view text, BridgeTable* out, std::string* error) {
  BridgeTable table;
  BridgeEntry* entry = nullptr;
  int lineNumber = 0;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = "line " + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  while (!text.empty()) {
    ++lineNumber;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (size_t comment = line.find(';'); comment != std::string_view::npos) {
      line = line.substr(0, comment);
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a section header ends with ]");
      std::string_view name = line.substr(1, line.size() - 2);
      BridgeEntry e;
      size_t colon = name.find(':');
      size_t second = colon == std::string_view::npos ? colon : name.find(':', colon + 1);
      uint16_t bcd = 0;
      if (colon == std::string_view::npos || !Hex16(name.substr(0, colon), &e.vid) ||
          !Hex16(name.substr(colon + 1, second - colon - 1), &e.pid) ||
          (second != std::string_view::npos && !Hex16(name.substr(second + 1), &bcd))) {
        return fail("expected [VID:PID] or [VID:PID:bcdDevice] in hex");
      }
      if (second != std::string_view::npos) e.bcdDevice = bcd;
      for (const BridgeEntry& other : table.entries) {
        if (other.vid == e.vid && other.pid == e.pid && other.bcdDevice == e.bcdDevice) {
          return fail("this bridge has an entry already");
        }
      }
      table.entries.push_back(e);
      entry = &table.entries.back();
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected KEY = VALUE");
    if (entry == nullptr) return fail("a key before the first [VID:PID] section");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Lower(Trim(line.substr(eq + 1)));
    if (key == "route") {
      if (!RouteFromName(value, &entry->route)) return fail("Route is 12+16, 16, 12 or none");
    } else if (key == "sense") {
      if (!SenseFromName(value, &entry->sense)) return fail("Sense is descriptor, fixed or none");
    } else if (key == "maxtransfer") {
      if (!Number(value, &entry->maxTransfer)) return fail("MaxTransfer is a number of bytes");
    } else if (key == "timeoutin" || key == "timeoutout") {
      const bool in = key == "timeoutin";
      uint32_t& seconds = in ? entry->timeouts.dataIn : entry->timeouts.dataOut;
      if (!Number(value, &seconds) || seconds < 1 ||
          seconds > transport::kMaxBridgeTimeoutSeconds) {
        return fail(std::string(in ? "TimeoutIn" : "TimeoutOut") +
                    " is a number of seconds from 1 to " +
                    std::to_string(transport::kMaxBridgeTimeoutSeconds));
      }
    } else {
      return fail("unknown key " + std::string(Trim(line.substr(0, eq))));
    }
  }
  *out = std::move(table);
  return true;
}

const BridgeEntry* FindBridgeEntry(const BridgeTable& table, uint16_t vid, uint16_t pid,
                                   int32_t bcdDevice) {
  const BridgeEntry* any = nullptr;
  for (const BridgeEntry& e : table.entries) {
    if (e.vid != vid || e.pid != pid) continue;
    if (e.bcdDevice >= 0 && e.bcdDevice == bcdDevice) return &e;
    if (e.bcdDevice < 0 && any == nullptr) any = &e;
  }
  return any;
}

std::string FormatBridgeEntry(const BridgeInfo& b) {
  char text[256];
  std::snprintf(text, sizeof text, "[%04x:%04x]\nRoute = %s\nSense = %s\nMaxTransfer = %u\n", b.vid,
                b.pid, transport::RouteName(b.route),
                b.sense == SenseFormat::kUnknown ? "none" : SenseFormatName(b.sense),
                static_cast<unsigned>(b.maxTransfer));
  std::string out = text;
  if (b.timeouts.dataIn != 0) out += "TimeoutIn = " + std::to_string(b.timeouts.dataIn) + "\n";
  if (b.timeouts.dataOut != 0) out += "TimeoutOut = " + std::to_string(b.timeouts.dataOut) + "\n";
  return out;
}

}  // namespace qelvar::discovery
