// Every option of the settings file "speedQelvar.ini", one row each: where it
// is stored, how it is kept, which field of the option record holds it, the
// control that shows it and when it is written back. Loading, saving, the
// pages' show and their change handling all walk this one table, so an
// option is described once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "settings/mp_settings.h"
#include "settings/settings_view.h"

namespace qelvar::settings {

struct PageContext;

enum class OptionKind : uint8_t {
  kFlag,      // 8 bits (the key's low 8); a check box, checked when not 0
  kChoice,    // 8 bits (the key's low 8): a combo's position
  kIndex,     // 32 bits: a combo's position (the flash catalogue)
  kNumber16,  // 16 bits (the key's low 16)
  kDelay,     // 32 bits unsigned, written as a signed decimal
  kText,      // a fixed text field, at most its capacity - 1 characters
};

// The page whose control shows the option. The two pages reuse control IDs.
enum class OptionPage : uint8_t { kNone, kMp, kParameter };

// When the option reaches the settings file.
enum class OptionWrite : uint8_t {
  kAtClose,  // by SaveSettings: the page's control, or the record where none shows it
  kAtOnce,   // by its handler, the moment its control changes
  kNever,    // read only
};

// What the MP page does when the operator changes the control.
enum class OptionChange : uint8_t {
  kNothing,  // the control is read when it is needed (Start, the run's end, SaveSettings)
  kCollect,  // the field takes the control's state
  kHandler,  // the row's handler takes it and applies the rules operators know
};

// The option's field in the record, through functions so that one row type
// covers fields of every width. A number field keeps what its type holds of
// the value set (the low 8 or 16 bits).
struct OptionField {
  int64_t (*number)(const MpSettings&) = nullptr;
  void (*setNumber)(MpSettings&, int32_t) = nullptr;
  std::span<char> (*text)(MpSettings&) = nullptr;
  std::span<const char> (*constText)(const MpSettings&) = nullptr;
};

struct OptionRow {
  std::string_view section;
  std::string_view key;
  OptionKind kind;
  int32_t fallback;  // a number's value when its key is missing or empty
  OptionField field;
  OptionPage page;
  int control;  // 0: no control shows it
  OptionWrite write;
  OptionChange change;
  void (*handler)(PageContext&);  // for OptionChange::kHandler
};

// In the order SaveSettings writes them (keys new to the file are appended in
// this order) and the parameter page fills its edits.
[[nodiscard]] std::span<const OptionRow> OptionTable();

// The row of `control` on `page`, or null.
[[nodiscard]] const OptionRow* FindOption(OptionPage page, int control);

// The field's value, as the file and the controls see it.
[[nodiscard]] int64_t OptionNumber(const OptionRow& row, const MpSettings& settings);
[[nodiscard]] std::string_view OptionText(const OptionRow& row, const MpSettings& settings);
// Sets the field: a number keeps what its field holds, a text what fits.
void SetOptionNumber(const OptionRow& row, MpSettings& settings, int32_t value);
void SetOptionText(const OptionRow& row, MpSettings& settings, std::string_view text);

// The record onto the row's control, and the control into the record (a box
// is 1 or 0, a combo its position, an edit its text or number).
void ShowOption(const OptionRow& row, const MpSettings& settings, SettingsView& view);
void CollectOption(const OptionRow& row, const SettingsView& view, MpSettings& settings);

}  // namespace qelvar::settings
