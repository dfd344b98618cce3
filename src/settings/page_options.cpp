#include "settings/page_options.h"

#include <string>

#include "settings/profile.h"

namespace qelvar::settings {
namespace {

uint8_t Box(const PageContext& page, int id) {
  return page.view.IsChecked(id) ? 1 : 0;
}

void SetEraseScope(PageContext& page, uint8_t scope) {
  page.settings.NandEraseSelect = scope;
  page.view.SetComboSelection(ctl::kNandEraseSelect, scope);
}

}  // namespace

void OnOptionChanged(PageContext& page, const OptionRow& row) {
  if (row.change == OptionChange::kCollect) {
    CollectOption(row, page.view, page.settings);
  } else if (row.change == OptionChange::kHandler && row.handler) {
    row.handler(page);
  }
}

void OnDownloadBurner(PageContext& page) {
  MpSettings& s = page.settings;
  s.DownloadBurner = Box(page, ctl::kDownloadBurner);
  if (!s.DownloadBurner) {
    // Erase and calibration run inside the burner: without it they cannot.
    page.view.SetChecked(ctl::kNandErase, false);
    page.view.SetChecked(ctl::kNandCalibration, false);
    s.NandErase = 0;
    s.NandCalibration = 0;
  }
}

void OnNandErase(PageContext& page) {
  MpSettings& s = page.settings;
  s.NandErase = Box(page, ctl::kNandErase);
  if (s.NandErase) {
    page.view.SetChecked(ctl::kDownloadBurner, true);
    s.DownloadBurner = 1;
  }
}

void OnNandCalibration(PageContext& page) {
  MpSettings& s = page.settings;
  s.NandCalibration = Box(page, ctl::kNandCalibration);
  if (s.NandCalibration) {
    page.view.SetChecked(ctl::kDownloadBurner, true);
    s.DownloadBurner = 1;
  }
}

void OnAutoInc(PageContext& page) {
  MpSettings& s = page.settings;
  s.SNAutoIncrease = Box(page, ctl::kSNAutoIncrease);
  if (s.SNAutoIncrease) {
    page.view.SetChecked(ctl::kSNFix, false);
    s.SNFix = 0;
  }
}

void OnSnFix(PageContext& page) {
  MpSettings& s = page.settings;
  s.SNFix = Box(page, ctl::kSNFix);
  if (s.SNFix) {
    page.view.SetChecked(ctl::kSNAutoIncrease, false);
    s.SNAutoIncrease = 0;
  }
}

void OnEraseAll(PageContext& page) {
  MpSettings& s = page.settings;
  s.NandEraseAll = Box(page, ctl::kNandEraseAll);
  if (s.NandEraseAll) {
    SetEraseScope(page, 2);
  } else if (!s.ScanRDT) {
    SetEraseScope(page, 1);
  }
}

void OnRdtScan(PageContext& page) {
  MpSettings& s = page.settings;
  s.ScanRDT = Box(page, ctl::kScanRDT);
  SetEraseScope(page, s.ScanRDT ? 2 : 1);
  // Both keys in one replacement of the file.
  const std::array<ProfileWrite, 2> writes = {{
      {"MPOption", "ScanRDT", std::to_string(s.ScanRDT)},
      {"MPOption", "NandErase", std::to_string(s.NandErase)},
  }};
  std::string why;
  if (!WriteProfileStrings(page.paths.gSettingsPath, writes, &why)) {
    ShowNotWritten(page.messages, why);
  }
  // The firmware key depends on ScanRDT.
  SelectFlashFirmware(page, s.FlashIndex);
}

void OnOp7(PageContext& page) {
  MpSettings& s = page.settings;
  s.OP7 = Box(page, ctl::kOP7);
  std::string why;
  if (!WriteProfileInt(page.paths.gSettingsPath, "MPOption", "OP7", s.OP7, &why)) {
    ShowNotWritten(page.messages, why);
  }
  SelectFlashFirmware(page, s.FlashIndex);
}

bool OnRdtParamEdited(const StationPaths& paths, MpSettings& settings, int id,
                      std::string_view text, std::string* why) {
  const OptionRow* row = FindOption(OptionPage::kParameter, id);
  if (!row || row->kind != OptionKind::kNumber16) return false;
  std::string_view typed = text.substr(0, 15);
  SetOptionNumber(*row, settings, ParseProfileInt(typed));
  return WriteProfileString(paths.gSettingsPath, row->section, row->key, typed, why);
}

bool OnDebugFlagClicked(const StationPaths& paths, MpSettings& settings, int id, bool checked,
                        std::string* why) {
  const OptionRow* row = FindOption(OptionPage::kParameter, id);
  if (!row || row->kind != OptionKind::kFlag) return false;
  SetOptionNumber(*row, settings, checked ? 1 : 0);
  return WriteProfileInt(paths.gSettingsPath, row->section, row->key, checked ? 1 : 0, why);
}

}  // namespace qelvar::settings
