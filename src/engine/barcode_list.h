// The barcode list: the codes scanned before a run, code k for port k. The
// barcode dialog adds, clears, finishes and cancels; the Start sequence copies
// the codes of a finished list into the ports' serial numbers.
#pragma once

#include <string>
#include <string_view>

#include "engine/station.h"
#include "settings/mp_settings.h"

namespace qelvar::engine {

inline constexpr int kMaxBarcodes = 16;
inline constexpr std::string_view kBarcodeFullText = "Add Bar code Fail";
inline constexpr std::string_view kBarcodeFullCaption = "MAX_SUPPORT_16";

enum class AddBarcodeResult : uint8_t { kAdded, kFull };

// Stores `code` (at most 20 characters; empty codes count too) for the next
// port. kFull, and nothing changed, when 16 codes are already there.
[[nodiscard]] AddBarcodeResult AddBarcode(Station& station, settings::MpSettings& settings,
                                          std::string_view code);

// "Clear": the codes become invalid and the list is no longer finished.
void ClearBarcodes(Station& station);

// "Finish": with at least one code, marks the list finished and records the
// codes as Port1..PortN of section BarCode of the settings file (false when
// that write failed, with the reason in `why`; the list is finished all the
// same). With none, nothing.
bool FinishBarcodes(Station& station, const settings::MpSettings& settings,
                    const std::string& settingsPath, std::string* why = nullptr);

// The dialog left with Cancel: the codes are dropped, the finished flag stays.
void CancelBarcodes(Station& station);

// The code shown in row `port` when the dialog opens, or empty.
[[nodiscard]] std::string ShownBarcode(const Station& station, const settings::MpSettings& settings,
                                       int port);

}  // namespace qelvar::engine
