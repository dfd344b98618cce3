#include "settings/settings_file.h"

#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "settings/flash_catalogue.h"
#include "settings/images.h"
#include "settings/option_table.h"
#include "settings/profile.h"

namespace qelvar::settings {
namespace {

template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

template <size_t N>
void SetField(char (&field)[N], std::string_view text) {
  size_t n = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

uint16_t Low16(int32_t value) {
  return static_cast<uint16_t>(value);
}

void Warn(PageContext& page, std::string_view text, std::string_view caption) {
  page.messages.Show(text, caption, MessageIcon::kWarning);
}

// Resolves one firmware file name into its path field and reports whether
// the file is there.
template <size_t N>
bool ResolveFirmware(const StationPaths& paths, char (&pathField)[N], std::string_view fileName) {
  static_assert(N == kPathCapacity);
  SetField(pathField, paths.FirmwarePath(fileName));
  return FileOpensForReading(std::string(FieldText(pathField)));
}

// What SaveSettings writes for an option: its control's state on the MP
// page, the record's value where the page has no control for it.
std::string SavedValue(const OptionRow& row, const PageContext& page) {
  const SettingsView& v = page.view;
  if (row.page == OptionPage::kMp) {
    switch (row.kind) {
      case OptionKind::kFlag:
        return v.IsChecked(row.control) ? "1" : "0";
      case OptionKind::kChoice:
      case OptionKind::kIndex:
        return std::to_string(v.ComboSelection(row.control));
      case OptionKind::kText:
        return v.EditText(row.control);
      case OptionKind::kNumber16:
      case OptionKind::kDelay:
        break;
    }
  }
  if (row.kind == OptionKind::kText) return std::string(OptionText(row, page.settings));
  const int64_t value = OptionNumber(row, page.settings);
  // Delays are written as signed decimals; they read back as the same 32 bits.
  if (row.kind == OptionKind::kDelay) {
    return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(value)));
  }
  return std::to_string(value);
}

std::string_view FileNameOf(std::string_view path) {
  size_t slash = path.find_last_of(platform::kPathSeparators);
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A chosen path that does not fit its field is not stored cut (it would name
// another file); the field is left empty instead. False in that case.
template <size_t N>
bool StoreChosenPath(char (&field)[N], std::string_view path) {
  if (path.size() > N - 1) {
    SetField(field, "");
    return false;
  }
  SetField(field, path);
  return true;
}

}  // namespace

bool LoadSettings(const StationPaths& paths, MessageSink& messages, MpSettings& settings) {
  Profile ini = Profile::Read(paths.gSettingsPath);
  if (!ini.present()) {
    messages.Show("Open File Fail", "Can NOT Open File", MessageIcon::kWarning);
    return false;
  }
  for (const OptionRow& row : OptionTable()) {
    if (row.kind == OptionKind::kText) {
      std::span<char> field = row.field.text(settings);
      ini.GetString(row.section, row.key, "", field.data(), field.size());
    } else {
      SetOptionNumber(row, settings, ini.GetInt(row.section, row.key, row.fallback));
    }
  }
  // The firmware key depends on ScanRDT and OP7, loaded above.
  const std::vector<std::string> catalogue = ReadFlashCatalogue(paths.gFlashIniPath);
  const int32_t position = settings.FlashIndex;
  const bool listed = position >= 0 && static_cast<size_t>(position) < catalogue.size();
  const uint8_t storedSpiDisable = settings.SpiDisable;
  ResolveFlashFirmware(paths, settings, listed ? catalogue[static_cast<size_t>(position)] : "",
                       messages);
  // The stored key wins over what the SPI file check decided.
  settings.SpiDisable = storedSpiDisable;
  return true;
}

void ShowMpPage(const MpSettings& settings, SettingsView& view) {
  for (const OptionRow& row : OptionTable()) {
    if (row.page == OptionPage::kMp) ShowOption(row, settings, view);
  }
  view.SetEditText(ctl::kBurnerFile, FieldText(settings.DefautBnr));
  view.SetEditText(ctl::kSysFwFile, FieldText(settings.SysFwFile));
}

void LoadSettings(PageContext& page) {
  if (LoadSettings(page.paths, page.messages, page.settings)) ShowMpPage(page.settings, page.view);
}

bool SaveSettings(const PageContext& page) {
  std::vector<ProfileWrite> writes;
  for (const OptionRow& row : OptionTable()) {
    if (row.write == OptionWrite::kAtClose) {
      writes.push_back({row.section, row.key, SavedValue(row, page)});
    }
  }
  std::string why;
  if (WriteProfileStrings(page.paths.gSettingsPath, writes, &why)) return true;
  ShowNotWritten(page.messages, why);
  return false;
}

void ShowNotWritten(MessageSink& messages, std::string_view why) {
  messages.Show("Settings not saved: " + std::string(why), "Can NOT Write File",
                MessageIcon::kWarning);
}

void ResolveFlashFirmware(const StationPaths& paths, MpSettings& s, std::string_view flashName,
                          MessageSink& messages) {
  auto warn = [&](std::string_view text) {
    messages.Show(text, "Open File Fail", MessageIcon::kWarning);
  };
  // Longer catalogue names are looked up by their first 31 characters.
  const std::string section(flashName.substr(0, kFlashNameChars));
  Profile flash = Profile::Read(paths.gFlashIniPath);

  flash.GetString(section, "DefautBnr", "", s.DefautBnr, sizeof s.DefautBnr);
  if (!ResolveFirmware(paths, s.BurnerPath, FieldText(s.DefautBnr))) {
    warn("Select Burner File *bat");
  }

  flash.GetString(section, "DefautRdtParam", "", s.DefautRdtParam, sizeof s.DefautRdtParam);
  s.SetCapacity = Low16(flash.GetInt(section, "SetCapacity", 0));
  if (!ResolveFirmware(paths, s.RdtParamPath, FieldText(s.DefautRdtParam))) {
    warn("Select Burner File *bat");
  }

  std::string_view firmwareKey = s.ScanRDT ? "DefautRdtFw"
                                 : s.OP7   ? "DefautSysFwOP7"
                                           : "DefautSysFw";
  flash.GetString(section, firmwareKey, "", s.SysFwFile, sizeof s.SysFwFile);
  if (!ResolveFirmware(paths, s.SysFwPath, FieldText(s.SysFwFile))) {
    warn("Select FW File *bin");
  }

  flash.GetString(section, "DownloadSPI", "", s.DownloadSPI, sizeof s.DownloadSPI);
  if (ResolveFirmware(paths, s.SpiPath, FieldText(s.DownloadSPI))) {
    s.SpiDisable = 0;
  } else {
    s.SpiDisable = 1;
    warn("Select SPI File *bin");
  }
}

void SelectFlashFirmware(PageContext& page, int position) {
  std::string flashName;
  if (position >= 0 && position < page.view.ComboCount(ctl::kFlashSelect)) {
    flashName = page.view.ComboItemText(ctl::kFlashSelect, position);
  }
  ResolveFlashFirmware(page.paths, page.settings, flashName, page.messages);
  page.view.SetEditText(ctl::kBurnerFile, FieldText(page.settings.DefautBnr));
  page.view.SetEditText(ctl::kSysFwFile, FieldText(page.settings.SysFwFile));
}

void ChooseBurnerFile(PageContext& page, std::string_view chosenPath) {
  MpSettings& s = page.settings;
  page.view.SetEditText(ctl::kBurnerFile, FileNameOf(chosenPath));
  std::string path(chosenPath);
  if (!StoreChosenPath(s.BurnerPath, path) || !FileOpensForReading(path)) {
    Warn(page, "Open Burner Firmware Fail", "Open Fail");
    return;
  }
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    Warn(page, "Open Burner Firmware Fail", "Open Fail");
  } else if (size > kBurnerImageCapacity) {
    Warn(page, "Burner File size > 256KB", "Open Fail");
  }
}

void ChooseFirmwareFile(PageContext& page, std::string_view chosenPath) {
  page.view.SetEditText(ctl::kSysFwFile, FileNameOf(chosenPath));
  (void)StoreChosenPath(page.settings.SysFwPath, chosenPath);
}

std::string ReadMpVersion(const StationPaths& paths) {
  return Profile::Read(paths.gSettingsPath).GetString("MPOption", "MPVERSION", "", 127);
}

}  // namespace qelvar::settings
