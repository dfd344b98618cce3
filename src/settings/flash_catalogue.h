// The flash catalogue "flash.ini": the parts an operator can choose, listed by
// vendor. The list is the TOSHIBA parts, then the MICRON parts, then the HYNIX
// parts, each vendor's keys Flash_000, Flash_001, ... up to the first missing
// or empty one; an item's position is the stored FlashIndex.
#pragma once

#include <string>
#include <vector>

#include "settings/settings_file.h"

namespace qelvar::settings {

// The catalogue's items in list order; empty when the file is missing.
[[nodiscard]] std::vector<std::string> ReadFlashCatalogue(const std::string& flashIniPath);

// Warns that the catalogue is missing, as the page does at start; false then.
bool CheckFlashCatalogue(const StationPaths& paths, MessageSink& messages);

// Fills the "Flash Select" combo, or warns that the catalogue is missing.
void LoadFlashCatalogue(PageContext& page);

// The "Flash Select" selection changed: FlashIndex follows it and the flash's
// firmware files are resolved.
void OnFlashSelect(PageContext& page);

}  // namespace qelvar::settings
