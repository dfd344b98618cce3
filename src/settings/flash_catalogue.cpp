#include "settings/flash_catalogue.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "settings/profile.h"

namespace qelvar::settings {
namespace {

// Only these vendor lists are read, always in this order.
constexpr std::array<std::string_view, 3> kVendorSections = {"TOSHIBA", "MICRON", "HYNIX"};
// Item texts are read with the room the combo's item buffer had.
constexpr size_t kItemChars = 259;

}  // namespace

std::vector<std::string> ReadFlashCatalogue(const std::string& flashIniPath) {
  std::vector<std::string> items;
  Profile catalogue = Profile::Read(flashIniPath);
  if (!catalogue.present()) return items;
  for (std::string_view vendor : kVendorSections) {
    for (unsigned counter = 0;; ++counter) {
      char key[24];
      std::snprintf(key, sizeof key, "Flash_%.3u", counter);
      std::string name = catalogue.GetString(vendor, key, "", kItemChars);
      if (name.empty()) break;
      items.push_back(std::move(name));
    }
  }
  return items;
}

bool CheckFlashCatalogue(const StationPaths& paths, MessageSink& messages) {
  if (FileOpensForReading(paths.gFlashIniPath)) return true;
  messages.Show("No Flash.ini File", "Can NOT Open Ini File", MessageIcon::kWarning);
  return false;
}

void LoadFlashCatalogue(PageContext& page) {
  if (!CheckFlashCatalogue(page.paths, page.messages)) return;
  for (const std::string& item : ReadFlashCatalogue(page.paths.gFlashIniPath)) {
    page.view.AddComboItem(ctl::kFlashSelect, item);
  }
}

void OnFlashSelect(PageContext& page) {
  page.settings.FlashIndex = page.view.ComboSelection(ctl::kFlashSelect);
  SelectFlashFirmware(page, page.settings.FlashIndex);
}

}  // namespace qelvar::settings
