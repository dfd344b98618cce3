// Every control of the window, its pages and its dialogs, by ID. A control's
// object name is its ID in decimal, so tests and the window find it by
// QString::number(id). IDs are unique within one page or dialog only: the
// parameter page and the dialogs reuse numbers the MP page has too.
#pragma once

namespace qelvar::settings::ctl {

// --- MP page ------------------------------------------------------------------

// Options the settings load, save and show.
inline constexpr int kDownloadBurner = 1007;       // check
inline constexpr int kBurnerFile = 1010;           // edit: burner file name
inline constexpr int kDownloadSysFW = 1026;        // check
inline constexpr int kSysFwFile = 1027;            // edit: firmware file name
inline constexpr int kFlashSelect = 1030;          // combo: the flash catalogue
inline constexpr int kFormatEn = 1031;             // check
inline constexpr int kNandCalibration = 1032;      // check
inline constexpr int kNandErase = 1033;            // check
inline constexpr int kNandEraseSelect = 1034;      // combo
inline constexpr int kFWVersionUserDefine = 1035;  // check
inline constexpr int kNandEraseAll = 1037;         // check
inline constexpr int kSNFix = 1038;                // check
inline constexpr int kKeepSN = 1039;               // check
inline constexpr int kSpiDisable = 1041;           // check
inline constexpr int kSetBin = 1042;               // combo
inline constexpr int kSkipRunBad = 1043;           // check
inline constexpr int kModelName = 1012;            // edit
inline constexpr int kSN = 1015;                   // edit
inline constexpr int kFWVersion = 1017;            // edit
inline constexpr int kSNAutoIncrease = 1021;       // check
inline constexpr int kScanRDT = 1050;              // check
inline constexpr int kOP7 = 1051;                  // check (hidden)

// Buttons, groups and labels that RD mode switches.
inline constexpr int kBurnerLoad = 1008;    // button "Load" of the burner row
inline constexpr int kFirmwareLoad = 1011;  // button "Load" of the firmware row
inline constexpr int kMpOptionGroup = 1001;
inline constexpr int kIdentifyGroup = 1004;
inline constexpr int kModelNameLabel = 1013;
inline constexpr int kSnLabel = 1014;
inline constexpr int kFwVersionLabel = 1016;
inline constexpr int kBinRuleLabel = 1018;
inline constexpr int kRdMode = 1022;  // check "RD": asks for the password

// The run.
inline constexpr int kStartButton = 1009;
inline constexpr int kScanButton = 1006;     // "Device Scan"
inline constexpr int kBarCodeButton = 1036;  // "Bar Code"
inline constexpr int kSumText = 1062;
inline constexpr int kPassText = 1063;
inline constexpr int kFailText = 1064;
inline constexpr int kTimeText = 1065;
// The station's own line under the port list: what the Start is doing
// before the ports run (ROM entry, the wait for the drives).
inline constexpr int kStartProgressText = 1090;
inline constexpr int kPortList = 1002;

// Frames and fixed labels.
inline constexpr int kFlashGroup = 1028;
inline constexpr int kFlashSelectLabel = 1029;
inline constexpr int kScanTypeGroup = 1040;
inline constexpr int kAdminGroup = 1020;
inline constexpr int kModelNameLimitLabel = 1023;  // "40"
inline constexpr int kSnLimitLabel = 1024;         // "20"
inline constexpr int kFwVersionLimitLabel = 1025;  // "8"

// --- The window around the pages ------------------------------------------------
namespace window {
inline constexpr int kTabs = 1000;
inline constexpr int kVersionText = 1066;
}  // namespace window

// --- Parameter page -------------------------------------------------------------
namespace param {
inline constexpr int kRdtSettingGroup = 1052;
// Edits of the "RDT Setting" frame (section RDTParam), each with its label.
inline constexpr int kErrBitSlc = 1027;
inline constexpr int kPeCycSlc = 1028;
inline constexpr int kErrBitTlc = 1029;
inline constexpr int kPeCycTlc = 1030;
inline constexpr int kMaxRunHours = 1031;
inline constexpr int kMaxLaterBadLun = 1032;
inline constexpr int kStartWeru = 1033;
inline constexpr int kEndWeru = 1034;
inline constexpr int kResv1 = 1035;
inline constexpr int kResv2 = 1036;
inline constexpr int kErrBitSlcLabel = 1053;
inline constexpr int kPeCycSlcLabel = 1054;
inline constexpr int kErrBitTlcLabel = 1055;
inline constexpr int kPeCycTlcLabel = 1056;
inline constexpr int kMaxRunHoursLabel = 1057;
inline constexpr int kMaxLaterBadLunLabel = 1058;
inline constexpr int kStartWeruLabel = 1059;
inline constexpr int kEndWeruLabel = 1060;
inline constexpr int kResv1Label = 1068;
inline constexpr int kResv2Label = 1069;
// Boxes (section Debug).
inline constexpr int kJumpToFT3 = 1061;       // "Ignore RDT"
inline constexpr int kRdtParamEnable = 1062;  // "RDT PARAM ENABLE": enables the edits
inline constexpr int kRdtRecordEn = 1063;     // "Print RDT"
inline constexpr int kPrintBbt = 1064;
inline constexpr int kTem54 = 1065;  // "Max 54"
inline constexpr int kBdipm = 1066;  // "DIPM"
inline constexpr int kBhipm = 1067;  // "HIPM"
}  // namespace param

// --- "Bar Code" dialog ----------------------------------------------------------
namespace barcode {
inline constexpr int kFinish = 1;
inline constexpr int kSnLabel = 1014;
inline constexpr int kSnEdit = 1027;
inline constexpr int kList = 1036;
inline constexpr int kClear = 1011;
}  // namespace barcode

// --- RD password dialog ---------------------------------------------------------
namespace rd_password {
inline constexpr int kOk = 1;
inline constexpr int kPasswordEdit = 1027;
}  // namespace rd_password

// --- "RDT Info" dialog (a port's flash report) ----------------------------------
namespace flash_info {
inline constexpr int kOk = 1;
inline constexpr int kFctRadio = 1051;
inline constexpr int kDftRadio = 1052;
inline constexpr int kRdtRadio = 1053;
inline constexpr int kRunBadRadio = 1060;
inline constexpr int kChLabel = 1041;
inline constexpr int kChCount = 1042;
inline constexpr int kCeLabel = 1043;
inline constexpr int kCeCount = 1044;
inline constexpr int kLunLabel = 1045;
inline constexpr int kLunCount = 1046;
inline constexpr int kPlaneLabel = 1047;
inline constexpr int kPlaneCount = 1048;
inline constexpr int kFlashIdList = 1049;
inline constexpr int kCountList = 1050;
inline constexpr int kAllBadLabel = 1054;
inline constexpr int kAllBadText = 1055;
inline constexpr int kVerdictLabel = 1056;  // "RDT result"
inline constexpr int kVerdictText = 1057;
inline constexpr int kPortLabel = 1058;
inline constexpr int kPortText = 1059;
inline constexpr int kFlashName = 1061;
}  // namespace flash_info

}  // namespace qelvar::settings::ctl
