// Every option of an MP run, named by its key in "speedQelvar.ini", with the
// firmware file names and paths of the selected flash and the barcode list.
//
// The record lives in the SettingsStore only: the pages change it there, one
// change at a time, and workers read an immutable snapshot taken at each
// step, so an option changed during a run reaches the steps not yet reached,
// without a race. Which key fills which field: option_table.h.
#pragma once

#include <cstdint>

namespace qelvar::settings {

inline constexpr int kBarcodePorts = 16;
inline constexpr int kBarcodeCapacity = 21;  // 20 characters and a terminator

struct MpSettings {
  // MPOption / Identify / Debug flags: only the low 8 bits of the key are kept.
  uint8_t DownloadBurner = 0;
  uint8_t DownloadSysFW = 0;
  uint8_t SNAutoIncrease = 0;
  uint8_t SNFix = 0;
  uint8_t NandErase = 0;
  uint8_t NandCalibration = 0;
  uint8_t FWVersionUserDefine = 0;
  uint8_t NandEraseAll = 0;
  uint8_t ScanRDT = 0;
  uint8_t OP7 = 0;
  uint8_t RDTRecordEn = 0;
  uint8_t JumpToFT3 = 0;
  uint8_t PrintBBT = 0;
  uint8_t Tem54 = 0;  // key "54TEM" of section Debug
  uint8_t BDIPM = 0;
  uint8_t BHIPM = 0;
  uint8_t SpiDisable = 0;
  uint8_t SetBin = 0;
  uint8_t Skip_RunBad = 0;
  uint16_t SetCapacity = 0;
  uint8_t NandEraseSelect = 0;
  int32_t FlashIndex = 0;
  uint32_t DelayBurner = 0;
  uint32_t DelayNandCali = 0;
  uint32_t DelayNandErase = 0;
  uint32_t DelayReboot = 0;
  char DefautBnr[128] = {};
  char BurnerPath[260] = {};
  char SysFwFile[128] = {};
  char SysFwPath[260] = {};
  char RdtParamPath[260] = {};
  char DefautRdtParam[128] = {};
  char ModelName[41] = {};
  // The serial number the next Start hands out first (the SN edit).
  char SN[21] = {};
  char barcodes[kBarcodePorts][kBarcodeCapacity] = {};
  char FWVersion[9] = {};
  char FWOriver[9] = {};
  char DownloadSPI[128] = {};
  char SpiPath[260] = {};
  uint16_t ErrBitSlc = 0;
  uint16_t PeCycSlc = 0;
  uint16_t ErrBitTlc = 0;
  uint16_t PeCycTlc = 0;
  uint16_t MaxRunHours = 0;
  uint16_t MaxLaterBadLun = 0;
  uint16_t StartWeru = 0;
  uint16_t EndWeru = 0;
  uint16_t Resv1 = 0;
  uint16_t Resv2 = 0;
  uint8_t RdtParamEn = 0;
  uint8_t FormatEn = 0;
  uint8_t KeepSN = 0;
  char FileType[10] = {};
};

}  // namespace qelvar::settings
