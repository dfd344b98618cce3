// The MP settings file "speedQelvar.ini": loading every option of the option
// table into the record, showing the record on the MP page, saving the page
// back, and resolving the firmware files of the selected flash. The page runs
// these on the UI thread and hands the record to the workers through the
// SettingsStore.
#pragma once

#include <string>
#include <string_view>

#include "settings/mp_settings.h"
#include "settings/settings_view.h"
#include "settings/station_paths.h"

namespace qelvar::settings {

// What the MP page lends to the settings operations.
struct PageContext {
  const StationPaths& paths;
  MpSettings& settings;
  SettingsView& view;
  MessageSink& messages;
};

// Fills `settings` from the settings file: every option of the option table,
// then the firmware files of the flash at FlashIndex (warning about each
// missing one); the stored SpiDisable key wins over the SPI file check.
// Without a file it shows one warning, loads nothing and returns false.
[[nodiscard]] bool LoadSettings(const StationPaths& paths, MessageSink& messages,
                                MpSettings& settings);

// Shows the record on the MP page: every option it has a control for, and
// the names of the burner and firmware files.
void ShowMpPage(const MpSettings& settings, SettingsView& view);

// The page at start: LoadSettings into the page's record, shown on the page
// when there was a file.
void LoadSettings(PageContext& page);

// Writes the page's options to the settings file (one replacement of the
// file for all of them). False when the file could not be written; the
// operator is then told why (ShowNotWritten).
[[nodiscard]] bool SaveSettings(const PageContext& page);

// The warning for a settings file that could not be written: "Settings not
// saved: " and the reason (which names the file or folder), caption "Can NOT
// Write File". Options are never lost in silence.
void ShowNotWritten(MessageSink& messages, std::string_view why);

// Resolves the firmware files of the flash `flashName` (a catalogue item)
// into the record and warns about each missing one.
void ResolveFlashFirmware(const StationPaths& paths, MpSettings& settings,
                          std::string_view flashName, MessageSink& messages);

// Resolves the firmware files of the flash at `position` of the "Flash
// Select" list, shows their names and warns about each missing one.
void SelectFlashFirmware(PageContext& page, int position);

// After the burner "Load" dialog closed with OK on `chosenPath`.
void ChooseBurnerFile(PageContext& page, std::string_view chosenPath);
// After the firmware "Load" dialog closed with OK on `chosenPath`.
void ChooseFirmwareFile(PageContext& page, std::string_view chosenPath);

// The main window's caption: key MPVERSION of section MPOption.
[[nodiscard]] std::string ReadMpVersion(const StationPaths& paths);

}  // namespace qelvar::settings
