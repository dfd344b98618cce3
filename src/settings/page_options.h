// The MP page's option handlers and the parameter page's edits and boxes:
// each reads its control's new state from the page, stores it in the option
// record and applies the interlocks operators were trained on. The window
// only forwards the clicks here and publishes the record afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "settings/control_ids.h"
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

// --- MP page: one handler per control, run after the control changed -------

void OnDownloadBurner(PageContext& page);
void OnNandErase(PageContext& page);
void OnNandCalibration(PageContext& page);
void OnAutoInc(PageContext& page);
void OnSnFix(PageContext& page);
void OnEraseAll(PageContext& page);
void OnDownloadFw(PageContext& page);
void OnUserDefine(PageContext& page);
void OnEraseScope(PageContext& page);
void OnBinRule(PageContext& page);
// "RDT": written to the settings file at once, with NandErase; the firmware
// file follows. The port list shows columns 7 and 8 exactly when ScanRDT is
// off afterwards.
void OnRdtScan(PageContext& page);
// "OP7": written at once; the firmware file follows.
void OnOp7(PageContext& page);

// --- Parameter page ---------------------------------------------------------

struct RdtParamEdit {
  int id;
  std::string_view key;  // section RDTParam
  uint16_t MpSettings::*field;
};
// In the order the page fills them when it opens.
inline constexpr std::array<RdtParamEdit, 10> kRdtParamEdits = {{
    {ctl::param::kErrBitSlc, "ErrBitSlc", &MpSettings::ErrBitSlc},
    {ctl::param::kPeCycSlc, "PeCycSlc", &MpSettings::PeCycSlc},
    {ctl::param::kErrBitTlc, "ErrBitTlc", &MpSettings::ErrBitTlc},
    {ctl::param::kPeCycTlc, "PeCycTlc", &MpSettings::PeCycTlc},
    {ctl::param::kMaxRunHours, "MaxRunHours", &MpSettings::MaxRunHours},
    {ctl::param::kMaxLaterBadLun, "MaxLaterBadLun", &MpSettings::MaxLaterBadLun},
    {ctl::param::kStartWeru, "StartWeru", &MpSettings::StartWeru},
    {ctl::param::kEndWeru, "EndWeru", &MpSettings::EndWeru},
    {ctl::param::kResv1, "Resv1", &MpSettings::Resv1},
    {ctl::param::kResv2, "Resv2", &MpSettings::Resv2},
}};

struct DebugFlagBox {
  int id;
  std::string_view key;  // section Debug
  uint8_t MpSettings::*field;
};
// In the order the page sets them when it opens.
inline constexpr std::array<DebugFlagBox, 7> kDebugFlagBoxes = {{
    {ctl::param::kJumpToFT3, "JumpToFT3", &MpSettings::JumpToFT3},
    {ctl::param::kRdtParamEnable, "RdtParamEn", &MpSettings::RdtParamEn},
    {ctl::param::kRdtRecordEn, "RDTRecordEn", &MpSettings::RDTRecordEn},
    {ctl::param::kPrintBbt, "PrintBBT", &MpSettings::PrintBBT},
    {ctl::param::kTem54, "54TEM", &MpSettings::Tem54},
    {ctl::param::kBdipm, "BDIPM", &MpSettings::BDIPM},
    {ctl::param::kBhipm, "BHIPM", &MpSettings::BHIPM},
}};

// The text an RDT parameter edit shows for its field.
[[nodiscard]] std::string RdtParamText(const MpSettings& settings, const RdtParamEdit& edit);

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
