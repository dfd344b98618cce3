// The MP page's controls held in memory: a page without a window, with the
// same behaviour as the window's controls (a combo
// selection outside the item list selects nothing; edits keep their limits
// and case rules only where the window enforces them, in the window).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings_view.h"

namespace qelvar::settings {

class ControlMemory final : public SettingsView {
 public:
  bool IsChecked(int id) const override {
    auto it = checks.find(id);
    return it != checks.end() && it->second;
  }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  int ComboSelection(int id) const override {
    auto it = selections.find(id);
    return it == selections.end() ? -1 : it->second;
  }
  void SetComboSelection(int id, int position) override {
    selections[id] = (position >= 0 && position < ComboCount(id)) ? position : -1;
  }
  int ComboCount(int id) const override {
    auto it = items.find(id);
    return it == items.end() ? 0 : static_cast<int>(it->second.size());
  }
  std::string ComboItemText(int id, int position) const override {
    auto it = items.find(id);
    if (it == items.end() || position < 0 || position >= static_cast<int>(it->second.size())) {
      return {};
    }
    return it->second[static_cast<size_t>(position)];
  }
  void AddComboItem(int id, std::string_view text) override { items[id].emplace_back(text); }
  std::string EditText(int id) const override {
    auto it = edits.find(id);
    return it == edits.end() ? std::string() : it->second;
  }
  void SetEditText(int id, std::string_view text) override { edits[id] = std::string(text); }

  std::map<int, bool> checks;
  std::map<int, int> selections;
  std::map<int, std::vector<std::string>> items;
  std::map<int, std::string> edits;
};

}  // namespace qelvar::settings
