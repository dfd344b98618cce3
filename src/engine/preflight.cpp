#include "engine/preflight.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/system_parameter_block.h"
#include "platform/files.h"
#include "settings/flash_catalogue.h"
#include "settings/images.h"
#include "settings/profile.h"

namespace qelvar::engine {
namespace {

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

bool Printable(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string PortName(int port) {
  return "port " + std::to_string(port + 1);
}

// An identity text the drive gets: not empty, printable ASCII, within its
// field. Text beyond the field is refused rather than cut, so a multi-byte
// character is never split.
void CheckIdentityText(std::string_view field, std::string_view text, size_t maxChars,
                       std::vector<std::string>& problems) {
  if (text.empty()) {
    problems.push_back(std::string(field) + " is empty: enter it before Start");
  } else if (!Printable(text)) {
    problems.push_back(std::string(field) + " " + Quoted(text) +
                       " holds characters other than printable ASCII: type it again in plain "
                       "letters, digits and signs");
  } else if (text.size() > maxChars) {
    problems.push_back(std::string(field) + " " + Quoted(text) + " is longer than " +
                       std::to_string(maxChars) + " characters: shorten it");
  }
}

// A file a checked step downloads: present, readable, not empty and within
// its buffer (`minBytes` for an image that must carry a header).
void CheckImage(std::string_view step, const std::string& path, uint64_t minBytes,
                uint64_t capacity, std::vector<std::string>& problems) {
  const std::string where = std::string(step) + ": the image " + path;
  std::error_code ec;
  if (path.empty()) {
    problems.push_back(std::string(step) +
                       ": no image file is named for the selected flash: "
                       "set its file in flash.ini or choose another flash");
    return;
  }
  if (!std::filesystem::is_regular_file(path, ec)) {
    problems.push_back(where + " does not exist: put the file there or choose another flash");
    return;
  }
  if (!settings::FileOpensForReading(path)) {
    problems.push_back(where + " cannot be read: check its permissions");
    return;
  }
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    problems.push_back(where + " cannot be read: check its permissions");
  } else if (size == 0) {
    problems.push_back(where + " is empty: put the real image there");
  } else if (size < minBytes) {
    problems.push_back(where + " is " + std::to_string(size) + " bytes, shorter than its " +
                       std::to_string(minBytes) + "-byte header: put the real image there");
  } else if (size > capacity) {
    problems.push_back(where + " is " + std::to_string(size) + " bytes, larger than its " +
                       std::to_string(capacity) + "-byte buffer: put the right image there");
  }
}

// A file can be created and written in `folder` (the way every file of the
// station is written: aside, then renamed). A few kilobytes are written and
// flushed, so a full disk fails here and not at the write that matters.
bool CanCreateFileIn(const std::string& folder) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return false;
  const std::filesystem::path probe = std::filesystem::path(folder) / ".qelvar-write-probe";
  bool created = false;
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    const std::string bytes(16 * 1024, '\n');
    created =
        out && out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush();
    out.close();
    created = created && !out.fail();
  }
  std::filesystem::remove(probe, ec);
  return created;
}

void CheckSettingsFile(const settings::StationPaths& paths, std::vector<std::string>& problems) {
  std::string text;
  std::error_code ec;
  if (!std::filesystem::exists(paths.gSettingsPath, ec)) {
    problems.push_back("the settings file " + paths.gSettingsPath +
                       " does not exist: a run needs its options; put the station's "
                       "speedQelvar.ini there");
    return;
  }
  if (!settings::ReadWholeFile(paths.gSettingsPath, text)) {
    problems.push_back("the settings file " + paths.gSettingsPath +
                       " cannot be read: check its permissions");
    return;
  }
  for (std::string_view section : {"MPOption", "Identify", "FlashSelect"}) {
    if (settings::HasProfileSection(text, section)) return;
  }
  problems.push_back("the settings file " + paths.gSettingsPath +
                     " is not a settings file: it has none of the sections [MPOption], "
                     "[Identify] and [FlashSelect]; put the station's speedQelvar.ini back");
}

void CheckBarcodes(const PreflightRequest& r, std::vector<std::string>& problems) {
  const Station& station = r.station;
  const int count = station.gBarcodeCount;
  auto code = [&](int k) {
    const char* text = r.settings.barcodes[k];
    return std::string_view(text, strnlen(text, settings::kBarcodeCapacity));
  };
  for (int p : r.ports) {
    if (p >= count) {
      char text[96];
      std::snprintf(text, sizeof text,
                    "Port%d device has no bar code, please rescan all bar code again", p);
      problems.push_back(text);
      continue;
    }
    const std::string_view mine = code(p);
    if (mine.empty()) {
      problems.push_back(PortName(p) + " has an empty barcode: scan its drive's label again");
      continue;
    }
    if (!Printable(mine)) {
      problems.push_back(PortName(p) + " has the barcode " + Quoted(mine) +
                         " with characters other than printable ASCII: scan its label again");
      continue;
    }
    for (int k = 0; k < count; ++k) {
      // A pair of started ports is named once, at the later of the two.
      const bool started = std::find(r.ports.begin(), r.ports.end(), k) != r.ports.end();
      if (k != p && (k < p || !started) && code(k) == mine) {
        problems.push_back(PortName(p) + " has the barcode " + Quoted(mine) + ", the same as " +
                           PortName(k) + ": every drive needs its own code; scan them again");
        break;
      }
    }
    if (r.recorder != nullptr) {
      const std::string earlier = r.recorder->EarlierPassed(mine);
      if (!earlier.empty()) {
        problems.push_back(PortName(p) + " has the barcode " + Quoted(mine) +
                           ", already on a passed drive (" + earlier +
                           "): scan the label of the drive in this port");
      }
    }
  }
}

}  // namespace

SerialRule SerialRuleOf(const settings::MpSettings& settings, bool keepSn, const Station& station) {
  if (keepSn) return SerialRule::kKept;
  if (station.gBarcodeDone) return SerialRule::kBarcodes;
  if (settings.SNFix) return SerialRule::kFixed;
  if (settings.SNAutoIncrease) return SerialRule::kAutoIncrease;
  return SerialRule::kSameForAll;
}

std::vector<std::string> PreflightProblems(const PreflightRequest& r) {
  std::vector<std::string> problems;
  const settings::MpSettings& s = r.settings;

  CheckSettingsFile(r.paths, problems);

  // The images of the checked steps, as the flow downloads them.
  const bool eraseAll = s.NandEraseAll != 0;
  const bool burner = s.DownloadBurner != 0 || eraseAll;
  const bool rdtParams = s.DownloadBurner && s.ScanRDT && !eraseAll;
  const bool sysFw = s.DownloadSysFW && !eraseAll;
  const bool spi = !s.SpiDisable && s.DownloadBurner && !eraseAll;
  const bool identity = sysFw && !s.ScanRDT;
  const bool needsFlash = burner || rdtParams || sysFw || spi;

  if (needsFlash) {
    const std::vector<std::string> catalogue = settings::ReadFlashCatalogue(r.paths.gFlashIniPath);
    if (catalogue.empty()) {
      problems.push_back("the flash catalogue " + r.paths.gFlashIniPath +
                         " lists no flash part: put the station's flash.ini there");
    } else if (s.FlashIndex < 0 || static_cast<size_t>(s.FlashIndex) >= catalogue.size()) {
      problems.push_back("FlashIndex " + std::to_string(s.FlashIndex) +
                         " of the settings names no flash part of the " +
                         std::to_string(catalogue.size()) + " in " + r.paths.gFlashIniPath +
                         ": choose one in \"Flash Select\"");
    }
  }
  if (burner) {
    CheckImage("Download Burner", FieldText(s.BurnerPath), 1, settings::kBurnerImageCapacity,
               problems);
  }
  if (rdtParams) {
    CheckImage("RDT parameters", FieldText(s.RdtParamPath), 1, settings::kRdtParamImageCapacity,
               problems);
  }
  if (sysFw) {
    CheckImage(s.ScanRDT ? "RDT firmware" : "Download FW", FieldText(s.SysFwPath),
               identity ? kImageHeaderBytes : 1, settings::kSysFwImageCapacity, problems);
  }
  if (spi) {
    CheckImage("SPI ROM", FieldText(s.SpiPath), 1, settings::kSpiImageCapacity, problems);
  }

  const SerialRule rule = r.singlePort ? SerialRule::kKept : SerialRuleOf(s, r.keepSn, r.station);
  if (identity) {
    CheckIdentityText("Model Name", r.modelName, 40, problems);
    CheckIdentityText("FW Version", r.fwVersion, 8, problems);
    if (rule == SerialRule::kAutoIncrease || rule == SerialRule::kSameForAll) {
      if (!(r.serialsFromLedger && r.snEdit.empty())) {
        CheckIdentityText("SN", r.snEdit, 20, problems);
      }
    } else if (rule == SerialRule::kKept && !r.singlePort) {
      for (int p : r.ports) {
        const char* serial = r.station.ports.gDeviceInfo[static_cast<size_t>(p)].SerialNumber;
        std::string_view text(serial, strnlen(serial, 21));
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        if (text.empty() || !Printable(text)) {
          problems.push_back(PortName(p) +
                             " has no serial number of its own to keep: clear "
                             "\"keep SN\" or give the drive a serial number");
        }
      }
    }
  }
  if (rule == SerialRule::kBarcodes) CheckBarcodes(r, problems);

  // Where the results go.
  if (s.RDTRecordEn || s.PrintBBT) {
    const std::string dbug = r.paths.DbugDir();
    (void)platform::MakeFolder(dbug);
    if (!CanCreateFileIn(dbug)) {
      problems.push_back("the report folder " + dbug +
                         " cannot be written: make it a folder this user may write, or the "
                         "drives' reports are lost");
    }
  }
  if (rule == SerialRule::kAutoIncrease) {
    const std::string folder = std::filesystem::path(r.paths.gSettingsPath).parent_path().string();
    if (settings::IsReadOnlyFile(r.paths.gSettingsPath) || !CanCreateFileIn(folder)) {
      problems.push_back("the settings file " + r.paths.gSettingsPath +
                         " cannot be written, and the next serial number must be saved there: "
                         "make it writable, or the next Start repeats these serials");
    }
  }
  if (r.recorder != nullptr) {
    for (std::string& line : r.recorder->StartProblems()) problems.push_back(std::move(line));
  }
  return problems;
}

std::string PreflightMessage(const std::vector<std::string>& problems) {
  std::string text(kPreflightHeading);
  for (const std::string& line : problems) text += "\n- " + line;
  return text;
}

}  // namespace qelvar::engine
