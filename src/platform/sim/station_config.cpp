#include "platform/sim/station_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>

namespace qelvar::platform::sim {
namespace {

constexpr std::array<std::string_view, kCommandCount> kCommandNames = {"Identify",
                                                                       "EnterRomMode",
                                                                       "DownloadBurner",
                                                                       "DownloadMicrocode",
                                                                       "GetInjectStatus",
                                                                       "GetNandInfo",
                                                                       "EraseNand",
                                                                       "SkipRunBadBlocks",
                                                                       "SetDriveCapacity",
                                                                       "TriggerBurn",
                                                                       "GetCeBinTable",
                                                                       "GetCeMrTable",
                                                                       "GetBin",
                                                                       "GetRdtResult",
                                                                       "ReadFct",
                                                                       "ReadDft",
                                                                       "GetVendorIdentify",
                                                                       "CalibrateNand",
                                                                       "DownloadRdtParameters",
                                                                       "DownloadSystemFirmware",
                                                                       "DownloadSpiRom",
                                                                       "RebootDrive"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

struct Entry {
  std::string value;
  int line = 0;
  bool used = false;
};

struct Section {
  std::string name;  // as written
  int line = 0;
  std::map<std::string, Entry> keys;  // lower-cased key
};

// A whole-file INI reader: section and key names are case-insensitive, blanks
// around names and values are dropped, lines starting with ';' are comments.
bool ReadIni(std::string_view text, std::map<std::string, Section>* sections, std::string* error) {
  Section* current = nullptr;
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) {
        *error = "line " + std::to_string(lineNo) + ": section header without ']'";
        return false;
      }
      std::string name(Trim(line.substr(1, close - 1)));
      std::string key = Lower(name);
      if (sections->count(key) != 0) {
        *error = "line " + std::to_string(lineNo) + ": section [" + name + "] appears twice";
        return false;
      }
      current = &(*sections)[key];
      current->name = name;
      current->line = lineNo;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *error = "line " + std::to_string(lineNo) + ": expected key = value";
      return false;
    }
    if (current == nullptr) {
      *error = "line " + std::to_string(lineNo) + ": key outside any section";
      return false;
    }
    std::string key = Lower(Trim(line.substr(0, eq)));
    if (current->keys.count(key) != 0) {
      *error = "line " + std::to_string(lineNo) + ": key '" + key + "' appears twice in [" +
               current->name + "]";
      return false;
    }
    current->keys[key] = Entry{std::string(Trim(line.substr(eq + 1))), lineNo, false};
  }
  return true;
}

class Reader {
 public:
  Reader(Section& section, std::string* error) : section_(section), error_(error) {}

  const Entry* Find(std::string_view key) {
    auto it = section_.keys.find(Lower(key));
    if (it == section_.keys.end()) return nullptr;
    it->second.used = true;
    return &it->second;
  }

  bool Fail(const Entry& e, std::string_view key, std::string_view why) {
    *error_ = "line " + std::to_string(e.line) + ": [" + section_.name + "] " + std::string(key) +
              ": " + std::string(why);
    return false;
  }

  template <typename T>
  bool Int(std::string_view key, T* out, long long lo, long long hi) {
    const Entry* e = Find(key);
    if (e == nullptr) return true;
    long long v = 0;
    std::string_view s = e->value;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      s.remove_prefix(2);
      base = 16;
    }
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) {
      return Fail(*e, key, "not a number");
    }
    if (v < lo || v > hi) {
      return Fail(*e, key, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    *out = static_cast<T>(v);
    return true;
  }

  bool Bool(std::string_view key, bool* out) {
    int v = *out ? 1 : 0;
    if (!Int(key, &v, 0, 1)) return false;
    *out = v != 0;
    return true;
  }

  bool Text(std::string_view key, std::string* out, size_t maxLen) {
    const Entry* e = Find(key);
    if (e == nullptr) return true;
    if (e->value.size() > maxLen) {
      return Fail(*e, key, "longer than " + std::to_string(maxLen) + " characters");
    }
    for (char c : e->value) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
        return Fail(*e, key, "only printable ASCII is allowed");
      }
    }
    *out = e->value;
    return true;
  }

  template <size_t N>
  bool Hex(std::string_view key, std::array<uint8_t, N>* out, bool* given = nullptr) {
    const Entry* e = Find(key);
    if (e == nullptr) return true;
    std::string digits;
    for (char c : e->value) {
      if (c != ' ') digits.push_back(c);
    }
    if (digits.size() != 2 * N) {
      return Fail(*e, key, "expected " + std::to_string(2 * N) + " hex digits");
    }
    for (size_t i = 0; i < N; ++i) {
      unsigned v = 0;
      auto [p, ec] = std::from_chars(digits.data() + 2 * i, digits.data() + 2 * i + 2, v, 16);
      if (ec != std::errc() || p != digits.data() + 2 * i + 2) return Fail(*e, key, "not hex");
      (*out)[i] = static_cast<uint8_t>(v);
    }
    if (given != nullptr) *given = true;
    return true;
  }

  // Every key must be known: a misspelt key would otherwise silently leave a
  // drive healthy.
  bool NoUnknownKeys() {
    for (auto& [key, e] : section_.keys) {
      if (!e.used) return Fail(e, key, "unknown key");
    }
    return true;
  }

  Section& section() { return section_; }

 private:
  Section& section_;
  std::string* error_;
};

bool ParseFault(Reader& r, std::string_view key, const Entry& e, DriveConfig* d) {
  // Name, Name:n, Name:n:step; n may be '*' (every one).
  std::string_view v = e.value;
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (true) {
    size_t colon = v.find(':', pos);
    parts.push_back(Trim(v.substr(pos, colon == std::string_view::npos ? v.npos : colon - pos)));
    if (colon == std::string_view::npos) break;
    pos = colon + 1;
  }
  if (parts.size() > 3) return r.Fail(e, key, "expected Command, Command:n or Command:n:step");
  FaultRule rule;
  if (!CommandFromName(parts[0], &rule.command)) {
    return r.Fail(e, key, "unknown command '" + std::string(parts[0]) + "'");
  }
  auto number = [&](std::string_view s, uint32_t* out, bool star) {
    if (star && s == "*") {
      *out = 0;
      return true;
    }
    uint32_t n = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || p != s.data() + s.size() || n == 0) return false;
    *out = n;
    return true;
  };
  if (parts.size() > 1 && !number(parts[1], &rule.nth, true)) {
    return r.Fail(e, key, "the count must be a number from 1, or *");
  }
  if (parts.size() > 2 && !number(parts[2], &rule.step, false)) {
    return r.Fail(e, key, "the step must be a number from 1");
  }
  d->faults.push_back(rule);
  return true;
}

// The flash IDs the simulated drives report by default, one per drive in
// turn: the eleven parts the station recognises, written out here from the
// parts' data sheets rather than taken from the station's own table, so that
// a wrong entry there shows up as an unrecognised flash in the tests.
constexpr size_t kDefaultFlashCount = 11;
constexpr std::array<uint8_t, 6> kDefaultFlashIds[kDefaultFlashCount] = {
    {0x2C, 0x84, 0x64, 0x54, 0xA9, 0x00}, {0x2C, 0xC4, 0xE5, 0x32, 0xAA, 0x04},
    {0x2C, 0xB4, 0x78, 0x32, 0xAA, 0x04}, {0x2C, 0xA4, 0x08, 0x32, 0xA1, 0x00},
    {0x2C, 0xC4, 0x08, 0x32, 0xA6, 0x00}, {0x89, 0xA4, 0x08, 0x32, 0xA1, 0x00},
    {0x89, 0xC4, 0x08, 0x32, 0xA6, 0x00}, {0x98, 0x3A, 0x98, 0xA3, 0x7A, 0x51},
    {0x45, 0x3C, 0x98, 0xB3, 0x76, 0x72}, {0x45, 0x3A, 0x98, 0xB3, 0x76, 0x72},
    {0x9B, 0x49, 0x01, 0x00, 0x9B, 0x49},
};

bool ParseDrive(Section& s, int index, const StationConfig& st, DriveConfig* d,
                std::string* error) {
  Reader r(s, error);
  d->index = index;
  d->name = "Drive" + std::to_string(index);
  char serial[32];
  std::snprintf(serial, sizeof serial, "QSIM%016d", index);
  d->serial = serial;
  d->flashId = kDefaultFlashIds[static_cast<size_t>(index) % kDefaultFlashCount];
  d->seed = static_cast<uint32_t>(index + 1);
  if (st.hubs > 0) {
    d->hub = index / st.hubPorts;
    d->hubPort = index % st.hubPorts + 1;
  } else {
    d->hub = -1;
    d->hubPort = index + 1;
  }
  std::string mode = "Normal";
  std::string rdt = "PASS";
  uint64_t sectors = d->sectors;
  std::string bridge;
  bool ok = r.Int("Hub", &d->hub, -1, 23) && r.Int("HubPort", &d->hubPort, 1, 24) &&
            r.Text("Model", &d->model, 40) && r.Text("Serial", &d->serial, 20) &&
            r.Text("Firmware", &d->firmware, 8) && r.Text("RomModel", &d->romModel, 40) &&
            r.Text("RomSerial", &d->romSerial, 20) && r.Text("RomFirmware", &d->romFirmware, 8) &&
            r.Int("Sectors", &sectors, 0, 0xFFFFFFFFFFFFLL) && r.Bool("Removable", &d->removable) &&
            r.Bool("Identify", &d->identify) && r.Text("Mode", &mode, 16) &&
            r.Int("Channels", &d->channels, 1, 2) && r.Int("CEs", &d->ces, 1, 4) &&
            r.Int("Luns", &d->luns, 1, 2) && r.Int("Planes", &d->planes, 1, 4) &&
            r.Hex("FlashId", &d->flashId) && r.Int("CEPresent", &d->cePresent, 0, 8) &&
            r.Int("Bin", &d->bin, 0, 255) && r.Hex("CeBin", &d->ceBin, &d->ceBinGiven) &&
            r.Hex("CeMr", &d->ceMr) && r.Text("RdtResult", &rdt, 16) &&
            r.Int("RdtEntries", &d->rdtEntries, 0, 2096) &&
            r.Int("RdtHeaderOffset", &d->rdtHeaderOffset, 8, 127) &&
            r.Int("RdtVersion", &d->rdtVersion, 0, 0xFFFFFFFFLL) &&
            r.Int("FactoryBad", &d->factoryBad, 0, 1 << 20) &&
            r.Int("RuntimeBad", &d->runtimeBad, 0, 1 << 20) &&
            r.Int("BadBlockNumber", &d->badBlockNumber, 0, 0xFFFFFFFFLL) &&
            r.Int("BitmapBytes", &d->bitmapBytes, -32768, 32672) &&
            r.Int("Seed", &d->seed, 0, 0xFFFFFFFFLL) &&
            r.Int("StatusFirst", &d->statusFirst, 0, 0xFFFFFFFFLL) &&
            r.Int("StatusAfterBurn", &d->statusAfterBurn, 0, 0xFFFFFFFFLL) &&
            r.Int("StatusAfterSpi", &d->statusAfterSpi, 0, 0xFFFFFFFFLL) &&
            r.Int("EraseBusyPolls", &d->eraseBusyPolls, 0, 1000000) &&
            r.Int("BurnBusyPolls", &d->burnBusyPolls, 0, 1000000) &&
            r.Int("CalibrateBusyPolls", &d->calibrateBusyPolls, 0, 1000000) &&
            r.Int("CapacitySectors", &d->capacitySectors, 0, 0xFFFFFFFFLL) &&
            r.Int("RebootMs", &d->rebootMs, 0, 600000) &&
            r.Int("RomEntryMs", &d->romEntryMs, 0, 600000) &&
            r.Bool("ExpectSysFw", &d->expectSysFw) &&
            r.Int("UsbVendorId", &d->usbVendorId, 0, 0xFFFF) &&
            r.Int("UsbProductId", &d->usbProductId, 0, 0xFFFF) &&
            r.Text("UsbSerial", &d->usbSerial, 63) &&
            r.Int("InquiryVersion", &d->inquiryVersion, 0, 7) && r.Text("Bridge", &bridge, 40);
  ok = ok && r.Int("TimeoutIn", &d->timeoutIn, 0, 3600) &&
       r.Int("TimeoutOut", &d->timeoutOut, 0, 3600);
  if (!ok) return false;
  if (!bridge.empty() && !ParseBridge(bridge, &d->bridge)) {
    return r.Fail(*r.Find("Bridge"), "Bridge",
                  "expected sat, sat16-only, sat12-only, no-ck-cond-sense, fixed-sense, "
                  "max-transfer=N (a multiple of 512) or no-pass-through");
  }
  if (d->usbSerial.empty()) {
    std::snprintf(serial, sizeof serial, "QBRG%08d", index);
    d->usbSerial = serial;
  }
  d->sectors = sectors;
  std::string m = Lower(mode);
  if (m == "normal") {
    d->startMode = StartMode::Normal;
  } else if (m == "rom") {
    d->startMode = StartMode::Rom;
  } else {
    return r.Fail(*r.Find("Mode"), "Mode", "expected Normal or Rom");
  }
  std::string rl = Lower(rdt);
  if (rl == "pass") {
    d->rdt = DriveConfig::Rdt::Pass;
  } else if (rl == "none") {
    d->rdt = DriveConfig::Rdt::None;
  } else {
    uint32_t lun = 0;
    auto [p, ec] = std::from_chars(rdt.data(), rdt.data() + rdt.size(), lun);
    if (ec != std::errc() || p != rdt.data() + rdt.size()) {
      return r.Fail(*r.Find("RdtResult"), "RdtResult", "expected PASS, NONE or a LUN index");
    }
    // The PASS word itself cannot be a failing LUN index.
    if (lun == 0x50415353u) return r.Fail(*r.Find("RdtResult"), "RdtResult", "reserved value");
    d->rdt = DriveConfig::Rdt::FailLun;
    d->rdtFailLun = lun;
  }
  if (d->cePresent < 0) d->cePresent = d->channels * d->ces;
  if (!d->ceBinGiven) {
    for (int ch = 0; ch < 2; ++ch) {
      for (int ce = 0; ce < 4; ++ce) {
        d->ceBin[static_cast<size_t>(ce * 2 + ch)] = (ch < d->channels && ce < d->ces) ? d->bin : 0;
      }
    }
  }
  if (d->capacitySectors == 0) {
    d->capacitySectors = static_cast<uint32_t>(std::min<uint64_t>(d->sectors, 0xFFFFFFFFu));
  }
  uint64_t maxEntries = (16896 - 16 - d->rdtHeaderOffset) / 8;
  if (d->rdtEntries > maxEntries) {
    return r.Fail(*r.Find("RdtEntries"), "RdtEntries",
                  "more entries than fit the 16,896-byte log (" + std::to_string(maxEntries) + ")");
  }
  uint64_t bits = d->bitmapBytes > 0 ? static_cast<uint64_t>(d->bitmapBytes) * 8 : 0;
  if (static_cast<uint64_t>(d->factoryBad) + d->runtimeBad > bits) {
    const Entry* e = r.Find("FactoryBad");
    if (e == nullptr) e = r.Find("RuntimeBad");
    if (e == nullptr) e = r.Find("BitmapBytes");
    Entry fallback{"", s.line, true};
    return r.Fail(e != nullptr ? *e : fallback, "FactoryBad",
                  "more bad units than the bitmap holds");
  }
  // Fault keys: Fail, Fail2, Fail3, ...
  for (auto& [key, e] : s.keys) {
    if (key.rfind("fail", 0) != 0) continue;
    std::string_view rest = std::string_view(key).substr(4);
    bool digits =
        std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) continue;
    e.used = true;
    if (!ParseFault(r, key, e, d)) return false;
  }
  if (d->hub >= st.hubs) {
    const Entry* e = r.Find("Hub");
    Entry fallback{"", s.line, true};
    return r.Fail(e != nullptr ? *e : fallback, "Hub",
                  "no such hub (the station has " + std::to_string(st.hubs) + ")");
  }
  int ports = d->hub < 0 ? st.rootPorts : st.hubPorts;
  if (d->hubPort > ports) {
    const Entry* e = r.Find("HubPort");
    Entry fallback{"", s.line, true};
    return r.Fail(e != nullptr ? *e : fallback, "HubPort", "beyond the hub's ports");
  }
  if (d->hub < 0 && d->hubPort <= st.hubs) {
    const Entry* e = r.Find("HubPort");
    Entry fallback{"", s.line, true};
    return r.Fail(e != nullptr ? *e : fallback, "HubPort",
                  "root ports 1.." + std::to_string(st.hubs) + " carry the external hubs");
  }
  return r.NoUnknownKeys();
}

}  // namespace

std::string_view CommandName(Command command) {
  return kCommandNames[static_cast<size_t>(command)];
}

bool CommandFromName(std::string_view name, Command* out) {
  std::string wanted = Lower(name);
  for (size_t i = 0; i < kCommandCount; ++i) {
    if (Lower(kCommandNames[i]) == wanted) {
      *out = static_cast<Command>(i);
      return true;
    }
  }
  return false;
}

bool ParseStation(std::string_view text, std::string_view baseDir, StationConfig* out,
                  std::string* error) {
  std::map<std::string, Section> sections;
  if (!ReadIni(text, &sections, error)) return false;
  StationConfig st;
  auto it = sections.find("station");
  if (it != sections.end()) {
    Reader r(it->second, error);
    if (!r.Int("Hubs", &st.hubs, 0, 8) || !r.Int("HubPorts", &st.hubPorts, 1, 24) ||
        !r.Int("RootPorts", &st.rootPorts, 1, 24) || !r.Text("TraceFile", &st.traceFile, 4096) ||
        !r.Text("DumpDir", &st.dumpDir, 4096) ||
        !r.Int("PauseToleranceUs", &st.pauseToleranceUs, 0, 5000) || !r.NoUnknownKeys()) {
      return false;
    }
    if (st.rootPorts < st.hubs) {
      *error = "[Station] RootPorts: fewer root ports than hubs";
      return false;
    }
    sections.erase(it);
  }
  auto resolve = [&](std::string* path) {
    if (path->empty() || baseDir.empty()) return;
    std::filesystem::path p(*path);
    if (p.is_relative()) *path = (std::filesystem::path(baseDir) / p).string();
  };
  resolve(&st.traceFile);
  resolve(&st.dumpDir);

  std::map<int, Section*> driveSections;
  for (auto& [key, section] : sections) {
    std::string_view rest = key;
    int n = -1;
    if (rest.rfind("drive", 0) == 0) {
      rest.remove_prefix(5);
      auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
      if (ec != std::errc() || p != rest.data() + rest.size() || rest.empty()) n = -1;
    }
    if (n < 0 || n >= kMaxDrives) {
      *error = "line " + std::to_string(section.line) + ": unknown section [" + section.name +
               "] (expected [Station] or [Drive0] to [Drive23])";
      return false;
    }
    driveSections[n] = &section;
  }
  for (auto& [n, section] : driveSections) {
    DriveConfig d;
    if (!ParseDrive(*section, n, st, &d, error)) return false;
    for (const DriveConfig& other : st.drives) {
      if (other.hub == d.hub && other.hubPort == d.hubPort) {
        *error = "[" + section->name + "] shares its hub port with " + other.name;
        return false;
      }
    }
    st.drives.push_back(std::move(d));
  }
  *out = std::move(st);
  return true;
}

}  // namespace qelvar::platform::sim
