#include "settings/settings_file.h"

#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "settings/images.h"
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

uint8_t Low8(int32_t value) {
  return static_cast<uint8_t>(value);
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
bool ResolveFirmware(const PageContext& page, char (&pathField)[N], std::string_view fileName) {
  static_assert(N == kPathCapacity);
  SetField(pathField, page.paths.FirmwarePath(fileName));
  return FileOpensForReading(std::string(FieldText(pathField)));
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

void LoadSettings(PageContext& page) {
  MpSettings& s = page.settings;
  SettingsView& v = page.view;
  Profile ini = Profile::Read(page.paths.gSettingsPath);
  if (!ini.present()) {
    Warn(page, "Open File Fail", "Can NOT Open File");
    return;
  }
  auto flag = [&](std::string_view section, std::string_view key) {
    return Low8(ini.GetInt(section, key, 0));
  };
  auto show = [&](int id, uint8_t value) { v.SetChecked(id, value != 0); };

  s.FlashIndex = ini.GetInt("FlashSelect", "FlashIndex", 0);
  v.SetComboSelection(ctl::kFlashSelect, s.FlashIndex);

  s.DownloadBurner = flag("MPOption", "DownloadBurner");
  show(ctl::kDownloadBurner, s.DownloadBurner);
  s.ScanRDT = flag("MPOption", "ScanRDT");
  show(ctl::kScanRDT, s.ScanRDT);
  s.DownloadSysFW = flag("MPOption", "DownloadSysFW");
  show(ctl::kDownloadSysFW, s.DownloadSysFW);
  s.NandErase = flag("MPOption", "NandErase");
  show(ctl::kNandErase, s.NandErase);
  s.OP7 = flag("MPOption", "OP7");
  show(ctl::kOP7, s.OP7);
  s.NandEraseSelect = flag("MPOption", "NandEraseSelect");
  v.SetComboSelection(ctl::kNandEraseSelect, s.NandEraseSelect);
  s.SetBin = flag("Identify", "SetBin");
  v.SetComboSelection(ctl::kSetBin, s.SetBin);
  s.NandCalibration = flag("MPOption", "NandCalibration");
  show(ctl::kNandCalibration, s.NandCalibration);
  s.NandEraseAll = flag("MPOption", "NandEraseAll");
  show(ctl::kNandEraseAll, s.NandEraseAll);

  SelectFlashFirmware(page, s.FlashIndex);

  ini.GetString("Identify", "ModelName", "", s.ModelName, sizeof s.ModelName);
  v.SetEditText(ctl::kModelName, FieldText(s.ModelName));
  v.SetEditText(ctl::kSN, ini.GetString("Identify", "SN", "", 20));
  s.SNAutoIncrease = flag("Identify", "SNAutoIncrease");
  show(ctl::kSNAutoIncrease, s.SNAutoIncrease);
  s.SNFix = flag("Identify", "SNFix");
  show(ctl::kSNFix, s.SNFix);
  ini.GetString("Identify", "FWOriver", "", s.FWOriver, sizeof s.FWOriver);
  ini.GetString("Identify", "FWVersion", "", s.FWVersion, sizeof s.FWVersion);
  v.SetEditText(ctl::kFWVersion, FieldText(s.FWVersion));
  s.FWVersionUserDefine = flag("Identify", "FWVersionUserDefine");
  show(ctl::kFWVersionUserDefine, s.FWVersionUserDefine);

  s.ErrBitSlc = Low16(ini.GetInt("RDTParam", "ErrBitSlc", 60));
  s.PeCycSlc = Low16(ini.GetInt("RDTParam", "PeCycSlc", 4));
  s.ErrBitTlc = Low16(ini.GetInt("RDTParam", "ErrBitTlc", 160));
  s.PeCycTlc = Low16(ini.GetInt("RDTParam", "PeCycTlc", 4));
  s.MaxRunHours = Low16(ini.GetInt("RDTParam", "MaxRunHours", 3));
  s.MaxLaterBadLun = Low16(ini.GetInt("RDTParam", "MaxLaterBadLun", 256));
  s.StartWeru = Low16(ini.GetInt("RDTParam", "StartWeru", 0));
  s.EndWeru = Low16(ini.GetInt("RDTParam", "EndWeru", 0));
  s.Resv1 = Low16(ini.GetInt("RDTParam", "Resv1", 0));
  s.Resv2 = Low16(ini.GetInt("RDTParam", "Resv2", 0));

  s.DelayBurner = static_cast<uint32_t>(ini.GetInt("DelayTime", "DelayBurner", 0));
  s.DelayNandCali = static_cast<uint32_t>(ini.GetInt("DelayTime", "DelayNandCali", 0));
  s.DelayNandErase = static_cast<uint32_t>(ini.GetInt("DelayTime", "DelayNandErase", 0));
  s.DelayReboot = static_cast<uint32_t>(ini.GetInt("DelayTime", "DelayReboot", 0));

  s.RDTRecordEn = flag("Debug", "RDTRecordEn");
  s.JumpToFT3 = flag("Debug", "JumpToFT3");
  s.PrintBBT = flag("Debug", "PrintBBT");
  s.RdtParamEn = flag("Debug", "RdtParamEn");
  s.FormatEn = flag("FormatVolume", "FormatEn");
  s.KeepSN = flag("Debug", "KeepSN");
  s.Tem54 = flag("Debug", "54TEM");
  // The stored key wins over what the SPI file check above decided.
  s.SpiDisable = flag("Debug", "SpiDisable");
  s.Skip_RunBad = flag("Debug", "Skip_RunBad");
  s.BDIPM = flag("Debug", "BDIPM");
  s.BHIPM = flag("Debug", "BHIPM");

  show(ctl::kFormatEn, s.FormatEn);
  show(ctl::kKeepSN, s.KeepSN);
  show(ctl::kSpiDisable, s.SpiDisable);
  show(ctl::kSkipRunBad, s.Skip_RunBad);

  ini.GetString("FormatVolume", "FileType", "", s.FileType, sizeof s.FileType);
}

bool SaveSettings(const PageContext& page) {
  const SettingsView& v = page.view;
  const MpSettings& s = page.settings;
  auto box = [&](int id) { return std::string(v.IsChecked(id) ? "1" : "0"); };
  auto combo = [&](int id) { return std::to_string(v.ComboSelection(id)); };
  // Delays are written as signed decimals; they read back as the same 32 bits.
  auto delay = [](uint32_t value) { return std::to_string(static_cast<int32_t>(value)); };

  const std::vector<ProfileWrite> writes = {
      {"FlashSelect", "FlashIndex", combo(ctl::kFlashSelect)},
      {"MPOption", "DownloadBurner", box(ctl::kDownloadBurner)},
      {"MPOption", "DownloadSysFW", box(ctl::kDownloadSysFW)},
      {"MPOption", "NandErase", box(ctl::kNandErase)},
      {"MPOption", "NandEraseSelect", combo(ctl::kNandEraseSelect)},
      {"MPOption", "NandCalibration", box(ctl::kNandCalibration)},
      {"MPOption", "NandEraseAll", box(ctl::kNandEraseAll)},
      {"Identify", "SetBin", combo(ctl::kSetBin)},
      {"Identify", "ModelName", v.EditText(ctl::kModelName)},
      {"Identify", "SN", v.EditText(ctl::kSN)},
      {"Identify", "SNAutoIncrease", box(ctl::kSNAutoIncrease)},
      {"Identify", "SNFix", box(ctl::kSNFix)},
      {"Identify", "FWVersion", v.EditText(ctl::kFWVersion)},
      {"Identify", "FWVersionUserDefine", box(ctl::kFWVersionUserDefine)},
      {"DelayTime", "DelayBurner", delay(s.DelayBurner)},
      {"DelayTime", "DelayNandCali", delay(s.DelayNandCali)},
      {"DelayTime", "DelayNandErase", delay(s.DelayNandErase)},
      {"DelayTime", "DelayReboot", delay(s.DelayReboot)},
      {"FormatVolume", "FormatEn", box(ctl::kFormatEn)},
      {"Debug", "KeepSN", box(ctl::kKeepSN)},
      {"Debug", "SpiDisable", box(ctl::kSpiDisable)},
      {"Debug", "Skip_RunBad", box(ctl::kSkipRunBad)},
  };
  std::string why;
  if (WriteProfileStrings(page.paths.gSettingsPath, writes, &why)) return true;
  ShowNotWritten(page.messages, why);
  return false;
}

void ShowNotWritten(MessageSink& messages, std::string_view why) {
  messages.Show("Settings not saved: " + std::string(why), "Can NOT Write File",
                MessageIcon::kWarning);
}

void SelectFlashFirmware(PageContext& page, int position) {
  MpSettings& s = page.settings;
  SettingsView& v = page.view;

  std::string section;
  if (position >= 0 && position < v.ComboCount(ctl::kFlashSelect)) {
    section = v.ComboItemText(ctl::kFlashSelect, position);
  }
  // Longer catalogue names are looked up by their first 31 characters.
  if (section.size() > kFlashNameChars) section.resize(kFlashNameChars);
  Profile flash = Profile::Read(page.paths.gFlashIniPath);

  flash.GetString(section, "DefautBnr", "", s.DefautBnr, sizeof s.DefautBnr);
  v.SetEditText(ctl::kBurnerFile, FieldText(s.DefautBnr));
  if (!ResolveFirmware(page, s.BurnerPath, FieldText(s.DefautBnr))) {
    Warn(page, "Select Burner File *bat", "Open File Fail");
  }

  flash.GetString(section, "DefautRdtParam", "", s.DefautRdtParam, sizeof s.DefautRdtParam);
  s.SetCapacity = Low16(flash.GetInt(section, "SetCapacity", 0));
  if (!ResolveFirmware(page, s.RdtParamPath, FieldText(s.DefautRdtParam))) {
    Warn(page, "Select Burner File *bat", "Open File Fail");
  }

  std::string_view firmwareKey = s.ScanRDT ? "DefautRdtFw"
                                 : s.OP7   ? "DefautSysFwOP7"
                                           : "DefautSysFw";
  flash.GetString(section, firmwareKey, "", s.SysFwFile, sizeof s.SysFwFile);
  v.SetEditText(ctl::kSysFwFile, FieldText(s.SysFwFile));
  if (!ResolveFirmware(page, s.SysFwPath, FieldText(s.SysFwFile))) {
    Warn(page, "Select FW File *bin", "Open File Fail");
  }

  flash.GetString(section, "DownloadSPI", "", s.DownloadSPI, sizeof s.DownloadSPI);
  if (ResolveFirmware(page, s.SpiPath, FieldText(s.DownloadSPI))) {
    s.SpiDisable = 0;
  } else {
    s.SpiDisable = 1;
    Warn(page, "Select SPI File *bin", "Open File Fail");
  }
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
