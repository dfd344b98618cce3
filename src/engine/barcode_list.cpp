#include "engine/barcode_list.h"

#include <cstring>
#include <vector>

#include "settings/profile.h"

namespace qelvar::engine {

AddBarcodeResult AddBarcode(Station& station, settings::MpSettings& settings,
                            std::string_view code) {
  if (station.gBarcodeCount >= kMaxBarcodes) return AddBarcodeResult::kFull;
  char* slot = settings.barcodes[station.gBarcodeCount];
  const size_t n = std::min(code.size(), size_t{settings::kBarcodeCapacity - 1});
  std::memset(slot, 0, settings::kBarcodeCapacity);
  std::memcpy(slot, code.data(), n);
  ++station.gBarcodeCount;
  return AddBarcodeResult::kAdded;
}

void ClearBarcodes(Station& station) {
  station.gBarcodeDone = 0;
  station.gBarcodeCount = 0;
}

bool FinishBarcodes(Station& station, const settings::MpSettings& settings,
                    const std::string& settingsPath, std::string* why) {
  if (station.gBarcodeCount == 0) return true;
  station.gBarcodeDone = 1;
  std::vector<std::string> keys;
  std::vector<settings::ProfileWrite> writes;
  keys.reserve(station.gBarcodeCount);
  for (int k = 0; k < station.gBarcodeCount; ++k) keys.push_back("Port" + std::to_string(k + 1));
  for (int k = 0; k < station.gBarcodeCount; ++k) {
    const char* code = settings.barcodes[k];
    writes.push_back({"BarCode", keys[static_cast<size_t>(k)],
                      std::string(code, strnlen(code, settings::kBarcodeCapacity))});
  }
  return settings::WriteProfileStrings(settingsPath, writes, why);
}

void CancelBarcodes(Station& station) {
  station.gBarcodeCount = 0;
}

std::string ShownBarcode(const Station& station, const settings::MpSettings& settings, int port) {
  if (!station.gBarcodeDone || port < 0 || port >= station.gBarcodeCount) return {};
  const char* code = settings.barcodes[port];
  return std::string(code, strnlen(code, settings::kBarcodeCapacity));
}

}  // namespace qelvar::engine
