// The check a Start makes before anything reaches a drive: everything the run
// will need (a settings file, the images of the checked steps, an identity,
// the barcodes, the places results go, the flash part). A Start with any
// problem is refused as a whole, with one line per problem, so the operator
// fixes them all at once instead of meeting them one drive at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/port_recorder.h"
#include "engine/station.h"
#include "settings/mp_settings.h"
#include "settings/station_paths.h"

namespace qelvar::engine {

inline constexpr std::string_view kPreflightCaption = "Start";
inline constexpr std::string_view kPreflightHeading =
    "The station cannot start. Nothing was sent to any drive:";

struct PreflightRequest {
  const settings::MpSettings& settings;  // with the page's controls copied in
  const settings::StationPaths& paths;
  const Station& station;  // the barcode list
  std::vector<int> ports;  // the ports this Start would run, 0-based
  // The page's edits as typed, before they are cut to their fields.
  std::string_view modelName;
  std::string_view fwVersion;
  std::string_view snEdit;
  bool keepSn = false;
  // The serials come from the line's shared series, not from the SN edit.
  bool serialsFromLedger = false;
  // A single-port start: its drive keeps the serial its record holds, and
  // nothing is saved to the settings file.
  bool singlePort = false;
  PortRecorder* recorder = nullptr;
};

// Which serial rule a Start follows; the same order the Start applies them.
enum class SerialRule : uint8_t { kKept, kBarcodes, kFixed, kAutoIncrease, kSameForAll };
[[nodiscard]] SerialRule SerialRuleOf(const settings::MpSettings& settings, bool keepSn,
                                      const Station& station);

// Every problem found, one line each naming the file or field and what to
// do; empty when the Start may go on. Creates the dbug folder when missing.
[[nodiscard]] std::vector<std::string> PreflightProblems(const PreflightRequest& request);

// The one message of a refused Start: the heading, then the lines.
[[nodiscard]] std::string PreflightMessage(const std::vector<std::string>& problems);

}  // namespace qelvar::engine
