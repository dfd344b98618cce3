// The MP page's option handlers and the parameter page's edits and boxes:
// each reads its control's new state from the page, stores it in the option
// record and applies the interlocks operators were trained on. The window
// only forwards the changes here, as one change of the SettingsStore.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/control_ids.h"
#include "settings/option_table.h"
#include "settings/settings_file.h"

namespace qelvar::settings {

// The controls that change how drives are built, enabled only in RD mode, in
// the order they are switched.
inline constexpr std::array<int, 22> kAdminControls = {
    ctl::kDownloadBurner,     ctl::kBurnerLoad,      ctl::kBurnerFile,
    ctl::kNandErase,          ctl::kNandEraseSelect, ctl::kSetBin,
    ctl::kNandCalibration,    ctl::kDownloadSysFW,   ctl::kFirmwareLoad,
    ctl::kSysFwFile,          ctl::kMpOptionGroup,   ctl::kIdentifyGroup,
    ctl::kModelNameLabel,     ctl::kSnLabel,         ctl::kFwVersionLabel,
    ctl::kBinRuleLabel,       ctl::kModelName,       ctl::kSN,
    ctl::kSNAutoIncrease,     ctl::kSNFix,           ctl::kFWVersion,
    ctl::kFWVersionUserDefine};

// --- MP page: run after the operator changed an option's control ----------

// The row's control changed: its field takes the new state, or the row's
// handler applies it with its rules (OptionChange).
void OnOptionChanged(PageContext& page, const OptionRow& row);

void OnDownloadBurner(PageContext& page);
void OnNandErase(PageContext& page);
void OnNandCalibration(PageContext& page);
void OnAutoInc(PageContext& page);
void OnSnFix(PageContext& page);
void OnEraseAll(PageContext& page);
// "RDT": written to the settings file at once, with NandErase; the firmware
// file follows. The port list shows columns 7 and 8 exactly when ScanRDT is
// off afterwards.
void OnRdtScan(PageContext& page);
// "OP7": written at once; the firmware file follows.
void OnOp7(PageContext& page);

// --- Parameter page (its rows in the option table) --------------------------


// An RDT parameter edit changed: its first 15 characters are written to the
// file as typed, and the field keeps the low 16 bits of their number. False
// when the file could not be written (the field is set all the same); `why`
// then gets the reason, for ShowNotWritten.
bool OnRdtParamEdited(const StationPaths& paths, MpSettings& settings, int id,
                      std::string_view text, std::string* why = nullptr);

// A Debug box was clicked: the field and the file take its state. False, with
// the reason in `why`, when the file could not be written.
bool OnDebugFlagClicked(const StationPaths& paths, MpSettings& settings, int id, bool checked,
                        std::string* why = nullptr);

}  // namespace qelvar::settings
